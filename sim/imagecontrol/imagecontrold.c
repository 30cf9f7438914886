/* imagecontrold: the camera's image-control service on the system bus, as far as the SNR
 * query needs it. Owns "com.orvex.ImageControl" and answers
 * org.freedesktop.DBus.Properties.Get("com.orvex.ImageControl.0.0", "Snr") on
 * "/com/orvex/ImageControl/0/0"; tests steer the answer through the "sim.ImageControl"
 * interface of the same object (value, reply form, delay, error, call counter, quit). */
#include <dbus/dbus.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define SERVICE_NAME "com.orvex.ImageControl"
#define OBJECT_PATH "/com/orvex/ImageControl/0/0"
#define PROPERTY_INTERFACE "com.orvex.ImageControl.0.0"
#define CONTROL_INTERFACE "sim.ImageControl"
#define MAX_HELD 256

enum mode { MODE_INT, MODE_STRING, MODE_BARE, MODE_EMPTY, MODE_ERROR, MODE_SILENT };
static const char *const mode_names[] = {"int", "string", "bare", "empty", "error", "silent"};

static struct {
    dbus_int32_t snr;
    enum mode mode;
    unsigned delay_ms;
    char error_name[256];
    char error_message[256];
    dbus_uint32_t calls;
    int quit;
} g = {42, MODE_INT, 0, "com.orvex.ImageControl.Error.Failed", "Sensor not ready", 0, 0};

/* Replies held back by the delay, sent when due. */
static struct held {
    DBusMessage *reply;
    long long due_ms;
} held[MAX_HELD];
static int held_count;

static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int parse_mode(const char *name)
{
    for (int i = 0; i < (int)(sizeof mode_names / sizeof mode_names[0]); ++i)
        if (strcmp(name, mode_names[i]) == 0)
            return i;
    return -1;
}

static void send_or_hold(DBusConnection *conn, DBusMessage *reply)
{
    if (reply == NULL)
        return;
    if (g.delay_ms > 0 && held_count < MAX_HELD) {
        held[held_count].reply = reply;
        held[held_count].due_ms = now_ms() + g.delay_ms;
        ++held_count;
        return;
    }
    dbus_connection_send(conn, reply, NULL);
    dbus_message_unref(reply);
}

static void send_due(DBusConnection *conn)
{
    long long now = now_ms();
    int kept = 0;
    for (int i = 0; i < held_count; ++i) {
        if (held[i].due_ms <= now) {
            dbus_connection_send(conn, held[i].reply, NULL);
            dbus_message_unref(held[i].reply);
        } else {
            held[kept++] = held[i];
        }
    }
    held_count = kept;
    dbus_connection_flush(conn);
}

static DBusMessage *answer_get(DBusMessage *call)
{
    const char *iface = NULL, *prop = NULL;
    DBusError err;
    dbus_error_init(&err);
    if (!dbus_message_get_args(call, &err, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &prop,
                               DBUS_TYPE_INVALID)) {
        DBusMessage *r = dbus_message_new_error(call, DBUS_ERROR_INVALID_ARGS, err.message);
        dbus_error_free(&err);
        return r;
    }
    if (strcmp(iface, PROPERTY_INTERFACE) != 0 || strcmp(prop, "Snr") != 0)
        return dbus_message_new_error_printf(call, DBUS_ERROR_INVALID_ARGS,
                                             "No property %s on interface %s", prop, iface);
    ++g.calls;
    if (g.mode == MODE_ERROR)
        return dbus_message_new_error(call, g.error_name, g.error_message);
    if (g.mode == MODE_SILENT)
        return NULL;
    DBusMessage *reply = dbus_message_new_method_return(call);
    if (reply == NULL || g.mode == MODE_EMPTY)
        return reply;
    DBusMessageIter it, var;
    dbus_message_iter_init_append(reply, &it);
    if (g.mode == MODE_BARE) {
        dbus_message_iter_append_basic(&it, DBUS_TYPE_INT32, &g.snr);
    } else if (g.mode == MODE_STRING) {
        char text[32];
        snprintf(text, sizeof text, "%d", (int)g.snr);
        const char *p = text;
        dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, DBUS_TYPE_STRING_AS_STRING, &var);
        dbus_message_iter_append_basic(&var, DBUS_TYPE_STRING, &p);
        dbus_message_iter_close_container(&it, &var);
    } else {
        dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, DBUS_TYPE_INT32_AS_STRING, &var);
        dbus_message_iter_append_basic(&var, DBUS_TYPE_INT32, &g.snr);
        dbus_message_iter_close_container(&it, &var);
    }
    return reply;
}

