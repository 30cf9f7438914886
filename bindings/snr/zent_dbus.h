/* _snr: the image sensor's signal-to-noise figure, read from the camera's image-control
 * service on the system bus, through a connection object with a sticky status. */
#ifndef ZENT_SNR_ZENT_DBUS_H
#define ZENT_SNR_ZENT_DBUS_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

struct zent_dbus;
#ifndef __cplusplus
/* The application's name for the object pointer (C only: C++ keeps the tag). */
typedef struct zent_dbus *zent_dbus;
#endif

typedef enum {
    ZENT_DBUS_STATUS_OK = 0,     /* connected, or the last query succeeded */
    ZENT_DBUS_ERROR_CONNECT = 1, /* the system bus was unreachable at open */
    ZENT_DBUS_ERROR_INVAL = 2,   /* a query on an object without a connection */
    ZENT_DBUS_ERROR_NOCONN = 3,  /* the connection is no longer open */
    ZENT_DBUS_ERROR_INTERNAL = 4 /* the call failed or its reply had the wrong form */
} zent_dbus_status;

/* Opens the shared system-bus connection. Never NULL unless memory runs out; a bus that
 * cannot be reached leaves status ZENT_DBUS_ERROR_CONNECT and the bus's message. Losing the
 * bus later never ends the process. */
ZENT_EXPORT struct zent_dbus *zent_dbus_open(void);

/* The "Snr" property (waits up to 1000 ms), or -1 with status and error text set. Once the
 * status is not OK, returns -1 without asking the service until the object is reopened. */
ZENT_EXPORT int zent_dbus_get_snr(struct zent_dbus *dbus);

/* The status (ZENT_DBUS_ERROR_INVAL for NULL). */
ZENT_EXPORT int zent_dbus_get_status(struct zent_dbus *dbus);

/* 1 when the status is not OK (also for NULL), else 0. */
ZENT_EXPORT int zent_dbus_is_error(struct zent_dbus *dbus);

/* The last error's message, "" when there is none; owned by the object. */
ZENT_EXPORT const char *zent_dbus_get_error(struct zent_dbus *dbus);

/* Releases the object; NULL is ignored. */
ZENT_EXPORT void zent_dbus_close(struct zent_dbus *dbus);

#ifdef __cplusplus
}
#endif

#endif
