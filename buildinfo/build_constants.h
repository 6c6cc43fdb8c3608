// What each launcher build compiles in for its application. The packer
// generates the definitions (constants from build_constants.cpp.in, the block
// and its index from attached_data.S.in); test programs link their own.
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

// The index of the block's records (payload/attached_data_format.h); a size
// of 0 when the launcher was built without one.
extern const unsigned char PayloadIndexData[];
extern const uint64_t PAYLOAD_INDEX_SIZE;
}
