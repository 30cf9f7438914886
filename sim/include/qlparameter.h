/* The camera maker's parameter library: the current interface (ql_parameter_*) and the
 * older one (param_get, param_set, param_free), both over the camera's parameter store. */
#ifndef QLPARAMETER_H
#define QLPARAMETER_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct _QLParameter QLParameter;

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

/* Returns a handle, or NULL with *error set. */
QLParameter *ql_parameter_new(const gchar *app_name, GError **error);
/* TRUE with *value newly allocated (release with g_free), or FALSE with *error set. */
gboolean ql_parameter_get(QLParameter *handle, const gchar *name, gchar **value, GError **error);
/* Writes without sync are held until a write with sync commits the whole group at once. */
gboolean ql_parameter_set(QLParameter *handle, const gchar *name, const gchar *value,
                          gboolean sync, GError **error);
void ql_parameter_free(QLParameter *handle);

/* Older interface: names with or without the "root." prefix. 0 is success. */
int param_get(const char *name, char **value);
int param_set(const char *name, const char *value, int sync);
void param_free(char *value);

G_END_DECLS

#endif
