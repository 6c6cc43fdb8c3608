// One UTF-16 code unit. wchar_t is 16 bits under mingw but 32 bits on Linux,
// so code that is also built natively spells the unit through this type.
#pragma once

#if defined(_WIN32)
typedef wchar_t WideUnit;
#else
typedef char16_t WideUnit;
#endif

static_assert(sizeof(WideUnit) == 2, "a WideUnit is one UTF-16 code unit");

// Capacity of every path buffer unless a routine says otherwise.
enum { PATH_CAPACITY = 4096 };
