// Records what the logging routines hand to the system log (linked with --wrap).
#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace
{
std::mutex g_mutex;
syslog_capture::Record g_record;

void record_message(int priority, const char *fmt, va_list ap)
{
    char buf[8192];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_record.messages.push_back({priority, buf});
}
} // namespace

namespace syslog_capture
{
Record snapshot()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_record;
}

void clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_record = Record{};
}
} // namespace syslog_capture

extern "C" {
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_closelog(void);
void __wrap_vsyslog(int priority, const char *fmt, va_list ap);
void __wrap___vsyslog_chk(int priority, int flag, const char *fmt, va_list ap);
void __wrap_syslog(int priority, const char *fmt, ...);

void __wrap_openlog(const char *ident, int option, int facility)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_record.opens.push_back({ident ? ident : "", ident, option, facility});
}

void __wrap_closelog(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_record.closes;
}

void __wrap_vsyslog(int priority, const char *fmt, va_list ap)
{
    record_message(priority, fmt, ap);
}

void __wrap___vsyslog_chk(int priority, int, const char *fmt, va_list ap)
{
    record_message(priority, fmt, ap);
}

void __wrap_syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_message(priority, fmt, ap);
    va_end(ap);
}
}
