/* Declaring the application's own camera events and sending them, over the event library's
 * older calls. On this platform an event carries no data. */
#ifndef ZENT_PLATFORM_ZENT_EVENT_H
#define ZENT_PLATFORM_ZENT_EVENT_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A declared event: the library's event id and the handler it was declared under. Owned by
 * the caller until zent_event_free. */
typedef struct zent_event {
    int id;
    void *handler;
} zent_event_t;

/* Nothing to prepare. Returns 0. */
ZENT_EXPORT int zent_event_init(void);

/* Declares an event: a handler made from `handler_name`, the event `event_name` added under
 * it; both texts are passed on unchanged. The field name, type and default value are not
 * supported here and only logged (LOG_DEBUG) when given. Returns the handle, or NULL when
 * the library refuses (nothing is left behind). */
ZENT_EXPORT zent_event_t *zent_event_register(const char *handler_name, const char *event_name,
                                              const char *field_name, const char *field_type,
                                              const char *default_value);

/* zent_event_register without the optional texts. */
ZENT_EXPORT zent_event_t *zent_event_register_simple(const char *handler_name,
                                                     const char *event_name);

/* Sends the event (a non-zero value is logged as unsupported and otherwise ignored).
 * Returns 0 when sent, 1 when the library fails or the handle is NULL. */
ZENT_EXPORT int zent_event_trigger(zent_event_t *event, int value);
ZENT_EXPORT int zent_event_trigger_simple(zent_event_t *event);

/* Removes the event, ends its handler and releases the handle; NULL is ignored. */
ZENT_EXPORT void zent_event_free(zent_event_t *event);

/* Logs that clean-up succeeded; events are released one by one with zent_event_free. */
ZENT_EXPORT void zent_event_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
