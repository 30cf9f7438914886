// The application's settings on the parameter library's older calls, the updated flag, the
// anonymous-access marker and the warning registry behind the errors page.
#include "param.h"

#include "camera_props.h"
#include "log.h"
#include "qlparameter.h"
#include "zent_root.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>

// Every exported name that errors page readers and setters share.
ZENT_EXPORT zent_error_t errorset[ZENT_ERRORSET_SIZE];

namespace
{

constexpr std::size_t kNameBufferSize = 512;
constexpr const char *kStereoPrefix = "root.stereo.";

pthread_key_t g_buffer_key;
pthread_once_t g_buffer_once = PTHREAD_ONCE_INIT;
char g_empty[1];

std::atomic<int> g_updated{0};
// Guards errorset: warnings are set from the application's threads while the web interface
// builds the page. The page buffer has its own lock, taken first: building the parameter page
// raises warnings.
std::mutex g_registry_mutex;
std::mutex g_page_mutex;
char g_page[ZENT_PAGE_BUFFER_SIZE];

void make_buffer_key()
{
    pthread_key_create(&g_buffer_key, std::free);
}

// "Group.Name" -> "root.stereo.Group0Name"; nothing for a name without '.' or one whose full
// form would not fit the name buffer (a cut name would be another parameter).
std::optional<std::string> stereo_name(const std::string &name)
{
    std::size_t dot = name.find('.');
    if (dot == std::string::npos)
        return std::nullopt;
    std::string full = kStereoPrefix + name;
    full[std::strlen(kStereoPrefix) + dot] = '0';
    if (full.size() >= kNameBufferSize)
        return std::nullopt;
    return full;
}

int set_value(const char *name, const char *value, bool mark_updated)
{
    if (name == nullptr || value == nullptr)
        return 1;
    // Copies first: either text may be the caller's thread buffer from zent_param_get.
    std::string n(name), v(value);
    std::optional<std::string> full = stereo_name(n);
    if (!full)
        return v.empty() ? 0 : 1;
    // Judge "unchanged" on the parameter that is written, with its whole value.
    // A setting that cannot be read counts as empty, as it reads.
    if (zent_param_library_get(*full).value_or("") == v)
        return 0;
    if (param_set(full->c_str(), v.c_str(), 1) != 0)
        return 1;
    if (mark_updated)
        g_updated.store(1);
    return 0;
}

std::size_t append(std::size_t len, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes at most what is left of the page; returns the new length, never past the buffer.
std::size_t append(std::size_t len, const char *fmt, ...)
{
    if (len >= sizeof g_page - 1)
        return len;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(g_page + len, sizeof g_page - len, fmt, ap);
    va_end(ap);
    if (n < 0)
        return len;
    std::size_t room = sizeof g_page - 1 - len;
    return len + (static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
}

} // namespace

extern "C" {

ZENT_EXPORT char *zent_param_get_buffer(void)
{
    pthread_once(&g_buffer_once, make_buffer_key);
    auto *buf = static_cast<char *>(pthread_getspecific(g_buffer_key));
    if (buf == nullptr) {
        buf = static_cast<char *>(std::calloc(1, ZENT_PARAM_BUFFER_SIZE));
        if (buf == nullptr)
            return nullptr;
        pthread_setspecific(g_buffer_key, buf);
    }
    return buf;
}

ZENT_EXPORT char *zent_param_get(const char *name)
{
    char *buf = zent_param_get_buffer();
    if (buf == nullptr) {
        g_empty[0] = '\0';
        return g_empty;
    }
    if (name == nullptr) {
        buf[0] = '\0';
        return buf;
    }
    // The name may be this very buffer (a value read before): copy it out first.
    std::string n(name);
    std::string full;
    if (n.compare(0, 5, "root.") == 0) {
        if (n.size() >= kNameBufferSize) {
            buf[0] = '\0';
            return buf;
        }
        full = n;
    } else {
        std::optional<std::string> s = stereo_name(n);
        if (!s) {
            buf[0] = '\0';
            return buf;
        }
        full = *s;
    }
    std::optional<std::string> value = zent_param_library_get(full);
    if (!value) {
        buf[0] = '\0';
        return buf;
    }
    std::size_t len =
        value->size() < ZENT_PARAM_BUFFER_SIZE - 1 ? value->size() : ZENT_PARAM_BUFFER_SIZE - 1;
    std::memcpy(buf, value->data(), len);
    buf[len] = '\0';
    return buf;
}

ZENT_EXPORT int zent_param_set(const char *name, const char *value)
{
    return set_value(name, value, true);
}

ZENT_EXPORT int zent_param_set_ex(const char *name, const char *value, int flag)
{
    if (name == nullptr) {
        if (flag)
            g_updated.store(1);
        return 0;
    }
    return set_value(name, value, flag != 0);
}

ZENT_EXPORT int zent_param_updated(void)
{
    // One exchange: an update landing between a read and a clear would be lost.
    return g_updated.exchange(0) != 0 ? 1 : 0;
}

ZENT_EXPORT void set_params_updated(void)
{
    g_updated.store(1);
}

ZENT_EXPORT int zent_param_get_anon(void)
{
    struct stat st;
    return stat(zent_path("/anon.lock").c_str(), &st) == 0 ? 1 : 0;
}

ZENT_EXPORT int filter_out_param(const char *name)
{
    if (name == nullptr)
        return 0;
    return std::strcmp(name, "SysPwd") == 0 || std::strcmp(name, "Pwd") == 0 ||
                   std::strcmp(name, "Pass") == 0
               ? 1
               : 0;
}

ZENT_EXPORT void zent_param_set_error_(const char *id, const char *message)
{
    if (id == nullptr || message == nullptr)
        return;
    l_printf_file(__FILE__, LOG_DEBUG, "%s\n", id);
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (const zent_error_t &e : errorset)
        if (e.name != nullptr && e.message != nullptr && std::strcmp(e.message, message) == 0)
            return;
    for (zent_error_t &e : errorset) {
        if (e.name == nullptr) {
            e.message = message;
            e.name = id;
            return;
        }
    }
}

ZENT_EXPORT void zent_param_clear_error(const char *message)
{
    if (message == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (zent_error_t &e : errorset)
        if (e.name != nullptr && e.message != nullptr && std::strcmp(e.message, message) == 0)
            e.name = nullptr;
}

ZENT_EXPORT char *gen_errors_page(void *arg, const char *query, int *len)
{
    (void)arg;
    (void)query;
    std::lock_guard<std::mutex> page(g_page_mutex);
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    std::size_t n =
        append(0, "{\"timestamp\":\"%d\",\"errors\":{", static_cast<int>(std::time(nullptr)));
    bool first = true;
    for (const zent_error_t &e : errorset) {
        if (e.name == nullptr)
            continue;
        n = append(n, "%s\"%s\":\"%s\"", first ? "" : ",", e.name, e.message ? e.message : "");
        first = false;
    }
    n = append(n, "}}\n");
    if (len != nullptr)
        *len = static_cast<int>(n);
    return g_page;
}

char *zent_page_buffer(void)
{
    return g_page;
}

ZENT_EXPORT void zent_param_cleanup(void)
{
    l_printf_file(__FILE__, LOG_DEBUG, "param_cleanup() !! ignored;\n");
    zent_props::drop_caches();
}

} // extern "C"

std::optional<std::string> zent_param_library_get(const std::string &full)
{
    char *value = nullptr;
    if (param_get(full.c_str(), &value) != 0 || value == nullptr)
        return std::nullopt;
    std::string v(value);
    param_free(value);
    return v;
}

std::mutex &zent_page_mutex()
{
    return g_page_mutex;
}

std::vector<zent_error_t> zent_param_active_errors()
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    std::vector<zent_error_t> out;
    for (const zent_error_t &e : errorset)
        if (e.name != nullptr)
            out.push_back(e);
    return out;
}
