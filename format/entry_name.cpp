#include "format/entry_name.h"

bool isContainedEntryName(const WideUnit *name) {
    // Whether the current component has a unit other than "." and " ";
    // an empty component has none either.
    bool meaningful = false;
    for (const WideUnit *unit = name;; ++unit) {
        if (*unit == 0 || *unit == u'\\') {
            if (!meaningful) {
                return false;
            }
            if (*unit == 0) {
                return true;
            }
            meaningful = false;
        } else if (*unit == u':' || *unit == u'/') {
            return false;
        } else if (*unit != u'.' && *unit != u' ') {
            meaningful = true;
        }
    }
}
