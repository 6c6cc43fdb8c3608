// Test shims' common step: a program's own calls to system functions
// (kernel32's, or another DLL's) redirected to wrappers, by rewriting its import address table
// before main. Calls made inside system DLLs and msvcrt are not redirected.
#pragma once

#include <stddef.h>

struct ImportPatch {
    const char *name; // the function
    void *wrapper;
    void **real; // receives the function's address for the wrapper to call
};

// Rewrites the running program's kernel32 entries named in `patches`;
// functions the program does not import are left alone.
void patchKernel32Imports(const ImportPatch *patches, size_t count);

// The same for the entries imported from `library` ("ntdll.dll").
void patchImports(const char *library, const ImportPatch *patches, size_t count);
