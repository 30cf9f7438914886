/* LD_PRELOAD stand-in for the system log, for tests that run a real deliverable: records
 * every openlog, message and closelog in the file named by ZENT_SYSLOG_RECORD (one line each)
 * and, like the real log, copies messages to standard error when opened with LOG_PERROR. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static const char *g_ident = "";
static int g_option;

static void record(const char *line)
{
    const char *path = getenv("ZENT_SYSLOG_RECORD");
    if (path == NULL || path[0] == '\0')
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    size_t len = strlen(line);
    ssize_t w = write(fd, line, len);
    (void)w;
    close(fd);
}

void openlog(const char *ident, int option, int facility)
{
    char line[512];
    g_ident = ident != NULL ? ident : "";
    g_option = option;
    snprintf(line, sizeof line, "open\t%s\t%d\t%d\n", g_ident, option, facility);
    record(line);
}

void closelog(void)
{
    record("close\n");
}

void vsyslog(int priority, const char *format, va_list ap)
{
    char text[4096];
    char line[8300];
    vsnprintf(text, sizeof text, format, ap);
    /* One record per line: newlines inside a message are shown as "\n". */
    char flat[8192];
    size_t o = 0;
    for (size_t i = 0; text[i] != '\0' && o + 2 < sizeof flat; ++i) {
        if (text[i] == '\n') {
            flat[o++] = '\\';
            flat[o++] = 'n';
        } else {
            flat[o++] = text[i];
        }
    }
    flat[o] = '\0';
    snprintf(line, sizeof line, "msg\t%d\t%s\n", priority, flat);
    record(line);
    if (g_option & LOG_PERROR)
        dprintf(STDERR_FILENO, "%s: %s\n", g_ident, text);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list ap)
{
    (void)flag;
    vsyslog(priority, format, ap);
}

void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
