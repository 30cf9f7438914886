// Event registration: the application's events declared and sent through the event
// library's older calls, which take no event data on this platform.
#include "zent_event.h"

#include "log.h"

#include <qlevent.h>

#include <cstdlib>
#include <syslog.h>

// The library's selector for sending an event as a one-off occurrence.
static constexpr int kSendKind = 2;

extern "C" ZENT_EXPORT int zent_event_init(void)
{
    return 0;
}

extern "C" ZENT_EXPORT zent_event_t *
zent_event_register(const char *handler_name, const char *event_name, const char *field_name,
                    const char *field_type, const char *default_value)
{
    if (field_name != nullptr)
        l_printf_file(__FILE__, LOG_DEBUG, "Fieldname %s is not supported by this platform!",
                      field_name);
    if (field_type != nullptr)
        l_printf_file(__FILE__, LOG_DEBUG, "Fieldtype %s is not supported by this platform!",
                      field_type);
    if (default_value != nullptr)
        l_printf_file(__FILE__, LOG_DEBUG, "Defaultvalue %s is not supported by this platform!",
                      default_value);

    auto *event = static_cast<zent_event_t *>(std::calloc(1, sizeof(zent_event_t)));
    if (event == nullptr)
        return nullptr;
    void *handler = event_handler_init(handler_name, 0);
    if (handler == nullptr) {
        std::free(event);
        return nullptr;
    }
    int id = event_add(handler, event_name, 0);
    if (id == 0) {
        event_handler_cleanup(handler);
        std::free(event);
        return nullptr;
    }
    event->id = id;
    event->handler = handler;
    return event;
}

extern "C" ZENT_EXPORT zent_event_t *zent_event_register_simple(const char *handler_name,
                                                                const char *event_name)
{
    return zent_event_register(handler_name, event_name, nullptr, nullptr, nullptr);
}

extern "C" ZENT_EXPORT int zent_event_trigger(zent_event_t *event, int value)
{
    l_printf_file(__FILE__, LOG_INFO, "Triggering event");
    if (value != 0)
        l_printf_file(__FILE__, LOG_WARNING, "Value is not supported by this platform!");
    if (event == nullptr)
        return 1;
    return event_send(event->id, kSendKind, 0) != 0 ? 1 : 0;
}

extern "C" ZENT_EXPORT int zent_event_trigger_simple(zent_event_t *event)
{
    return zent_event_trigger(event, 0);
}

extern "C" ZENT_EXPORT void zent_event_free(zent_event_t *event)
{
    if (event == nullptr)
        return;
    event_remove(event->id);
    event_handler_cleanup(event->handler);
    std::free(event);
}

extern "C" ZENT_EXPORT void zent_event_cleanup(void)
{
    l_printf_file(__FILE__, LOG_INFO, "Cleanup of events was successful");
}
