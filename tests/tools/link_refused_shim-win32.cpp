// A system that will not make a hard link from an open handle, as Windows
// may refuse one to a handle without the access it wants, for a program
// linked with this object: its own NtSetInformationFile calls for
// FileLinkInformation fail with STATUS_ACCESS_DENIED. Links made by name
// (CreateHardLinkW, inside the system) are left alone. Test-only.
#include "import_patch-win32.h"

#include <windows.h>
#include <winternl.h>

namespace {

const NTSTATUS ACCESS_DENIED_STATUS = static_cast<NTSTATUS>(0xC0000022);

decltype(&NtSetInformationFile) realSetInformationFile;

NTSTATUS NTAPI refusingSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information,
                                          ULONG length, FILE_INFORMATION_CLASS kind) {
    if (kind == FileLinkInformation) {
        return ACCESS_DENIED_STATUS;
    }
    return realSetInformationFile(file, status, information, length, kind);
}

bool installShim() {
    const ImportPatch patches[] = {
        {"NtSetInformationFile", reinterpret_cast<void *>(&refusingSetInformationFile),
         reinterpret_cast<void **>(&realSetInformationFile)},
    };
    patchImports("ntdll.dll", patches, 1);
    return true;
}

[[maybe_unused]] const bool installed = installShim();

} // namespace
