/* A small streaming JSON writer into one fixed-size buffer: it never allocates while writing
 * and records overflow instead of failing, so a reply that does not fit is cut, not lost. */
#ifndef ZENT_PLATFORM_JPRINT_H
#define ZENT_PLATFORM_JPRINT_H

#include "export.h"

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Mode bits. */
#define JPRINT_UNQUOTED 1  /* values written as given: the caller supplies quoted, escaped text */
#define JPRINT_TIGHT_KEY 2 /* key separator "\": " instead of "\" : " */
#define JPRINT_COMPACT 4   /* no line breaks, key separator "\":" (use step 0) */

typedef struct jprint {
    char *start;  /* first byte of the buffer */
    char *cur;    /* where the next token goes; the buffer is always terminated here */
    int size;     /* buffer size in bytes */
    int indent;   /* current indentation in blanks */
    int step;     /* indentation per nesting level */
    int first;    /* 1 while the next element is the first of its container */
    int owns;     /* 1 when the writer allocated the buffer */
    int overflow; /* 1 once something did not fit; never cleared */
    int mode;     /* JPRINT_* bits */
} jprint_t;

/* Starts a writer on `buffer` (or on one it allocates when `buffer` is NULL) of `size` bytes.
 * 0, or 1 when the allocation failed. Mode starts at 0. */
ZENT_EXPORT int jprint_init(jprint_t *jp, char *buffer, int size, int indent, int step);
ZENT_EXPORT void jprint_set_indent(jprint_t *jp, int indent);
/* Appends `text` as it is, without any separator. */
ZENT_EXPORT void jprint_raw(jprint_t *jp, const char *text);
ZENT_EXPORT void jprint_begin_dict(jprint_t *jp, const char *key);
ZENT_EXPORT void jprint_end_dict(jprint_t *jp);
ZENT_EXPORT void jprint_begin_list(jprint_t *jp, const char *key);
ZENT_EXPORT void jprint_end_list(jprint_t *jp);
/* A member (key given) or an element (key NULL). Strings are not escaped: the caller passes
 * JSON-safe text. Non-finite floating-point values are written as null. */
ZENT_EXPORT void jprint_string(jprint_t *jp, const char *key, const char *text);
ZENT_EXPORT void jprint_bool(jprint_t *jp, const char *key, int value);
ZENT_EXPORT void jprint_int(jprint_t *jp, const char *key, int value);
ZENT_EXPORT void jprint_float(jprint_t *jp, const char *key, float value);
ZENT_EXPORT void jprint_double(jprint_t *jp, const char *key, double value);
ZENT_EXPORT void jprint_ulong(jprint_t *jp, const char *key, unsigned long value);
/* The string YYYYMMDDhhmmss of a broken-down time. */
ZENT_EXPORT void jprint_timestamp(jprint_t *jp, const char *key, const struct tm *tm);
/* Bytes written so far. */
ZENT_EXPORT int jprint_length(const jprint_t *jp);
/* Releases an owned buffer; returns whether the writer owned it. */
ZENT_EXPORT int jprint_cleanup(jprint_t *jp);

/* Writes a small sample document to standard output (a demonstration). */
ZENT_EXPORT void jprint_example1(void);

#ifdef __cplusplus
}
#endif

#endif
