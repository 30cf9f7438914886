/* Dotted version numbers: parsing, ordering and the text form. Shared by the launcher and the
 * capture module, so it is plain C at its interface. */
#ifndef ZENT_VERSION_H
#define ZENT_VERSION_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A number the text did not have. */
#define ZENT_VERSION_ABSENT (-1)
/* Matches any value; set only by programs, never produced by a scan. */
#define ZENT_VERSION_WILDCARD (-2)

/* Four numbers, most significant first. */
typedef struct zent_version {
    int32_t num[4];
} zent_version;

/* 0 when the text was taken (also for an empty text, which leaves the record as it was),
 * 1 when it does not start with a number (all four numbers become absent). */
int zent_version_scan(const char *text, zent_version *version);

/* Sign of b minus a: 1 when a is lower, -1 when a is higher, 0 when equal or when a wildcard
 * is met. Absent numbers compare as -1. */
int zent_version_compare(const zent_version *a, const zent_version *b);

/* Non-zero when the first number is absent. */
int zent_version_is_empty(const zent_version *version);

/* Writes the text form into buffer (size bytes, always terminated when size > 0, cut when
 * longer) and returns buffer. */
char *zent_version_stringify_r(char *buffer, size_t size, const zent_version *version);

/* As above into one static 20-byte buffer; not reentrant. */
char *zent_version_stringify(const zent_version *version);

#ifdef __cplusplus
}
#endif

#endif
