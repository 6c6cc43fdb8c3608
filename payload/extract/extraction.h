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
// files are removed by a later start that writes into their directory, once
// its own files are in place (never a file of the payload).
// Another program holding a file for a moment, as on-access scanners do
// with each new file, is waited out, up to LOCKED_FILE_WAIT_MS per file
// (payload/write/write_queue.h); a file held longer ends the process with the
// open-failure message.
// Files on disk are checked, and missing or changed ones created, written
// and checked, on a second thread while this one decodes; what is reported,
// and in which order files and folders appear, is as if one thread did both.
// This is the sequential path; payload/extract/parallel_extraction.h decodes the
// frames at once where it can, with the same promises.
#pragma once

#include "base/wide_text.h"
#include "payload/stream/payload_stream.h"

#include <stdint.h>

// The full path of the first record, in TargetDirectory's extended form:
// the program to start. Empty until then.
extern wchar_t ChildProgramPath[PATH_CAPACITY];

// What the records must be, told by whoever knows (the payload index,
// payload/check/index_check.h). Plain function pointers: the knowledge is one
// module's state, not an object, so a constant table of its functions is
// all the extraction needs, with no object to construct and no virtual
// dispatch.
struct RecordCheck {
    // Each record in stream order, before anything is written under its
    // name; ends the process when it is not the record expected.
    void (*checkRecord)(const WideUnit *name, uint64_t size, uint32_t storedCrc);
    // At the end marker; ends the process when records or frames were
    // still expected.
    void (*checkEnd)();
    // As each frame begins (payload/stream/payload_stream.h): the frame must be
    // where the frame table puts it, beginning the record it names.
    FrameStartCheck checkFrameStart;
};

// Reads every record up to the end marker and the last frame's end, writing
// missing or changed files, then closes the payload stream (opened by the
// caller). `check`, when not null, sees every record first. Failures end the
// process.
void extractPayloadFiles(const RecordCheck *check);
