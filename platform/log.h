/* Logging routines every native module compiles in: syslog under the ident "stereo", each
 * message prefixed with the name of the source file that issued it. */
#ifndef ZENT_PLATFORM_LOG_H
#define ZENT_PLATFORM_LOG_H

#include <stdarg.h>

/* Exported, yet every call from inside a module binds to that module's own copy: with
 * default visibility a module loaded globally would lend its opened flag to all the others. */
#define ZENT_LOG_API __attribute__((visibility("protected")))

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the system log under `ident` (LOG_CONS, LOG_DAEMON; with ZENT_LOG_STDERR set to a
 * non-empty value other than "0", also LOG_PERROR). Returns 1, or the opened flag when the
 * log is already open. */
ZENT_LOG_API int log_init(const char *ident);

/* Sends a formatted message at `priority`, opening the log with "stereo" first if needed.
 * Returns 0. */
ZENT_LOG_API int lvprintf(int priority, const char *format, va_list ap);

/* Like lvprintf, with "<source name>: " in front of the format, where the source name is the
 * last component of `file` without its extension. The prefixed format is cut at 499
 * characters. Returns 0. */
ZENT_LOG_API int l_printf_file(const char *file, int priority, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Closes the system log and clears the opened flag. */
ZENT_LOG_API void log_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
