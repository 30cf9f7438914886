/* Log-file utilities of the platform services: hard-linking a directory's log files into
 * another directory, and concatenating them into one "messages" file with a banner per title. */
#ifndef ZENT_PLATFORM_CONCAT_LOG_H
#define ZENT_PLATFORM_CONCAT_LOG_H

#include <dirent.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Hard-links every entry of `src` whose name contains "log" into `dst`; the paths are the
 * directory text immediately followed by the name, so both should end with '/'. Returns 1
 * when all were linked (or there was nothing to link), -1 when some failed, or the negative
 * directory-scan result. */
int link_log_files(const char *src, const char *dst);

/* Writes `dir`/messages from the log files of `dir` in descending name order, with a title
 * banner for each family of files. Returns the number of log files found, or the negative
 * directory-scan result; with none found, "messages" is left untouched. */
int generate_messages_file(const char *dir);

/* Directory-scan filter: non-zero for names containing "log". */
int logfix_filter_files(const struct dirent *entry);

/* Directory-scan order: descending locale collation of the names. */
int logfix_sort_wrapper(const struct dirent **a, const struct dirent **b);

/* The title of a log file: its name cut at the first '.', first character in upper case; a
 * name without '.' is returned unchanged. Heap text for the caller to free(); null when the
 * copy cannot be allocated. */
char *logfix_title(const char *name);

/* Writes the banner of `title` into `dir`/messages: replacing the file when `first` is
 * non-zero, appending otherwise. Returns 0, or -1 when the command could not be built or
 * failed. */
int logfix_append_file_title(const char *dir, const char *title, int first);

/* Appends `dir`/`name` to `dir`/messages. Returns 0, or -1 when the command could not be
 * built or failed. */
int logfix_append_file_to_messages(const char *dir, const char *name);

#ifdef __cplusplus
}
#endif

#endif
