// The launcher's view of its application's build constants. They live in the
// constants section of its own image (format/constants_section.h);
// loadBuildConstants points these at them once, first thing at start.
// Programs that call the launcher's code directly (tests) set them instead.
#pragma once

#include <stdint.h>

extern "C" {
extern const wchar_t *DirectoryTemplate;
extern const wchar_t *BUILD_COMPANY;
extern const wchar_t *BUILD_PRODUCT;
extern const wchar_t *BUILD_VERSION;
extern const wchar_t *BUILD_FILE_VERSION;
extern const wchar_t *BUILD_PRODUCT_VERSION;

// The attached data block and its length, trailer included.
extern const unsigned char *AttachedData;
extern uint64_t ATTACHED_DATA_SIZE;

// The arguments put before the user's, LEADING_ARGUMENTS_UNITS units of
// terminated strings one after the other (0: none), and the LaunchOption
// bits. Images packed without them keep 0.
extern const wchar_t *LeadingArguments;
extern uint64_t LEADING_ARGUMENTS_UNITS;
extern uint32_t LaunchOptions;
// The index of the block's records (format/attached_data.h); size 0
// when the launcher was packed without one.
extern const unsigned char *PayloadIndexData;
extern uint64_t PAYLOAD_INDEX_SIZE;
}

// Finds the constants in the running program's image and checks them
// against their checksum before anything else reads them. False when the
// section is missing, damaged (format/constants_section.h says what its
// checksum covers) or of another format, or one of its entries is missing or
// malformed; the variables are then left as they were.
bool loadBuildConstants();
