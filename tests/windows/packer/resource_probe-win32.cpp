// resource_probe FILE: reads a launcher's resources through the system's
// own interfaces (version information, icon loading, resource lookup) and
// prints what it finds, one fact a line, UTF-8.
#include <windows.h>

#include <stdio.h>
#include <string>
#include <vector>

static std::string utf8(const wchar_t *text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

static void versionInformation(const wchar_t *file) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    std::vector<unsigned char> data(size);
    if (size == 0 || !GetFileVersionInfoW(file, 0, size, data.data())) {
        printf("version none %lu\n", GetLastError());
        return;
    }
    void *value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        auto *fixed = static_cast<VS_FIXEDFILEINFO *>(value);
        printf("fixed %08lx %08lx %08lx %08lx %lx %lx %lx\n", fixed->dwFileVersionMS,
               fixed->dwFileVersionLS, fixed->dwProductVersionMS, fixed->dwProductVersionLS,
               fixed->dwFileFlagsMask, fixed->dwFileOS, fixed->dwFileType);
    }
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
        length >= 4) {
        auto *pair = static_cast<WORD *>(value);
        printf("translation %04x %04x\n", pair[0], pair[1]);
    }
    for (const wchar_t *key :
         {L"CompanyName", L"ProductName", L"FileDescription", L"ProductVersion", L"FileVersion",
          L"OriginalFilename", L"InternalName", L"LegalCopyright"}) {
        std::wstring path = std::wstring(L"\\StringFileInfo\\000004b0\\") + key;
        if (VerQueryValueW(data.data(), path.c_str(), &value, &length)) {
            printf("string %s %s\n", utf8(key).c_str(),
                   utf8(static_cast<wchar_t *>(value)).c_str());
        }
    }
}

static void icons(HMODULE module) {
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        HICON icon =
            static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
        ICONINFO info{};
        BITMAP bitmap{};
        if (icon == nullptr || !GetIconInfo(icon, &info) ||
            GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap) == 0) {
            printf("icon %d none %lu\n", size, GetLastError());
            continue;
        }
        printf("icon %d %ldx%ld %d\n", size, bitmap.bmWidth, bitmap.bmHeight, bitmap.bmBitsPixel);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

static void manifest(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char *text = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (text == nullptr) {
        printf("manifest none %lu\n", GetLastError());
        return;
    }
    std::string content(text, SizeofResource(module, found));
    printf("manifest %zu %s\n", content.size(),
           content.find("name=\"Zere\" version=\"4.5.6.7\"") != std::string::npos ? "Zere"
                                                                                  : "other");
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: resource_probe FILE\n");
        return 2;
    }
    versionInformation(argv[1]);
    HMODULE module =
        LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        printf("module none %lu\n", GetLastError());
        return 1;
    }
    icons(module);
    manifest(module);
    FreeLibrary(module);
    return 0;
}
