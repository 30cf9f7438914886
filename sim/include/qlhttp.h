/* The camera maker's HTTP library: routes the application's web paths to one callback and
 * turns the CGI-style reply written to the supplied stream into the HTTP response. */
#ifndef QLHTTP_H
#define QLHTTP_H

#include <gio/gio.h>
#include <glib.h>

G_BEGIN_DECLS

typedef struct _QLHttpHandler QLHttpHandler;

/* path: request path without the query; method: "GET", "POST", ... (may be NULL);
 * query: the raw query string ("" or NULL without one); params: decoded query keys to
 * values, NULL when the request has no query parameters; stream: the reply, owned by the
 * library. "Status:" and "Content-Type:" lines written before the blank line set the
 * response's status and type; the bytes after it are the body. */
typedef void (*QLHttpCallback)(const gchar *path, const gchar *method, const gchar *query,
                               GHashTable *params, GOutputStream *stream, gpointer user_data);

QLHttpHandler *ql_http_handler_new(QLHttpCallback callback, gpointer user_data);
void ql_http_handler_free(QLHttpHandler *handler);

G_END_DECLS

#endif
