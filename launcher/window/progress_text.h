// The progress window's line, from its format (format/progress_window.h).
// Portable, so it is unit-tested natively.
#pragma once

#include "base/wide_text.h"

// Two lines of the window hold about 120 characters; what is longer is cut.
enum { PROGRESS_TEXT_CAPACITY = 256 };

// `format` (NUL-terminated) into `out` (PROGRESS_TEXT_CAPACITY units) with
// "{PRODUCT}" and "{VERSION}" (any letter case) replaced by `product` and
// `version`; every other character, a brace that opens no known placeholder
// included, is kept. Cut at the capacity, never failing: the line only
// informs.
void expandProgressText(const WideUnit *format, const WideUnit *product, const WideUnit *version,
                        WideUnit *out);
