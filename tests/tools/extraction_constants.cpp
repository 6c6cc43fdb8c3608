// Build constants for programs that call the launcher's code directly (the
// extraction and console handler tests, the benchmark): they take the place
// of the launcher's lookup in its own image. The block and its index are
// linked separately (tallix_add_attached_data). The programs set
// TargetDirectory themselves, so the template is never expanded.
#include "buildinfo/build_constants.h"

extern "C" {
extern const unsigned char TestAttachedData[];
extern const uint64_t TEST_ATTACHED_DATA_SIZE;
extern const unsigned char TestPayloadIndex[];
extern const uint64_t TEST_PAYLOAD_INDEX_SIZE;

const wchar_t *DirectoryTemplate = L"{TEMP}\\tallix-extraction";
const wchar_t *BUILD_COMPANY = L"Tallix Tests";
const wchar_t *BUILD_PRODUCT = L"Extraction";
const wchar_t *BUILD_VERSION = L"1.0.0";
const wchar_t *BUILD_FILE_VERSION = L"1.0.0.0";
const wchar_t *BUILD_PRODUCT_VERSION = L"1.0.0.0";
const unsigned char *AttachedData = TestAttachedData;
uint64_t ATTACHED_DATA_SIZE = TEST_ATTACHED_DATA_SIZE;
const wchar_t *LeadingArguments = nullptr;
uint64_t LEADING_ARGUMENTS_UNITS = 0;
uint32_t LaunchOptions = 0;
const unsigned char *PayloadIndexData = TestPayloadIndex;
uint64_t PAYLOAD_INDEX_SIZE = TEST_PAYLOAD_INDEX_SIZE;
}
