// What each launcher build compiles in for its application. The packer
// generates the definitions (constants from build_constants.cpp.in, the block
// from attached_data.S.in); test programs link their own.
#pragma once

#include <stdint.h>

extern "C" {
extern const wchar_t DirectoryTemplate[];
extern const wchar_t BUILD_COMPANY[];
extern const wchar_t BUILD_PRODUCT[];
extern const wchar_t BUILD_VERSION[];
extern const wchar_t BUILD_FILE_VERSION[];
extern const wchar_t BUILD_PRODUCT_VERSION[];

// The attached data block and its length, trailer included (link-time symbols).
extern const unsigned char AttachedData[];
extern const uint64_t ATTACHED_DATA_SIZE;
}
