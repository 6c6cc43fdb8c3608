#include "paths/argument_template.h"

static const char APP_DIR_PLACEHOLDER[] = "{APP_DIR}";
static_assert(sizeof APP_DIR_PLACEHOLDER - 1 == APP_DIR_PLACEHOLDER_LENGTH, "length");

static WideUnit upperAscii(WideUnit unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<WideUnit>(unit - u'a' + u'A') : unit;
}

const WideUnit *findAppDirPlaceholder(const WideUnit *text, const WideUnit *end) {
    for (; end - text >= APP_DIR_PLACEHOLDER_LENGTH; ++text) {
        size_t i = 0;
        while (i < APP_DIR_PLACEHOLDER_LENGTH &&
               upperAscii(text[i]) == static_cast<WideUnit>(APP_DIR_PLACEHOLDER[i])) {
            ++i;
        }
        if (i == APP_DIR_PLACEHOLDER_LENGTH) {
            return text;
        }
    }
    return nullptr;
}
