// Build constants for programs that call the extraction directly (the
// extraction tests and benchmark). They set TargetDirectory themselves, so
// the template is never expanded; the block is linked separately.
#include "buildinfo/build_constants.h"

extern "C" {
const wchar_t DirectoryTemplate[] = L"{TEMP}\\tallix-extraction";
const wchar_t BUILD_COMPANY[] = L"Tallix Tests";
const wchar_t BUILD_PRODUCT[] = L"Extraction";
const wchar_t BUILD_VERSION[] = L"1.0.0";
const wchar_t BUILD_FILE_VERSION[] = L"1.0.0.0";
const wchar_t BUILD_PRODUCT_VERSION[] = L"1.0.0.0";
}
