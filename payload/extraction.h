// Unpacking the attached data into TargetDirectory, reusing files on disk
// whose CRC-32 matches their record.
#pragma once

#include "paths/wide_text.h"

// Content moves from the stream to the file in pieces of at most this size.
enum { COPY_PIECE_SIZE = 32768 };

// The full path of the first record: the program to start. Empty until then.
extern wchar_t ChildProgramPath[PATH_CAPACITY];

// Reads every record up to the end marker, writing missing or changed files,
// then closes the payload stream. Failures end the process.
void extractPayloadFiles();
