// Unpacking the attached data into TargetDirectory, reusing files on disk
// whose CRC-32 matches their record.
//
// A file appears under its final name only complete and correct: it is
// written under a temporary name in its own directory, its CRC-32 checked
// against the record as it is written, and moved into place once the stream
// has been seen to end cleanly (frame checksum included). An empty file is
// reused when an empty file is there. Record names that could leave the
// target directory, a stored crc of 0, a CRC-32 mismatch and a damaged
// stream end the process with "Error, couldn't decode attached data."; a
// folder, link or file where a file or folder must be, with the open-failure
// message. No link or junction below the target directory is followed when
// folders are created or files are written. A failed start removes its
// temporary files and the folders it created; a killed start's temporary
// files are removed by a later start that writes into their directory.
// Files on disk are checked, and missing or changed ones created, written
// and checked, on a second thread while this one decodes; what is reported,
// and in which order files and folders appear, is as if one thread did both.
#pragma once

#include "base/wide_text.h"

// Content moves from the stream to the file in pieces of at most this size.
enum { COPY_PIECE_SIZE = 32768 };
// Decoded pieces waiting for the writer thread, at most (4 MiB): the
// decoder runs this far ahead of the disk. With 16 it waited a fifth of a
// cold start under Wine, while the writer waited on files being created.
enum { WRITE_QUEUE_PIECES = 128 };
// A sleeping thread of the two is woken once this many pieces wait for it
// (or are free for it), not for each one.
enum { WAKE_BATCH_PIECES = 16 };
// Written files held open until they go into place, at most: well below
// the 1,024 descriptors a process may hold by default under Wine.
enum { HELD_FILES_CAPACITY = 256 };
// Names of written files waiting for the stream's end (2 MiB); when full,
// those already written go into place early.
enum { PENDING_FILES_CAPACITY = 1 << 20 };

// The full path of the first record: the program to start. Empty until then.
extern wchar_t ChildProgramPath[PATH_CAPACITY];

// Reads every record up to the end marker and the frame's end, writing
// missing or changed files, then closes the payload stream. Failures end
// the process.
void extractPayloadFiles();
