// The grammar of directory templates, one for the launcher that expands them
// and the packer that checks them, so that the packer accepts exactly what
// the launcher can expand.
//
// Literal text runs up to the next "{"; a "}" outside a placeholder is
// literal. "{NAME}" is a placeholder. A "{" inside a placeholder, or a
// placeholder still open at the end, makes the template invalid.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

enum TemplateTokenKind {
    TEMPLATE_END,
    TEMPLATE_LITERAL,
    TEMPLATE_PLACEHOLDER,
    TEMPLATE_NESTED_BRACE, // a "{" inside a placeholder
    TEMPLATE_UNCLOSED,     // a placeholder open at the end
};

// LITERAL: the text. PLACEHOLDER: the name between the braces (possibly
// empty). NESTED_BRACE, UNCLOSED: `text` is the "{" that opened the
// placeholder, `length` 0. END: `text` is the terminator.
struct TemplateToken {
    TemplateTokenKind kind;
    const WideUnit *text;
    size_t length;
};

// The token at `cursor`, which moves past it; at END and after an invalid
// token it stays put.
TemplateToken nextTemplateToken(const WideUnit *&cursor);

// The fifteen placeholders, in this order.
enum TemplatePlaceholder {
    PH_TEMP,
    PH_PROGRAM,
    PH_PROGRAM_BASE,
    PH_PROGRAM_DIR,
    PH_PID,
    PH_HOME,
    PH_CACHE_DIR,
    PH_COMPANY,
    PH_PRODUCT,
    PH_VERSION,
    PH_FILE_VERSION,
    PH_PRODUCT_VERSION,
    PH_RANDOM,
    PH_TIME_US,
    PH_TIME,
    PH_UNKNOWN
};

// The placeholder a name stands for, letter case ignored (ASCII only: every
// name is ASCII); PH_UNKNOWN for any other name, the empty one included.
TemplatePlaceholder findTemplatePlaceholder(const WideUnit *name, size_t length);

// The upper-case name of a placeholder other than PH_UNKNOWN.
const char *templatePlaceholderName(TemplatePlaceholder placeholder);
