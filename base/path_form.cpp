#include "base/path_form.h"

#include "base/wide_append.h"

static const WideUnit EXTENDED_PREFIX[] = {u'\\', u'\\', u'?', u'\\', 0};
static const WideUnit EXTENDED_UNC_PREFIX[] = {u'\\', u'\\', u'?',  u'\\', u'U',
                                               u'N',  u'C',  u'\\', 0};
// "\\?\" and "\\.\" are 4 units, "\\?\UNC\" 8.
enum { EXTENDED_PREFIX_LENGTH = 4, EXTENDED_UNC_PREFIX_LENGTH = 8 };

static WideUnit upperAscii(WideUnit unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<WideUnit>(unit - u'a' + u'A') : unit;
}

// "\\?\" or "\\.\".
static bool hasDevicePrefix(const WideUnit *path) {
    return path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
           path[3] == u'\\';
}

static bool hasUncPrefix(const WideUnit *path) {
    return path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' && path[3] == u'\\' &&
           upperAscii(path[4]) == u'U' && upperAscii(path[5]) == u'N' &&
           upperAscii(path[6]) == u'C' && path[7] == u'\\';
}

static bool isDrivePath(const WideUnit *path) {
    return path[0] != 0 && path[1] == u':';
}

static size_t componentEnd(const WideUnit *path, size_t at) {
    while (path[at] != 0 && path[at] != u'\\') {
        ++at;
    }
    return at;
}

// The end of "server\share" starting at `at`.
static size_t shareEnd(const WideUnit *path, size_t at) {
    size_t server = componentEnd(path, at);
    return path[server] == u'\\' ? componentEnd(path, server + 1) : server;
}

size_t pathRootLength(const WideUnit *path) {
    if (isDrivePath(path)) {
        return 2;
    }
    if (hasUncPrefix(path)) {
        return shareEnd(path, EXTENDED_UNC_PREFIX_LENGTH);
    }
    if (hasDevicePrefix(path)) {
        return componentEnd(path, EXTENDED_PREFIX_LENGTH);
    }
    if (path[0] == u'\\' && path[1] == u'\\') {
        return shareEnd(path, 2);
    }
    return 0;
}

void appendExtendedPath(WideUnit *target, const WideUnit *path, size_t capacity) {
    if (isDrivePath(path) && path[2] == u'\\') {
        appendWideString(target, EXTENDED_PREFIX, capacity);
    } else if (path[0] == u'\\' && path[1] == u'\\' && !hasDevicePrefix(path)) {
        appendWideString(target, EXTENDED_UNC_PREFIX, capacity);
        path += 2;
    }
    appendWideString(target, path, capacity);
}

void appendNormalPath(WideUnit *target, const WideUnit *path, size_t capacity) {
    if (hasUncPrefix(path)) {
        appendWideChar(target, u'\\', capacity);
        path += EXTENDED_UNC_PREFIX_LENGTH - 1;
    } else if (hasDevicePrefix(path) && path[2] == u'?' && isDrivePath(path + 4)) {
        path += EXTENDED_PREFIX_LENGTH;
    }
    appendWideString(target, path, capacity);
}
