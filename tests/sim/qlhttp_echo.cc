// Test server for the HTTP library: registers one callback and answers from it so that
// the tests can see what the callback was given and how its output became the response.
//   /local/tallyo/echo...   JSON of path, method, raw query and decoded table
//   /local/tallyo/raw       writes the decoded "out" parameter verbatim as the CGI output
//   /local/tallyo/keep      keeps a reference on the table; the next request to
//                           /local/tallyo/kept reports what the kept table still holds
// Runs until SIGTERM or SIGINT.
#include "qlhttp.h"

#include <glib-unix.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

GHashTable *g_kept = nullptr;

std::string json_string(const char *s)
{
    if (s == nullptr)
        return "null";
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        char buf[8];
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            std::snprintf(buf, sizeof buf, "\\u%04x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

std::string json_table(GHashTable *table)
{
    if (table == nullptr)
        return "null";
    std::vector<std::pair<std::string, std::string>> items;
    GHashTableIter it;
    gpointer k, v;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &k, &v))
        items.emplace_back(static_cast<const char *>(k), static_cast<const char *>(v));
    std::sort(items.begin(), items.end());
    std::string out = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += ", ";
        out += json_string(items[i].first.c_str()) + ": " + json_string(items[i].second.c_str());
    }
    return out + "}";
}

void write_text(GOutputStream *stream, const std::string &text)
{
    // Written through a data stream that is then dropped, as the launcher does.
    GDataOutputStream *data = g_data_output_stream_new(stream);
    g_output_stream_write_all(G_OUTPUT_STREAM(data), text.data(), text.size(), nullptr, nullptr,
                              nullptr);
    g_object_unref(data);
}

void on_request(const gchar *path, const gchar *method, const gchar *query, GHashTable *params,
                GOutputStream *stream, gpointer user_data)
{
    int *calls = static_cast<int *>(user_data);
    ++*calls;
    if (std::strcmp(path, "/local/tallyo/raw") == 0) {
        const char *out =
            params ? static_cast<const char *>(g_hash_table_lookup(params, "out")) : nullptr;
        write_text(stream, out ? out : "");
        return;
    }
    if (std::strcmp(path, "/local/tallyo/keep") == 0) {
        if (g_kept)
            g_hash_table_unref(g_kept);
        g_kept = params ? g_hash_table_ref(params) : nullptr;
        write_text(stream, "Status: 204 No Content\r\n\r\n");
        return;
    }
    if (std::strcmp(path, "/local/tallyo/kept") == 0) {
        write_text(stream, "Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n" +
                               json_table(g_kept) + "\n");
        return;
    }
    std::string body = "{\"path\": " + json_string(path) + ", \"method\": " + json_string(method) +
                       ", \"query\": " + json_string(query) +
                       ", \"params\": " + json_table(params) +
                       ", \"calls\": " + std::to_string(*calls) + "}\n";
    write_text(stream, "Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n" + body);
}

gboolean on_signal(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

} // namespace

int main()
{
    int calls = 0;
    // Signals first: a test may stop the server the moment it says it is ready.
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, on_signal, loop);
    g_unix_signal_add(SIGINT, on_signal, loop);
    QLHttpHandler *handler = ql_http_handler_new(on_request, &calls);
    if (handler == nullptr) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    ql_http_handler_free(handler);
    if (g_kept)
        g_hash_table_unref(g_kept);
    return 0;
}
