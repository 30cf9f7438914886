// The launcher's pages: state and version replies, and the commands that queue tasks.
#include "views.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "api.h"
#include "app.h"
#include "export.h"
#include "main.h"
#include "manifest.h"

// Formats into the caller's buffer and reports the length actually held.
template <typename... Args>
static void reply(char *buffer, gsize *size, const char *format, Args... args)
{
    gsize capacity = *size;
    if (capacity == 0) {
        return;
    }
    int written = std::snprintf(buffer, capacity, format, args...);
    *size = fitted_length(written, capacity);
}

static void reply_status(char *buffer, gsize *size, const char *status)
{
    reply(buffer, size, "{\"status\": \"%s\"}\n", status);
}

extern "C" ZENT_EXPORT int status_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    syslog(LOG_DEBUG, "Called status_view");
    reply(buffer, size, "{\"status\": \"%s\", \"manifest_state\": \"%s\"}\n",
          state_to_page_name(get_current_application_state()),
          manifest_state_to_page_name(get_current_manifest_state()));
    return 0;
}

extern "C" ZENT_EXPORT int version_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    syslog(LOG_DEBUG, "Called version_view");
    char pellum[20];
    char firmware[20];
    zent_version_stringify_r(pellum, sizeof pellum, PELLUM_VERSION);
    zent_version_stringify_r(firmware, sizeof firmware, FIRMWARE_VERSION);
    reply(buffer, size, "{\"vendle\": \"%s\", \"firmware\": \"%s\", \"hash\": \"%s\"}\n", pellum,
          firmware, PELLUM_BUILD_TAG);
    return 0;
}

extern "C" ZENT_EXPORT int worker_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    syslog(LOG_DEBUG, "Called worker_view");
    reply(buffer, size, "%s", "Not implemented");
    return 0;
}

extern "C" ZENT_EXPORT int app_version_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    reply(buffer, size, "%s", "Not implemented");
    return 0;
}

extern "C" ZENT_EXPORT int install_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    syslog(LOG_DEBUG, "Called install_view");
    if (install_task()) {
        syslog(LOG_DEBUG, "Queued install job");
        reply_status(buffer, size, "Ok");
        return 0;
    }
    syslog(LOG_DEBUG, "Failed to queue install job");
    reply_status(buffer, size, "Too many jobs queued.");
    return 3;
}

extern "C" ZENT_EXPORT int download_view(char *buffer, gsize *size, GHashTable *params)
{
    if (download_task(params)) {
        syslog(LOG_DEBUG, "Queued download job");
        reply_status(buffer, size, "Ok");
        return 0;
    }
    syslog(LOG_DEBUG, "Failed to queue download job");
    reply_status(buffer, size, "Too many jobs queued.");
    return 3;
}

extern "C" ZENT_EXPORT int upgrade_view(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    if (upgrade_task()) {
        syslog(LOG_DEBUG, "Queued upgrade job");
        reply(buffer, size, "%s", "{\"status\": \"Ok\"}\n");
        return 0;
    }
    syslog(LOG_DEBUG, "Failed to queue upgrade job");
    reply_status(buffer, size, "Too many jobs queued.");
    return 3;
}

extern "C" ZENT_EXPORT int purge_view(char *buffer, gsize *size, GHashTable *params)
{
    const char *confirm = params != nullptr
                              ? static_cast<const char *>(g_hash_table_lookup(params, "confirm"))
                              : nullptr;
    if (confirm == nullptr || std::strncmp(confirm, "yes", 3) != 0) {
        reply(buffer, size,
              "{\"status\": \"%s\",\n \"will_remove\": [\"package.tar.gz\", \"package\"],\n "
              "\"hint\": \"Send confirm=yes to execute command\"}\n",
              "Dry run.");
        return 0;
    }
    if (purge_task()) {
        syslog(LOG_INFO, "Queued purge job");
        reply_status(buffer, size, "Ok");
        return 0;
    }
    syslog(LOG_WARNING, "Failed to queue purge job");
    reply_status(buffer, size, "Too many jobs queued.");
    return 3;
}

extern "C" ZENT_EXPORT int pages_to_json(char *buffer, gsize *size, GHashTable *params)
{
    (void)params;
    gsize capacity = *size;
    if (capacity == 0)
        return 0;
    gsize len = 0;
    // Each piece goes into the room left; once full, the rest is cut.
    auto append = [&](const char *format, auto... args) {
        int w = std::snprintf(buffer + len, capacity - len, format, args...);
        len += fitted_length(w, capacity - len);
    };
    append("%s", "[\n");
    for (unsigned i = 0; i < npages; ++i) {
        const Page &p = pages[i];
        append("\t{\n\t\"uri\": \"%s\",\n\t\"content_type\": \"%s\",\n\t\"request_type\": "
               "\"%s\"\n\t}%s\n",
               p.uri,
               p.content_type >= 0 && p.content_type <= 1 ? content_types[p.content_type] : "",
               p.request_type == 1 ? "POST" : "GET", i + 1 < npages ? "," : "");
    }
    append("%s", "\n]");
    *size = len;
    return 0;
}
