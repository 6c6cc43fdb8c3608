// The PE headers as the Windows loader reads them: the launcher finds its
// own sections with these offsets, the packer reads and writes images with
// them. Every offset counts from the first byte of the header it names.
//
// Portable: names only, no windows.h.
#pragma once

#include <stdint.h>

// DOS header, at the start of the file.
static const uint32_t PE_DOS_HEADER_SIZE = 64;
static const uint32_t PE_DOS_MAGIC = 0x5A4D;     // "MZ", the first two bytes
static const uint32_t PE_DOS_NEW_HEADER = 0x3C;  // e_lfanew: file offset of the PE signature
static const uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0", right before the COFF header
static const uint32_t PE_SIGNATURE_SIZE = 4;

// COFF file header.
static const uint32_t PE_COFF_MACHINE = 0;
static const uint32_t PE_COFF_SECTION_COUNT = 2;
static const uint32_t PE_COFF_SYMBOL_TABLE = 8;
static const uint32_t PE_COFF_OPTIONAL_HEADER_SIZE = 16;
static const uint32_t PE_COFF_CHARACTERISTICS = 18;
static const uint32_t PE_COFF_HEADER_SIZE = 20;

// Optional header: the fields PE32 and PE32+ place alike come first, up to
// the subsystem; the data directories follow the stack and heap sizes,
// which are 4 bytes wide in PE32 and 8 in PE32+.
static const uint32_t PE_OPTIONAL_MAGIC = 0;
static const uint32_t PE_OPTIONAL_INITIALIZED_DATA = 8;
static const uint32_t PE_OPTIONAL_SECTION_ALIGNMENT = 32;
static const uint32_t PE_OPTIONAL_FILE_ALIGNMENT = 36;
static const uint32_t PE_OPTIONAL_SIZE_OF_IMAGE = 56;
static const uint32_t PE_OPTIONAL_SIZE_OF_HEADERS = 60;
static const uint32_t PE_OPTIONAL_CHECKSUM = 64;
static const uint32_t PE_OPTIONAL_SUBSYSTEM = 68;
static const uint32_t PE_OPTIONAL_SHARED_SIZE = 70; // through the subsystem
static const uint32_t PE32_MAGIC = 0x10B;
static const uint32_t PE32_DIRECTORIES = 96;
static const uint32_t PE32_PLUS_MAGIC = 0x20B;
static const uint32_t PE32_PLUS_DIRECTORIES = 112;
// NumberOfRvaAndSizes, right before the directories.
static const uint32_t PE_DIRECTORY_COUNT_BEFORE_DIRECTORIES = 4;

// Data directory entry.
static const uint32_t PE_DIRECTORY_ADDRESS = 0;
static const uint32_t PE_DIRECTORY_SIZE = 4;
static const uint32_t PE_DIRECTORY_ENTRY_SIZE = 8;

// Section header, one per section, right after the optional header.
static const uint32_t PE_SECTION_NAME = 0;
static const uint32_t PE_SECTION_NAME_SIZE = 8; // NUL-padded, not terminated when 8 bytes long
static const uint32_t PE_SECTION_VIRTUAL_SIZE = 8;
static const uint32_t PE_SECTION_VIRTUAL_ADDRESS = 12;
static const uint32_t PE_SECTION_RAW_SIZE = 16;
static const uint32_t PE_SECTION_RAW_OFFSET = 20;
static const uint32_t PE_SECTION_CHARACTERISTICS = 36;
static const uint32_t PE_SECTION_HEADER_SIZE = 40;
