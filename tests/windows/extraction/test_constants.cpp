// Build constants of the extraction test programs (the block comes from
// their own attached data object).
#include "buildinfo/build_constants.h"

extern "C" {
const wchar_t DirectoryTemplate[] = L"{TEMP}\\tallix-extraction-test";
const wchar_t BUILD_COMPANY[] = L"Tallix Tests";
const wchar_t BUILD_PRODUCT[] = L"Extraction Probe";
const wchar_t BUILD_VERSION[] = L"1.0.0";
const wchar_t BUILD_FILE_VERSION[] = L"1.0.0.0";
const wchar_t BUILD_PRODUCT_VERSION[] = L"1.0.0.0";
}
