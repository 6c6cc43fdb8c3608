// Build constants of the extraction benchmark (the block is linked separately).
#include "buildinfo/build_constants.h"

extern "C" {
const wchar_t DirectoryTemplate[] = L"{TEMP}\\tallix-extraction-bench";
const wchar_t BUILD_COMPANY[] = L"Tallix Bench";
const wchar_t BUILD_PRODUCT[] = L"Extraction Bench";
const wchar_t BUILD_VERSION[] = L"1.0.0";
const wchar_t BUILD_FILE_VERSION[] = L"1.0.0.0";
const wchar_t BUILD_PRODUCT_VERSION[] = L"1.0.0.0";
}
