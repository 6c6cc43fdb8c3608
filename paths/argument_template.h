// Leading arguments are directory templates with one more placeholder,
// "{APP_DIR}": the expanded, absolute target directory in its normal form
// (base/path_form.h), with no separator at its end unless it is a root
// ("C:\"). The launcher expands the pieces between two "{APP_DIR}"s as
// directory templates and puts the directory between them, so the packer
// checks exactly those pieces.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

// "{APP_DIR}", in units.
enum { APP_DIR_PLACEHOLDER_LENGTH = 9 };

// The first "{APP_DIR}" (letter case ignored) in [text, end), or null.
const WideUnit *findAppDirPlaceholder(const WideUnit *text, const WideUnit *end);
