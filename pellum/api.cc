// Dispatches the launcher's HTTP requests to the views and writes their CGI-style replies.
#include "api.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>

#include "export.h"

extern "C" {
const char *const content_types[] = {"text/plain", "application/json"};
const char *const status_texts[] = {"200 OK", "404 Not Found", "400 Bad Request",
                                    "500 Internal Server Error"};

const Page pages[] = {
    {"/local/tallyo/status", 1, 0, status_view},
    {"/local/tallyo/version", 1, 0, version_view},
    {"/local/tallyo/work", 1, 0, worker_view},
    {"/local/tallyo/cmd/install", 1, 1, install_view},
    {"/local/tallyo/cmd/purge", 1, 1, purge_view},
    {"/local/tallyo/cmd/download", 1, 1, download_view},
    {"/local/tallyo/cmd/upgrade", 1, 1, upgrade_view},
    {"/local/tallyo/app/version", 1, 0, app_version_view},
    {"/local/tallyo/app/restart", 1, 0, app_version_view},
    {"/local/tallyo/pages", 1, 0, pages_to_json},
};
const unsigned npages = sizeof pages / sizeof pages[0];
ZENT_EXPORT QLHttpHandler *handler = nullptr;
}

// One request at a time on the main loop, so one reply buffer serves them all.
static char page_buffer[PAGE_BUFFER_SIZE];

gsize fitted_length(int written, gsize capacity)
{
    if (written < 0 || capacity == 0)
        return 0;
    return static_cast<gsize>(written) < capacity ? static_cast<gsize>(written) : capacity - 1;
}

// The length of a text without its trailing line ends, so that its log line stays one line.
static int without_line_ends(const char *text, size_t n)
{
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        --n;
    return static_cast<int>(n);
}

static int without_line_ends(const char *line)
{
    return without_line_ends(line, std::strlen(line));
}

static bool is_secret_key(const char *key)
{
    return g_strcmp0(key, "proxy-password") == 0;
}

// The raw query with the value of every proxy-password pair masked, for the log.
static std::string masked_query(const char *query)
{
    std::string out;
    if (query == nullptr)
        return out;
    gchar **pairs = g_strsplit(query, "&", -1);
    for (gchar **p = pairs; *p != nullptr; ++p) {
        if (p != pairs)
            out += '&';
        const char *eq = std::strchr(*p, '=');
        std::string key = eq != nullptr ? std::string(*p, static_cast<size_t>(eq - *p)) : *p;
        std::replace(key.begin(), key.end(), '+', ' ');
        gchar *decoded = g_uri_unescape_string(key.c_str(), nullptr);
        if (eq != nullptr && eq[1] != '\0' &&
            is_secret_key(decoded != nullptr ? decoded : key.c_str()))
            out += std::string(*p, static_cast<size_t>(eq - *p)) + "=*****";
        else
            out += *p;
        g_free(decoded);
    }
    g_strfreev(pairs);
    return out;
}

extern "C" ZENT_EXPORT int init_web_api(void)
{
    handler = ql_http_handler_new(generate_page, nullptr);
    return 0;
}

extern "C" ZENT_EXPORT int cleanup_web_api(void)
{
    if (handler != nullptr)
        ql_http_handler_free(handler);
    handler = nullptr;
    return 0;
}

extern "C" ZENT_EXPORT void write_output(GDataOutputStream *stream, const char *text)
{
    GError *error = nullptr;
    if (!g_data_output_stream_put_string(stream, text, nullptr, &error)) {
        syslog(LOG_ERR, "Error: %s", error != nullptr ? error->message : "");
        g_clear_error(&error);
    }
}

extern "C" ZENT_EXPORT void write_content_type(GDataOutputStream *stream, int index)
{
    if (index == 2)
        return;
    char line[50];
    std::snprintf(line, sizeof line, "Content-Type: %s\r\n",
                  index >= 0 && index < 2 ? content_types[index] : "");
    syslog(LOG_DEBUG, "Writing content: '%.*s'", without_line_ends(line), line);
    write_output(stream, line);
}

extern "C" ZENT_EXPORT void write_status(GDataOutputStream *stream, int index)
{
    if (index == 4)
        return;
    char line[50];
    std::snprintf(line, sizeof line, "Status: %s\r\n\r\n",
                  index >= 0 && index < 4 ? status_texts[index] : "");
    syslog(LOG_DEBUG, "Writing status: '%.*s'", without_line_ends(line), line);
    write_output(stream, line);
}

extern "C" ZENT_EXPORT void generate_page(const gchar *path, const gchar *method,
                                          const gchar *query, GHashTable *params,
                                          GOutputStream *stream, gpointer user_data)
{
    (void)user_data;
    syslog(LOG_DEBUG, "Path: '%s'", path != nullptr ? path : "");
    syslog(LOG_DEBUG, "Method: '%s'", method != nullptr ? method : "(unspecified)");
    syslog(LOG_DEBUG, "Query: '%s'", masked_query(query).c_str());
    if (params != nullptr) {
        GHashTableIter it;
        gpointer key;
        gpointer value;
        g_hash_table_iter_init(&it, params);
        while (g_hash_table_iter_next(&it, &key, &value)) {
            auto *k = static_cast<const char *>(key);
            auto *v = value != nullptr ? static_cast<const char *>(value) : "";
            syslog(LOG_DEBUG, "Parameter %s: %s", k,
                   is_secret_key(k) && v[0] != '\0' ? "*****" : v);
        }
    }
    GDataOutputStream *out = g_data_output_stream_new(stream);
    g_assert(out != nullptr);
    // The stream is the library's: closing ours must leave it open.
    g_filter_output_stream_set_close_base_stream(G_FILTER_OUTPUT_STREAM(out), FALSE);

    const Page *page = nullptr;
    for (unsigned i = 0; i < npages; ++i) {
        if (path != nullptr && std::strcmp(pages[i].uri, path) == 0) {
            const char *wanted = pages[i].request_type == 1 ? "POST" : "GET";
            if (method != nullptr && std::strcmp(method, wanted) == 0)
                page = &pages[i];
            break;
        }
    }
    if (page != nullptr) {
        gsize size = sizeof page_buffer;
        page_buffer[0] = '\0';
        int status = page->view(page_buffer, &size, params);
        if (size > sizeof page_buffer)
            size = sizeof page_buffer; // never more than the buffer holds
        write_content_type(out, page->content_type);
        write_status(out, status);
        // The reply's own last line end would leave a lone quote on a log line of its own.
        syslog(LOG_DEBUG, "Reply: '%.*s'", without_line_ends(page_buffer, size), page_buffer);
        for (gsize i = 0; i < size; ++i) {
            GError *error = nullptr;
            if (!g_data_output_stream_put_byte(out, static_cast<guchar>(page_buffer[i]), nullptr,
                                               &error)) {
                syslog(LOG_ERR, "Error: %s", error != nullptr ? error->message : "");
                g_clear_error(&error);
            }
        }
    } else {
        syslog(LOG_DEBUG, "No matching page found, returning 404");
        write_content_type(out, 0);
        write_status(out, 1);
    }
    g_output_stream_flush(G_OUTPUT_STREAM(out), nullptr, nullptr);
    g_object_unref(out);
}
