/* The camera maker's parameter library: the current interface (ql_parameter_*) and the
 * older one (param_get, param_set, param_free), both over the camera's parameter store. */
#ifndef QLPARAMETER_H
#define QLPARAMETER_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct _QLParameter QLParameter;

/* Stand-in behaviour:
 * - one store for both interfaces: the file $ZENT_ROOT/var/lib/qlparameter/parameters,
 *   shared by every process and flock-locked (through "parameters.lock") while read or
 *   written. A missing store is seeded from the defaults file named by the environment
 *   variable QLPARAMETER_DEFAULTS, else from the source tree's sim/qlparameter/defaults.conf;
 * - names are full dotted names; one without the "root." prefix means the same parameter
 *   with it, on both interfaces. A name must be non-empty, have no empty dotted part and
 *   hold no '=', newline or carriage return (else QL_PARAMETER_INVALID_ARG_ERROR);
 * - a set of an unknown name creates it (the application's "root.stereo." settings come
 *   into being that way);
 * - a get of a missing name fails with QL_PARAMETER_PARAM_GET_ERROR;
 * - NULL handle, name, value or value pointer: QL_PARAMETER_INVALID_ARG_ERROR;
 * - file trouble: QL_PARAMETER_FILE_FD_ERROR (lock file), _FILE_LOCK_ERROR, _FILE_OPEN_ERROR
 *   (store or defaults unreadable), _FILE_FORMAT_ERROR (damaged store or defaults),
 *   _FILE_CREATE_ERROR, _FILE_WRITE_ERROR, _FILE_LINK_ERROR (rename), _PARAM_SYNC_ERROR;
 * - with the environment variable QLPARAMETER_FAIL_NEW set (not "0"), ql_parameter_new
 *   fails with QL_PARAMETER_DBUS_SETUP_ERROR, as when the camera's service is unreachable. */

typedef enum {
    QL_PARAMETER_INVALID_ARG_ERROR,
    QL_PARAMETER_FILE_FD_ERROR,
    QL_PARAMETER_FILE_LOCK_ERROR,
    QL_PARAMETER_FILE_OPEN_ERROR,
    QL_PARAMETER_FILE_FORMAT_ERROR,
    QL_PARAMETER_FILE_CREATE_ERROR,
    QL_PARAMETER_FILE_WRITE_ERROR,
    QL_PARAMETER_FILE_LINK_ERROR,
    QL_PARAMETER_PARAM_LIST_ERROR,
    QL_PARAMETER_PARAM_GET_ERROR,
    QL_PARAMETER_PARAM_PATH_ERROR,
    QL_PARAMETER_PARAM_SYNC_ERROR,
    QL_PARAMETER_PARAM_EXIST_ERROR,
    QL_PARAMETER_PARAM_ADDED_ERROR,
    QL_PARAMETER_PARAM_READ_GROUP_ERROR,
    QL_PARAMETER_PARAM_SET_ERROR,
    QL_PARAMETER_DBUS_SETUP_ERROR
} QLParameterErrorCode;

#define QL_PARAMETER_ERROR (ql_parameter_error_quark())
GQuark ql_parameter_error_quark(void);

/* Returns a handle, or NULL with *error set (also when the store cannot be seeded). */
QLParameter *ql_parameter_new(const gchar *app_name, GError **error);
/* TRUE with *value newly allocated (release with g_free), or FALSE with *error set. The
 * handle's own writes not yet committed are visible to it, and to no one else. */
gboolean ql_parameter_get(QLParameter *handle, const gchar *name, gchar **value, GError **error);
/* Writes without sync are held until a write with sync commits the whole group at once:
 * read-modify-write under the exclusive lock, the file replaced atomically (temporary file,
 * fsync, rename, fsync of the directory). A failed commit keeps the group in the handle for
 * the next synced write; ql_parameter_free drops writes never committed. */
gboolean ql_parameter_set(QLParameter *handle, const gchar *name, const gchar *value, gboolean sync,
                          GError **error);
void ql_parameter_free(QLParameter *handle);

/* Older interface: names with or without the "root." prefix. 0 is success, -1 failure
 * (the value pointer is then untouched). param_set commits at once, whatever its third
 * argument. */
int param_get(const char *name, char **value);
int param_set(const char *name, const char *value, int sync);
void param_free(char *value);

G_END_DECLS

#endif
