// _snr: one blocking Properties.Get call to the image-control service per query, its outcome
// kept as a sticky status and the last error's text.
#include "zent_dbus.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <cstring>

struct zent_dbus {
    zent_dbus_status status;
    DBusConnection *connection;
    char *error_text;
};

namespace
{

constexpr const char *kDestination = "com.orvex.ImageControl";
constexpr const char *kPath = "/com/orvex/ImageControl/0/0";
constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char *kPropertyInterface = "com.orvex.ImageControl.0.0";
constexpr const char *kProperty = "Snr";
constexpr int kTimeoutMs = 1000;

// A NULL object is one that was never opened.
constexpr const char *kUninitialized = "Uninitialized dbus object";

void set_error(zent_dbus *d, zent_dbus_status status, const char *text)
{
    char *copy = strdup(text != nullptr ? text : "");
    std::free(d->error_text);
    d->error_text = copy;
    d->status = status;
}

// The error's message as the new error text, then the error released.
void take_error(zent_dbus *d, zent_dbus_status status, DBusError *error, const char *fallback)
{
    set_error(d, status, dbus_error_is_set(error) ? error->message : fallback);
    dbus_error_free(error);
}

DBusConnection *system_bus(DBusError *error)
{
    DBusConnection *conn = dbus_bus_get(DBUS_BUS_SYSTEM, error);
    if (conn == nullptr)
        return nullptr;
    // The application lives on when the bus goes away.
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    // A shared connection cached from before a bus restart is noticed as dead only by
    // reading from it, and libdbus forgets it only once it has handed out every message it
    // still holds (the bus's greeting, its own disconnection). Then a second request
    // connects afresh.
    dbus_connection_read_write(conn, 0);
    if (dbus_connection_get_is_connected(conn))
        return conn;
    while (dbus_connection_dispatch(conn) == DBUS_DISPATCH_DATA_REMAINS) {
    }
    dbus_connection_unref(conn);
    conn = dbus_bus_get(DBUS_BUS_SYSTEM, error);
    if (conn != nullptr)
        dbus_connection_set_exit_on_disconnect(conn, FALSE);
    return conn;
}

} // namespace

extern "C" ZENT_EXPORT struct zent_dbus *zent_dbus_open(void)
{
    auto *d = static_cast<zent_dbus *>(std::calloc(1, sizeof(zent_dbus)));
    if (d == nullptr)
        return nullptr;
    DBusError error;
    dbus_error_init(&error);
    d->connection = system_bus(&error);
    if (dbus_error_is_set(&error)) {
        take_error(d, ZENT_DBUS_ERROR_CONNECT, &error, nullptr);
        if (d->connection != nullptr) {
            dbus_connection_unref(d->connection);
            d->connection = nullptr;
        }
    } else if (d->connection == nullptr) {
        set_error(d, ZENT_DBUS_ERROR_CONNECT, "Dbus connection is null");
    } else if (!dbus_connection_get_is_connected(d->connection)) {
        // Never report a dead connection as a good start.
        set_error(d, ZENT_DBUS_ERROR_CONNECT, "DBus connection is not open");
    } else {
        d->status = ZENT_DBUS_STATUS_OK;
    }
    return d;
}

extern "C" ZENT_EXPORT int zent_dbus_get_snr(struct zent_dbus *d)
{
    if (d == nullptr)
        return -1;
    if (d->connection == nullptr) {
        set_error(d, ZENT_DBUS_ERROR_INVAL, kUninitialized);
        return -1;
    }
    if (!dbus_connection_get_is_connected(d->connection)) {
        set_error(d, ZENT_DBUS_ERROR_NOCONN, "DBus connection is not open");
        return -1;
    }
    if (d->status != ZENT_DBUS_STATUS_OK)
        return -1;

    DBusMessage *call =
        dbus_message_new_method_call(kDestination, kPath, kPropertiesInterface, "Get");
    const char *iface = kPropertyInterface;
    const char *property = kProperty;
    if (call == nullptr ||
        !dbus_message_append_args(call, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &property,
                                  DBUS_TYPE_INVALID)) {
        if (call != nullptr)
            dbus_message_unref(call);
        set_error(d, ZENT_DBUS_ERROR_INTERNAL, "Failed to create method message");
        return -1;
    }

    DBusError error;
    dbus_error_init(&error);
    DBusMessage *reply =
        dbus_connection_send_with_reply_and_block(d->connection, call, kTimeoutMs, &error);
    dbus_message_unref(call);
    if (reply == nullptr) {
        take_error(d, ZENT_DBUS_ERROR_INTERNAL, &error, "No reply");
        return -1;
    }

    DBusMessageIter args, variant;
    if (!dbus_message_iter_init(reply, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_VARIANT) {
        dbus_set_error(&error, "reply_is_not_variant", "The reply does not contain a variant");
    } else {
        dbus_message_iter_recurse(&args, &variant);
        if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_INT32)
            dbus_set_error(&error, "Variant_not_int32",
                           "The variant in the reply is not of int32 type");
    }
    if (dbus_error_is_set(&error)) {
        dbus_message_unref(reply);
        take_error(d, ZENT_DBUS_ERROR_INTERNAL, &error, nullptr);
        return -1;
    }
    dbus_int32_t snr = 0;
    dbus_message_iter_get_basic(&variant, &snr);
    dbus_message_unref(reply);
    d->status = ZENT_DBUS_STATUS_OK;
    return snr;
}

extern "C" ZENT_EXPORT int zent_dbus_get_status(struct zent_dbus *d)
{
    return d != nullptr ? d->status : ZENT_DBUS_ERROR_INVAL;
}

extern "C" ZENT_EXPORT int zent_dbus_is_error(struct zent_dbus *d)
{
    return d == nullptr || d->status != ZENT_DBUS_STATUS_OK ? 1 : 0;
}

extern "C" ZENT_EXPORT const char *zent_dbus_get_error(struct zent_dbus *d)
{
    if (d == nullptr)
        return kUninitialized;
    return d->error_text != nullptr ? d->error_text : "";
}

extern "C" ZENT_EXPORT void zent_dbus_close(struct zent_dbus *d)
{
    if (d == nullptr)
        return;
    std::free(d->error_text);
    if (d->connection != nullptr)
        dbus_connection_unref(d->connection);
    std::free(d);
}