static DBusMessage *answer_control(DBusMessage *call)
{
    const char *member = dbus_message_get_member(call);
    DBusError err;
    dbus_error_init(&err);
    int ok = 1;
    if (strcmp(member, "SetSnr") == 0) {
        ok = dbus_message_get_args(call, &err, DBUS_TYPE_INT32, &g.snr, DBUS_TYPE_INVALID);
    } else if (strcmp(member, "SetMode") == 0) {
        const char *name = NULL;
        ok = dbus_message_get_args(call, &err, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        int m = ok ? parse_mode(name) : -1;
        if (ok && m < 0)
            return dbus_message_new_error_printf(call, DBUS_ERROR_INVALID_ARGS, "unknown mode %s",
                                                 name);
        if (ok)
            g.mode = (enum mode)m;
    } else if (strcmp(member, "SetDelay") == 0) {
        dbus_uint32_t ms = 0;
        ok = dbus_message_get_args(call, &err, DBUS_TYPE_UINT32, &ms, DBUS_TYPE_INVALID);
        if (ok)
            g.delay_ms = ms;
    } else if (strcmp(member, "SetError") == 0) {
        const char *name = NULL, *message = NULL;
        ok = dbus_message_get_args(call, &err, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &message,
                                   DBUS_TYPE_INVALID);
        if (ok) {
            snprintf(g.error_name, sizeof g.error_name, "%s", name);
            snprintf(g.error_message, sizeof g.error_message, "%s", message);
        }
    } else if (strcmp(member, "GetCalls") == 0) {
        DBusMessage *r = dbus_message_new_method_return(call);
        if (r != NULL)
            dbus_message_append_args(r, DBUS_TYPE_UINT32, &g.calls, DBUS_TYPE_INVALID);
        return r;
    } else if (strcmp(member, "Quit") == 0) {
        g.quit = 1;
    } else {
        return dbus_message_new_error_printf(call, DBUS_ERROR_UNKNOWN_METHOD, "No method %s",
                                             member);
    }
    if (!ok) {
        DBusMessage *r = dbus_message_new_error(call, DBUS_ERROR_INVALID_ARGS, err.message);
        dbus_error_free(&err);
        return r;
    }
    return dbus_message_new_method_return(call);
}

static DBusHandlerResult on_message(DBusConnection *conn, DBusMessage *msg, void *data)
{
    (void)data;
    if (dbus_message_get_type(msg) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char *path = dbus_message_get_path(msg);
    const char *iface = dbus_message_get_interface(msg);
    if (path == NULL || strcmp(path, OBJECT_PATH) != 0) {
        DBusMessage *r = dbus_message_new_error_printf(msg, DBUS_ERROR_UNKNOWN_OBJECT,
                                                       "No object at %s", path ? path : "");
        dbus_connection_send(conn, r, NULL);
        dbus_message_unref(r);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (iface != NULL && strcmp(iface, CONTROL_INTERFACE) == 0) {
        DBusMessage *r = answer_control(msg);
        dbus_connection_send(conn, r, NULL);
        dbus_message_unref(r);
    } else if (dbus_message_is_method_call(msg, DBUS_INTERFACE_PROPERTIES, "Get")) {
        send_or_hold(conn, answer_get(msg));
    } else {
        DBusMessage *r =
            dbus_message_new_error_printf(msg, DBUS_ERROR_UNKNOWN_METHOD, "No method %s.%s",
                                          iface ? iface : "", dbus_message_get_member(msg));
        dbus_connection_send(conn, r, NULL);
        dbus_message_unref(r);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

static int usage(void)
{
    fprintf(stderr,
            "usage: imagecontrold [--snr N] [--mode int|string|bare|empty|error|silent]\n"
            "                     [--delay MS] [--error NAME MESSAGE]\n"
            "Serves on the system bus (DBUS_SYSTEM_BUS_ADDRESS); prints \"ready\" once the\n"
            "name is owned.\n");
    return 2;
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--snr") == 0 && i + 1 < argc) {
            g.snr = (dbus_int32_t)strtol(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) {
            int m = parse_mode(argv[++i]);
            if (m < 0)
                return usage();
            g.mode = (enum mode)m;
        } else if (strcmp(argv[i], "--delay") == 0 && i + 1 < argc) {
            g.delay_ms = (unsigned)strtoul(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--error") == 0 && i + 2 < argc) {
            snprintf(g.error_name, sizeof g.error_name, "%s", argv[++i]);
            snprintf(g.error_message, sizeof g.error_message, "%s", argv[++i]);
        } else {
            return usage();
        }
    }

    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_bus_get(DBUS_BUS_SYSTEM, &err);
    if (conn == NULL) {
        fprintf(stderr, "imagecontrold: %s\n", err.message);
        dbus_error_free(&err);
        return 1;
    }
    int owned = dbus_bus_request_name(conn, SERVICE_NAME, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
    if (owned != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fprintf(stderr, "imagecontrold: cannot own %s: %s\n", SERVICE_NAME,
                dbus_error_is_set(&err) ? err.message : "taken");
        dbus_error_free(&err);
        return 1;
    }
    dbus_connection_add_filter(conn, on_message, NULL, NULL);
    printf("ready\n");
    fflush(stdout);

    while (!g.quit) {
        int timeout = -1;
        if (held_count > 0) {
            long long first = held[0].due_ms;
            for (int i = 1; i < held_count; ++i)
                if (held[i].due_ms < first)
                    first = held[i].due_ms;
            long long wait = first - now_ms();
            timeout = wait > 0 ? (int)wait : 0;
        }
        if (!dbus_connection_read_write_dispatch(conn, timeout))
            break; /* the bus went away */
        send_due(conn);
    }
    dbus_connection_flush(conn);
    for (int i = 0; i < held_count; ++i)
        dbus_message_unref(held[i].reply);
    dbus_connection_unref(conn);
    return 0;
}
