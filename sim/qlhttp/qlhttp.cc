// Stand-in for the camera's HTTP library: a libsoup server on 127.0.0.1 that hands
// requests under "/local/tallyo/" to one callback and turns its CGI-style output into the
// HTTP response.
#include "qlhttp.h"

#include "export.h"

#include <libsoup/soup.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

struct _QLHttpHandler {
    SoupServer *server = nullptr;
    QLHttpCallback callback = nullptr;
    gpointer user_data = nullptr;
};

namespace
{

constexpr const char *kPrefix = "/local/tallyo/";
constexpr guint kDefaultPort = 8480;

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Form decoding: '+' is a blank, "%xx" the byte xx. A malformed escape, and "%00" (which
// would cut the C string), stay as written.
std::string form_decode(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 &&
                   hex_value(s[i + 2]) >= 0 && !(s[i + 1] == '0' && s[i + 2] == '0')) {
            out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// The decoded query, or NULL when it holds no parameter at all.
GHashTable *decode_query(const char *query)
{
    if (query == nullptr || query[0] == '\0')
        return nullptr;
    GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    std::string_view q(query);
    size_t pos = 0;
    while (pos <= q.size()) {
        size_t amp = q.find('&', pos);
        if (amp == std::string_view::npos)
            amp = q.size();
        std::string_view piece = q.substr(pos, amp - pos);
        pos = amp + 1;
        if (piece.empty())
            continue;
        size_t eq = piece.find('=');
        std::string key = form_decode(piece.substr(0, eq));
        std::string value = eq == std::string_view::npos ? "" : form_decode(piece.substr(eq + 1));
        // A repeated key: the last occurrence wins.
        g_hash_table_replace(table, g_strdup(key.c_str()), g_strdup(value.c_str()));
    }
    if (g_hash_table_size(table) == 0) {
        g_hash_table_unref(table);
        return nullptr;
    }
    return table;
}

struct CgiReply {
    guint status = SOUP_STATUS_OK;
    std::string reason;
    std::string content_type;
    std::string body;
    bool bad_status = false;
};

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool header_is(std::string_view name, const char *want)
{
    return name.size() == std::strlen(want) &&
           g_ascii_strncasecmp(name.data(), want, name.size()) == 0;
}

// Splits the callback's output into the head, up to the first empty line (lines end in
// "\n" or "\r\n", so the blank line is "\r\n\r\n", "\n\n" or a mix), and the body after it.
// Output without any empty line is all body, sent with 200.
CgiReply parse_cgi(std::string_view out, SoupMessageHeaders *headers)
{
    CgiReply reply;
    size_t head_end = std::string_view::npos;
    size_t body_start = 0;
    for (size_t line = 0; line < out.size();) {
        size_t nl = out.find('\n', line);
        if (nl == std::string_view::npos)
            break;
        std::string_view text = out.substr(line, nl - line);
        if (text.empty() || text == "\r") {
            head_end = line;
            body_start = nl + 1;
            break;
        }
        line = nl + 1;
    }
    if (head_end == std::string_view::npos) {
        reply.body.assign(out);
        return reply;
    }
    std::string_view head = out.substr(0, head_end);
    reply.body.assign(out.substr(body_start));
    size_t pos = 0;
    while (pos <= head.size()) {
        size_t nl = head.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = head.size();
        std::string_view line = trim(head.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            g_warning("qlhttp: ignoring reply header line without a colon");
            continue;
        }
        std::string_view name = trim(line.substr(0, colon));
        std::string value(trim(line.substr(colon + 1)));
        if (header_is(name, "Status")) {
            // "Status: <code> <reason>"; the code must be a three-digit HTTP status.
            char *end = nullptr;
            errno = 0;
            long code = std::strtol(value.c_str(), &end, 10);
            if (end == value.c_str() || code < 100 || code > 599 || errno != 0 ||
                (*end != '\0' && *end != ' ')) {
                reply.bad_status = true;
                continue;
            }
            reply.status = static_cast<guint>(code);
            reply.reason = std::string(trim(end));
        } else if (header_is(name, "Content-Type")) {
            reply.content_type = value;
        } else if (!name.empty()) {
            std::string n(name);
            soup_message_headers_append(headers, n.c_str(), value.c_str());
        }
    }
    return reply;
}

bool under_prefix(const char *path)
{
    return path != nullptr && std::strncmp(path, kPrefix, std::strlen(kPrefix)) == 0;
}

void on_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *,
                gpointer user_data)
{
    auto *handler = static_cast<QLHttpHandler *>(user_data);
    SoupMessageHeaders *out_headers = soup_server_message_get_response_headers(msg);
    if (!under_prefix(path)) {
        soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
        soup_message_headers_set_content_type(out_headers, "text/plain", nullptr);
        return;
    }
    GUri *uri = soup_server_message_get_uri(msg);
    const char *query = uri != nullptr ? g_uri_get_query(uri) : nullptr;
    GHashTable *params = decode_query(query);
    GOutputStream *stream = g_memory_output_stream_new_resizable();

    // Called synchronously: the launcher relies on one request at a time on its loop.
    handler->callback(path, soup_server_message_get_method(msg), query, params, stream,
                      handler->user_data);

    if (params != nullptr)
        g_hash_table_unref(params);
    if (!g_output_stream_is_closed(stream))
        g_output_stream_close(stream, nullptr, nullptr);
    auto *mem = G_MEMORY_OUTPUT_STREAM(stream);
    std::string_view out(static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                         g_memory_output_stream_get_data_size(mem));
    CgiReply reply = parse_cgi(out, out_headers);
    g_object_unref(stream);

    if (reply.bad_status) {
        g_warning("qlhttp: malformed Status line in the reply to %s", path);
        soup_server_message_set_status(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, nullptr);
        soup_message_headers_set_content_type(out_headers, "text/plain", nullptr);
        return;
    }
    soup_server_message_set_status(msg, reply.status,
                                   reply.reason.empty() ? nullptr : reply.reason.c_str());
    if (!reply.content_type.empty())
        soup_message_headers_replace(out_headers, "Content-Type", reply.content_type.c_str());
    soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_COPY,
                             reply.body.data(), reply.body.size());
}

bool port_from_env(guint &port)
{
    const char *env = std::getenv("QLHTTP_PORT");
    if (env == nullptr || env[0] == '\0') {
        port = kDefaultPort;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(env, &end, 10);
    if (errno != 0 || end == env || *end != '\0' || v < 0 || v > 65535)
        return false;
    port = static_cast<guint>(v);
    return true;
}

} // namespace

extern "C" {

ZENT_EXPORT QLHttpHandler *ql_http_handler_new(QLHttpCallback callback, gpointer user_data)
{
    if (callback == nullptr) {
        g_warning("qlhttp: no callback given");
        return nullptr;
    }
    guint port = 0;
    if (!port_from_env(port)) {
        g_warning("qlhttp: QLHTTP_PORT is not a port number");
        return nullptr;
    }
    auto *handler = new QLHttpHandler;
    handler->callback = callback;
    handler->user_data = user_data;
    handler->server = soup_server_new("server-header", "qlhttp", nullptr);
    soup_server_add_handler(handler->server, nullptr, on_request, handler, nullptr);

    GInetAddress *loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress *address = g_inet_socket_address_new(loopback, static_cast<guint16>(port));
    g_object_unref(loopback);
    GError *error = nullptr;
    gboolean ok = soup_server_listen(handler->server, address,
                                     static_cast<SoupServerListenOptions>(0), &error);
    g_object_unref(address);
    if (!ok) {
        g_warning("qlhttp: cannot listen on 127.0.0.1:%u: %s", port, error->message);
        g_error_free(error);
        g_object_unref(handler->server);
        delete handler;
        return nullptr;
    }
    if (port == 0) {
        // An ephemeral port was asked for: say which one was given.
        GSList *uris = soup_server_get_uris(handler->server);
        if (uris != nullptr)
            g_message("qlhttp: listening on 127.0.0.1:%d",
                      g_uri_get_port(static_cast<GUri *>(uris->data)));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    return handler;
}

ZENT_EXPORT void ql_http_handler_free(QLHttpHandler *handler)
{
    if (handler == nullptr)
        return;
    soup_server_disconnect(handler->server);
    g_object_unref(handler->server);
    delete handler;
}

} // extern "C"
