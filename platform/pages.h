/* The parameter web pages: all settings and camera facts as JSON, writing settings from a
 * query, and factory defaults. Every page has the form (request argument, query, length
 * out) -> reply text, valid until the next page call. */
#ifndef ZENT_PLATFORM_PAGES_H
#define ZENT_PLATFORM_PAGES_H

#include "export.h"

#ifdef __cplusplus
#include <cstddef>
#include <string>
#include <string_view>
extern "C" {
#endif

/* Every application setting by group, then "Build" and "Static" (camera facts and active
 * warnings), in the shared page buffer. With "&variable=<name>" in the query the reply is
 * the script assignment "var <name> = {...}". `arg` is not used. */
ZENT_EXPORT char *gen_allparams_page(void *arg, const char *query, int *len);

/* Writes the pairs "&p<i>=<name>&v<i>=<value>" (i = 1 ... *(int *)arg) of the query and
 * commits them, raising the updated flag when any was written. Masked secrets ("****")
 * are not written. Replies "OK\n", "need number of args" or "malloc vbuf failed". */
ZENT_EXPORT char *gen_setparams_page(void *arg, const char *query, int *len);

/* As gen_setparams_page, without the commit: the updated flag is not raised. */
ZENT_EXPORT char *gen_setparams_nosync_page(void *arg, const char *query, int *len);

/* Writes the factory defaults; replies "OK\n". */
ZENT_EXPORT char *gen_factorydefaults_page(void *arg, const char *query, int *len);

#ifdef __cplusplus
}

/* The all-parameters page as a private copy: for callers on other threads than the web
 * pages (the recording writes it into its file), which must not share the page buffer. */
std::string zent_allparams_text();

/* The text after `key` up to the next '&' (or the end) of a page query, searched from `from`;
 * npos when the key is absent. `end` receives where the value ends. */
std::size_t zent_query_value(std::string_view q, std::string_view key, std::size_t from,
                             std::string &value, std::size_t *end = nullptr);

/* `text` as the reply in the shared page buffer, whose mutex the caller holds. */
char *zent_page_reply(const char *text, int *len);
#endif

#endif
