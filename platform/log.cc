// One module's connection to the system log and the "<source>: " prefix of its messages.
// Compiled into every module that logs; each copy keeps its own opened flag.
#include "log.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <syslog.h>

namespace
{

std::atomic<int> g_opened{0};
std::mutex g_open_mutex;
// openlog keeps the pointer it is given, so the ident must outlive the caller's text.
char g_ident[64];

constexpr std::size_t kPrefixedFormatSize = 500;

bool stderr_copy_wanted()
{
    const char *v = std::getenv("ZENT_LOG_STDERR");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

// The file's last path component up to its extension ("a/b/watchdog.c" -> "watchdog").
std::string_view source_name(const char *file)
{
    if (file == nullptr)
        return {};
    std::string_view name(file);
    std::size_t slash = name.rfind('/');
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0)
        name = name.substr(0, dot);
    return name;
}

bool is_conversion(char c)
{
    return c != '\0' && std::strchr("diouxXeEfFgGaAcCsSpnm%", c) != nullptr;
}

bool is_directive_part(char c)
{
    return c != '\0' && std::strchr("-+ #0'I123456789.*$hlLqjzZt", c) != nullptr;
}

// A format cut to fit may end inside a conversion ("...%-1"); drop that stub so the
// formatter never reads a half directive.
void drop_cut_directive(char *fmt)
{
    for (std::size_t i = 0; fmt[i] != '\0'; ++i) {
        if (fmt[i] != '%')
            continue;
        std::size_t j = i + 1;
        while (is_directive_part(fmt[j]))
            ++j;
        if (fmt[j] == '\0') {
            fmt[i] = '\0';
            return;
        }
        if (is_conversion(fmt[j]))
            i = j;
    }
}

} // namespace

extern "C" ZENT_LOG_API int log_init(const char *ident)
{
    int opened = g_opened.load(std::memory_order_acquire);
    if (opened != 0)
        return opened;
    std::lock_guard<std::mutex> lock(g_open_mutex);
    opened = g_opened.load(std::memory_order_relaxed);
    if (opened != 0)
        return opened;
    std::snprintf(g_ident, sizeof g_ident, "%s", ident != nullptr ? ident : "stereo");
    int options = LOG_CONS;
    if (stderr_copy_wanted())
        options |= LOG_PERROR;
    openlog(g_ident, options, LOG_DAEMON);
    g_opened.store(1, std::memory_order_release);
    return 1;
}

extern "C" ZENT_LOG_API int lvprintf(int priority, const char *format, va_list ap)
{
    if (g_opened.load(std::memory_order_acquire) == 0)
        log_init("stereo");
    vsyslog(priority, format, ap);
    return 0;
}

extern "C" ZENT_LOG_API int l_printf_file(const char *file, int priority, const char *format, ...)
{
    char fmt[kPrefixedFormatSize];
    std::size_t pos = 0;
    // The source name becomes part of a format: a '%' in it must print as itself.
    for (char c : source_name(file)) {
        std::size_t need = (c == '%') ? 2 : 1;
        if (pos + need > sizeof fmt - 1)
            break;
        fmt[pos++] = c;
        if (c == '%')
            fmt[pos++] = '%';
    }
    fmt[pos] = '\0';
    std::snprintf(fmt + pos, sizeof fmt - pos, ": %s", format != nullptr ? format : "");
    if (std::strlen(fmt) == sizeof fmt - 1)
        drop_cut_directive(fmt);

    va_list ap;
    va_start(ap, format);
    lvprintf(priority, fmt, ap);
    va_end(ap);
    return 0;
}

extern "C" ZENT_LOG_API void log_cleanup(void)
{
    std::lock_guard<std::mutex> lock(g_open_mutex);
    closelog();
    g_opened.store(0, std::memory_order_release);
}
