#include "paths/template_tokens.h"

static const char *const PLACEHOLDER_NAMES[PH_UNKNOWN] = {
    "TEMP",         "PROGRAM",         "PROGRAM_BASE", "PROGRAM_DIR", "PID",
    "HOME",         "CACHE_DIR",       "COMPANY",      "PRODUCT",     "VERSION",
    "FILE_VERSION", "PRODUCT_VERSION", "RANDOM",       "TIME_US",     "TIME"};

TemplateToken nextTemplateToken(const WideUnit *&cursor) {
    const WideUnit *start = cursor;
    if (*start == 0) {
        return {TEMPLATE_END, start, 0};
    }
    if (*start != u'{') {
        while (*cursor != 0 && *cursor != u'{') {
            ++cursor;
        }
        return {TEMPLATE_LITERAL, start, static_cast<size_t>(cursor - start)};
    }
    const WideUnit *name = start + 1;
    const WideUnit *end = name;
    while (*end != 0 && *end != u'}') {
        if (*end == u'{') {
            return {TEMPLATE_NESTED_BRACE, start, 0};
        }
        ++end;
    }
    if (*end == 0) {
        return {TEMPLATE_UNCLOSED, start, 0};
    }
    cursor = end + 1;
    return {TEMPLATE_PLACEHOLDER, name, static_cast<size_t>(end - name)};
}

static WideUnit upperAscii(WideUnit unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<WideUnit>(unit - u'a' + u'A') : unit;
}

TemplatePlaceholder findTemplatePlaceholder(const WideUnit *name, size_t length) {
    for (int i = 0; i < PH_UNKNOWN; ++i) {
        const char *known = PLACEHOLDER_NAMES[i];
        size_t at = 0;
        while (at < length && known[at] != 0 &&
               upperAscii(name[at]) == static_cast<WideUnit>(known[at])) {
            ++at;
        }
        if (at == length && known[at] == 0) {
            return static_cast<TemplatePlaceholder>(i);
        }
    }
    return PH_UNKNOWN;
}

const char *templatePlaceholderName(TemplatePlaceholder placeholder) {
    return PLACEHOLDER_NAMES[placeholder];
}
