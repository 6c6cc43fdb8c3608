#include "launcher/window/progress_text.h"

#include "paths/template_tokens.h"

#include <stddef.h>

namespace {

struct TextOut {
    WideUnit *units;
    size_t length;
};

void appendUnits(TextOut &out, const WideUnit *units, size_t count) {
    for (size_t i = 0; i < count && out.length + 1 < PROGRESS_TEXT_CAPACITY; ++i) {
        out.units[out.length++] = units[i];
    }
    out.units[out.length] = 0;
}

void appendString(TextOut &out, const WideUnit *text) {
    size_t count = 0;
    while (text[count] != 0) {
        ++count;
    }
    appendUnits(out, text, count);
}

} // namespace

void expandProgressText(const WideUnit *format, const WideUnit *product, const WideUnit *version,
                        WideUnit *out) {
    TextOut text{out, 0};
    out[0] = 0;
    const WideUnit *cursor = format;
    for (;;) {
        const WideUnit *start = cursor;
        TemplateToken token = nextTemplateToken(cursor);
        if (token.kind == TEMPLATE_END) {
            return;
        }
        if (token.kind == TEMPLATE_NESTED_BRACE) {
            // The brace opens nothing; a placeholder may follow it.
            appendUnits(text, start, 1);
            cursor = start + 1;
            continue;
        }
        if (token.kind == TEMPLATE_UNCLOSED) {
            appendString(text, start);
            return;
        }
        TemplatePlaceholder placeholder = token.kind == TEMPLATE_PLACEHOLDER
                                              ? findTemplatePlaceholder(token.text, token.length)
                                              : PH_UNKNOWN;
        if (placeholder == PH_PRODUCT) {
            appendString(text, product);
        } else if (placeholder == PH_VERSION) {
            appendString(text, version);
        } else {
            appendUnits(text, start, static_cast<size_t>(cursor - start));
        }
    }
}
