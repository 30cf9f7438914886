/* The camera maker's event library: subscriptions to the camera's events through key-value
 * filters (ql_event_*), and the older calls that declare and send an application's own
 * events (event_handler_init, event_add, event_send, event_remove, event_handler_cleanup). */
#ifndef QLEVENT_H
#define QLEVENT_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct _QLEventHandler QLEventHandler;
typedef struct _QLEventKeyValueSet QLEventKeyValueSet;
typedef struct _QLEvent QLEvent;

/* Types of a key-value entry, as passed to ql_event_key_value_set_add_key_values. */
typedef enum {
    QL_EVENT_VALUE_TYPE_INT = 0,    /* value points to a gint */
    QL_EVENT_VALUE_TYPE_BOOL = 1,   /* value points to a gboolean */
    QL_EVENT_VALUE_TYPE_DOUBLE = 2, /* value points to a gdouble */
    QL_EVENT_VALUE_TYPE_STRING = 3  /* value is the text itself */
} QLEventValueType;

typedef enum {
    QL_EVENT_ERROR_INVALID_ARG,
    QL_EVENT_ERROR_NOT_FOUND,
    QL_EVENT_ERROR_TYPE_MISMATCH,
    QL_EVENT_ERROR_FAILED
} QLEventErrorCode;

#define QL_EVENT_ERROR (ql_event_error_quark())
GQuark ql_event_error_quark(void);

/* Called on the thread that runs the default main context, once per matching event. The
 * callback owns `event` and releases it with ql_event_free. */
typedef void (*QLEventSubscriptionCallback)(guint subscription, QLEvent *event, gpointer user_data);

/* Stand-in behaviour:
 * - a filter matches an event when every filter entry finds an event entry with the same
 *   key, namespace (NULL matches only NULL) and type, and, where the filter entry has a
 *   value, the same value; the event may carry further entries. A filter entry without a
 *   value (NULL) matches any value of its type;
 * - matching events are queued in the order they arrive and handed to the callbacks one
 *   per iteration of the default main context; events of a subscription ended before
 *   dispatch are dropped;
 * - ql_event_key_value_set_add_key_values takes groups (key, namespace, value pointer,
 *   QLEventValueType) ended by a NULL key, and adds all of them or none: an unknown type, a
 *   key given twice (same namespace) or a NULL set is QL_EVENT_ERROR_INVALID_ARG;
 * - the getters fail with QL_EVENT_ERROR_NOT_FOUND (no such key and namespace, or no
 *   value) or QL_EVENT_ERROR_TYPE_MISMATCH, leaving *value untouched;
 * - events come from the control calls below (same process) or from the tool `qlevent`
 *   (any process under the same ZENT_ROOT: while a handler exists, the library listens on
 *   the datagram socket $ZENT_ROOT/run/qlevent/<pid>.sock and keeps its live subscriptions
 *   in <pid>.subs beside it; without ZENT_ROOT there is no socket and no file);
 * - the older calls append one line each to $ZENT_ROOT/run/qlevent/calls.log (when a root
 *   is set) and to an in-process record (qlevent_sim_calls);
 * - the environment variable QLEVENT_FAIL, a comma-separated list of function names, makes
 *   each named call fail: ql_event_handler_new (NULL), ql_event_key_value_set_add_key_values,
 *   ql_event_handler_subscribe, ql_event_key_value_set_get_integer,
 *   ql_event_key_value_set_get_boolean (FALSE with QL_EVENT_ERROR_FAILED), event_handler_init
 *   (NULL), event_add (0), event_send (-1). It is read at each call. */

QLEventHandler *ql_event_handler_new(void);
/* Ends every subscription of the handler; NULL is ignored. */
void ql_event_handler_free(QLEventHandler *handler);

QLEventKeyValueSet *ql_event_key_value_set_new(void);
void ql_event_key_value_set_free(QLEventKeyValueSet *set);
gboolean ql_event_key_value_set_add_key_values(QLEventKeyValueSet *set, GError **error,
                                               ...) G_GNUC_NULL_TERMINATED;
gboolean ql_event_key_value_set_get_integer(QLEventKeyValueSet *set, const gchar *key,
                                            const gchar *name_space, gint *value, GError **error);
gboolean ql_event_key_value_set_get_boolean(QLEventKeyValueSet *set, const gchar *key,
                                            const gchar *name_space, gboolean *value,
                                            GError **error);
gboolean ql_event_key_value_set_get_double(QLEventKeyValueSet *set, const gchar *key,
                                           const gchar *name_space, gdouble *value, GError **error);
/* *value is a new text (g_free). */
gboolean ql_event_key_value_set_get_string(QLEventKeyValueSet *set, const gchar *key,
                                           const gchar *name_space, gchar **value, GError **error);

/* Subscribes `callback` to the events matching `set` (copied: the caller may free the set
 * at once). TRUE with *subscription a non-zero id, or FALSE with *error set. */
gboolean ql_event_handler_subscribe(QLEventHandler *handler, QLEventKeyValueSet *set,
                                    guint *subscription, QLEventSubscriptionCallback callback,
                                    gpointer user_data, GError **error);
gboolean ql_event_handler_unsubscribe(QLEventHandler *handler, guint subscription, GError **error);

/* The event's entries, owned by the event. */
QLEventKeyValueSet *ql_event_get_key_value_set(QLEvent *event);
void ql_event_free(QLEvent *event);

/* Older calls. event_handler_init returns a handler or NULL; event_add declares the event
 * `name` under the handler and returns its id, or 0; event_send returns 0 when sent, else
 * non-zero; event_remove and event_handler_cleanup take what those returned (an unknown one
 * is recorded as such and otherwise ignored). */
void *event_handler_init(const char *name, int flags);
int event_add(void *handler, const char *name, int flags);
int event_send(int event_id, int kind, int flags);
void event_remove(int event_id);
void event_handler_cleanup(void *handler);

G_END_DECLS

#endif
