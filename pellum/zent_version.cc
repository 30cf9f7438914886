// Dotted version numbers: scan, compare and print, with every buffer bounded.
#include "zent_version.h"

#include <cstdio>

#include "export.h"

extern "C" ZENT_EXPORT int zent_version_scan(const char *text, zent_version *version)
{
    if (version == nullptr)
        return 1;
    if (text == nullptr) {
        for (auto &n : version->num)
            n = ZENT_VERSION_ABSENT;
        return 1;
    }
    int n[4] = {ZENT_VERSION_ABSENT, ZENT_VERSION_ABSENT, ZENT_VERSION_ABSENT, ZENT_VERSION_ABSENT};
    // The suffix is read only to be dropped; the width keeps a long one inside the buffer.
    char suffix[100];
    int items = std::sscanf(text, "%d.%d.%d.%d.%99s", &n[0], &n[1], &n[2], &n[3], suffix);
    if (items == EOF)
        return 0;
    if (items <= 0) {
        for (auto &v : version->num)
            v = ZENT_VERSION_ABSENT;
        return 1;
    }
    for (int i = 0; i < 4; ++i)
        version->num[i] = i < items ? n[i] : ZENT_VERSION_ABSENT;
    return 0;
}

extern "C" ZENT_EXPORT int zent_version_compare(const zent_version *a, const zent_version *b)
{
    for (int i = 0; i < 4; ++i) {
        if (a->num[i] == ZENT_VERSION_WILDCARD || b->num[i] == ZENT_VERSION_WILDCARD)
            return 0;
        if (a->num[i] > b->num[i])
            return -1;
        if (a->num[i] < b->num[i])
            return 1;
    }
    return 0;
}

extern "C" ZENT_EXPORT int zent_version_is_empty(const zent_version *version)
{
    return version->num[0] == ZENT_VERSION_ABSENT;
}

extern "C" ZENT_EXPORT char *zent_version_stringify_r(char *buffer, size_t size,
                                                      const zent_version *version)
{
    if (buffer == nullptr || size == 0)
        return buffer;
    // An empty record prints as nothing; later numbers still print (a record that lost only
    // its first number reads as the rest).
    buffer[0] = '\0';
    size_t len = 0;
    for (int32_t n : version->num) {
        if (n == ZENT_VERSION_ABSENT)
            continue;
        if (len + 1 >= size)
            break; // full: the rest is cut
        int w;
        if (n == ZENT_VERSION_WILDCARD)
            w = std::snprintf(buffer + len, size - len, "%s", len == 0 ? "*" : ".*");
        else
            w = std::snprintf(buffer + len, size - len, len == 0 ? "%d" : ".%d", n);
        if (w < 0)
            break;
        // snprintf reports what it wanted to write; only what fitted counts.
        len += static_cast<size_t>(w) < size - len ? static_cast<size_t>(w) : size - len - 1;
    }
    return buffer;
}

extern "C" ZENT_EXPORT char *zent_version_stringify(const zent_version *version)
{
    static char buffer[20];
    return zent_version_stringify_r(buffer, sizeof buffer, version);
}
