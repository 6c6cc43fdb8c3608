#include "import_patch-win32.h"

#include <windows.h>

#include <string.h>

namespace {

void replaceEntry(ULONGLONG *entry, const ImportPatch &patch) {
    DWORD previous = 0;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &previous)) {
        return;
    }
    *patch.real = reinterpret_cast<void *>(*entry);
    *entry = reinterpret_cast<ULONGLONG>(patch.wrapper);
    VirtualProtect(entry, sizeof *entry, previous, &previous);
}

void replaceImports(unsigned char *base, const IMAGE_IMPORT_DESCRIPTOR &library,
                    const ImportPatch *patches, size_t count) {
    auto *names = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + library.OriginalFirstThunk);
    auto *entries = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + library.FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++entries) {
        if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) {
            continue;
        }
        auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
        for (size_t i = 0; i < count; ++i) {
            if (strcmp(reinterpret_cast<const char *>(byName->Name), patches[i].name) == 0) {
                replaceEntry(&entries->u1.Function, patches[i]);
            }
        }
    }
}

} // namespace

void patchKernel32Imports(const ImportPatch *patches, size_t count) {
    patchImports("kernel32.dll", patches, count);
}

void patchImports(const char *name, const ImportPatch *patches, size_t count) {
    auto *base = reinterpret_cast<unsigned char *>(GetModuleHandleW(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto *library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress != 0 && library->Name != 0; ++library) {
        if (_stricmp(reinterpret_cast<const char *>(base + library->Name), name) == 0) {
            replaceImports(base, *library, patches, count);
        }
    }
}
