// Which record names the launcher may join to its target directory.
#pragma once

#include "base/wide_text.h"

// True when `name` ("\"-separated components) stays inside the directory it
// is joined to: not empty, no ":" (a drive or a stream), no "/" (a second
// separator), and no component that is empty (a leading, doubled or
// trailing "\") or made of dots and spaces only (Windows reads "..", and
// ". ." or "... " once trimmed, as a step out or in place).
bool isContainedEntryName(const WideUnit *name);
