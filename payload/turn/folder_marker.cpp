#include "payload/turn/folder_marker.h"

static const char FOLDER_MARKER_MAGIC[] = "tallix-onefile unpack folder 1";
// Packed versions have at most four numbers of at most 65535.
enum { VERSION_PARTS = 4, VERSION_PART_MAX = 65535 };

namespace {
// Bounded writing into a marker buffer; `full` once anything did not fit.
struct MarkerText {
    WideUnit *target;
    size_t length;
    bool full;

    void put(WideUnit unit) {
        if (length + 1 >= FOLDER_MARKER_CAPACITY) {
            full = true;
            return;
        }
        target[length++] = unit;
        target[length] = 0;
    }
    void line(const WideUnit *text) {
        for (; *text != 0; ++text) {
            put(*text);
        }
        put(u'\n');
    }
};
} // namespace

static void writePrefix(MarkerText &text, const WideUnit *company, const WideUnit *product) {
    for (const char *magic = FOLDER_MARKER_MAGIC; *magic != 0; ++magic) {
        text.put(static_cast<WideUnit>(*magic));
    }
    text.put(u'\n');
    text.line(company);
    text.line(product);
}

bool formatFolderMarker(WideUnit *target, const WideUnit *company, const WideUnit *product,
                        const WideUnit *version) {
    target[0] = 0;
    MarkerText text = {target, 0, false};
    writePrefix(text, company, product);
    text.line(version);
    return !text.full;
}

// Parses [text, end) as a version; false for anything but 1 to 4 numbers.
static bool parseVersion(const WideUnit *text, const WideUnit *end,
                         unsigned long parts[VERSION_PARTS]) {
    for (int i = 0; i < VERSION_PARTS; ++i) {
        parts[i] = 0;
    }
    int part = 0;
    bool digits = false;
    for (; text < end; ++text) {
        if (*text >= u'0' && *text <= u'9') {
            parts[part] = parts[part] * 10 + static_cast<unsigned long>(*text - u'0');
            if (parts[part] > VERSION_PART_MAX) {
                return false;
            }
            digits = true;
        } else if (*text == u'.' && digits && part + 1 < VERSION_PARTS) {
            ++part;
            digits = false;
        } else {
            return false;
        }
    }
    return digits;
}

static const WideUnit *textEnd(const WideUnit *text) {
    while (*text != 0) {
        ++text;
    }
    return text;
}

bool isOlderFolderMarker(const WideUnit *marker, size_t units, const WideUnit *company,
                         const WideUnit *product, const WideUnit *version) {
    WideUnit prefix[FOLDER_MARKER_CAPACITY];
    prefix[0] = 0;
    MarkerText text = {prefix, 0, false};
    writePrefix(text, company, product);
    if (text.full || units <= text.length || marker[units - 1] != u'\n') {
        return false;
    }
    for (size_t i = 0; i < text.length; ++i) {
        if (marker[i] != prefix[i]) {
            return false;
        }
    }
    unsigned long theirs[VERSION_PARTS], ours[VERSION_PARTS];
    if (!parseVersion(marker + text.length, marker + units - 1, theirs) ||
        !parseVersion(version, textEnd(version), ours)) {
        return false;
    }
    for (int i = 0; i < VERSION_PARTS; ++i) {
        if (theirs[i] != ours[i]) {
            return theirs[i] < ours[i];
        }
    }
    return true;
}
