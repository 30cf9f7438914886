/* The camera maker's HTTP library: routes the application's web paths to one callback and
 * turns the CGI-style reply written to the supplied stream into the HTTP response. */
#ifndef QLHTTP_H
#define QLHTTP_H

#include <gio/gio.h>
#include <glib.h>

G_BEGIN_DECLS

typedef struct _QLHttpHandler QLHttpHandler;

/* Stand-in behaviour (what the camera's server does is not known in detail):
 * - one HTTP/1.1 server on 127.0.0.1, on the GLib default main context, port from the
 *   environment variable QLHTTP_PORT (default 8480; 0 picks a free port and announces it
 *   with g_message "qlhttp: listening on 127.0.0.1:<port>");
 * - only paths beginning with "/local/tallyo/" reach the callback; any other path is
 *   answered "404 Not Found" (text/plain, empty body) without calling it;
 * - every method is passed through as the client sent it; request bodies are not read
 *   into the table (a form POST's fields are not merged into params);
 * - query: NULL when the request target has no '?', "" when it ends in '?'; otherwise as
 *   the server normalised it (escapes of unreserved characters such as "%41" decoded, hex
 *   digits upper-cased), still undecoded otherwise;
 *   params: NULL when the query holds no key at all, else keys and values form-decoded
 *   ('+' is a blank, "%xx" a byte; "%00" stays as written), a key without '=' maps to "",
 *   and of repeated keys the LAST one wins. The table lives only for the call; the callee
 *   may keep it with g_hash_table_ref. A target with malformed escapes is refused by the
 *   server with "400 Bad Request" before the callback;
 * - the callback runs synchronously, one request at a time; after it returns, the output
 *   up to the first empty line (lines end in "\n" or "\r\n") is the head: "Status: <code>
 *   <reason>" sets the status (no Status line: 200; a malformed one: 500 with an empty
 *   body), "Content-Type: <type>" the type (none without the line), other "Name: value"
 *   lines become response headers; the bytes after the blank line are the body. Output
 *   without any blank line is all body, sent with 200 and no type;
 * - the stream may be closed or dropped by the callback (e.g. through a data stream). */

/* path: request path without the query; method: "GET", "POST", ... (may be NULL);
 * query: the raw query string ("" or NULL without one); params: decoded query keys to
 * values, NULL when the request has no query parameters; stream: the reply, owned by the
 * library. "Status:" and "Content-Type:" lines written before the blank line set the
 * response's status and type; the bytes after it are the body. */
typedef void (*QLHttpCallback)(const gchar *path, const gchar *method, const gchar *query,
                               GHashTable *params, GOutputStream *stream, gpointer user_data);

/* Starts listening; NULL (with a g_warning) when the port cannot be had or is invalid. */
QLHttpHandler *ql_http_handler_new(QLHttpCallback callback, gpointer user_data);
/* Stops listening and releases the handler; NULL is ignored. */
void ql_http_handler_free(QLHttpHandler *handler);

G_END_DECLS

#endif
