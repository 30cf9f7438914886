// _orvex_parameter: one parameter-library call per function, its GError reduced to the
// error code the application sees. Also the two helpers of the demonstration program.
#include "orvex_parameter.h"

#include "demo.h"
#include "log.h"

#include <syslog.h>

namespace
{

// The application name the module's handle is opened under.
constexpr const char *kAppName = "zent";

void store_code(int *error_code, int code)
{
    if (error_code != nullptr)
        *error_code = code;
}

// The outcome of one library call that reported `ok`, with `error` possibly set. A failure
// without an error object is still a failure: the caller gets `fallback_code`, never a
// success with an absent value.
int finish(gboolean ok, GError *error, int *error_code, int fallback_code)
{
    if (!ok)
        store_code(error_code, error != nullptr ? error->code : fallback_code);
    if (error != nullptr)
        g_error_free(error);
    return ok ? 1 : 0;
}

} // namespace

extern "C" ZENT_EXPORT struct _QLParameter *orvex_parameter_new(void)
{
    return ql_parameter_new(kAppName, nullptr);
}

extern "C" ZENT_EXPORT void orvex_parameter_free(struct _QLParameter *handle)
{
    if (handle != nullptr)
        ql_parameter_free(handle);
}

extern "C" ZENT_EXPORT int orvex_parameter_get(struct _QLParameter *handle, char *name,
                                               char **value, int *error_code)
{
    if (value == nullptr) {
        store_code(error_code, QL_PARAMETER_INVALID_ARG_ERROR);
        return 0;
    }
    *value = nullptr;
    GError *error = nullptr;
    gboolean ok = ql_parameter_get(handle, name, value, &error);
    if (ok && *value == nullptr)
        ok = FALSE; // "success" without a value is no read at all
    if (!ok && *value != nullptr) {
        g_free(*value);
        *value = nullptr;
    }
    return finish(ok, error, error_code, QL_PARAMETER_PARAM_GET_ERROR);
}

extern "C" ZENT_EXPORT int orvex_parameter_set(struct _QLParameter *handle, char *name, char *value,
                                               int *error_code, int sync)
{
    GError *error = nullptr;
    gboolean ok = ql_parameter_set(handle, name, value, sync, &error);
    return finish(ok, error, error_code, QL_PARAMETER_PARAM_SET_ERROR);
}

extern "C" ZENT_EXPORT void orvex_parameter_free_value(char **value)
{
    if (value == nullptr)
        return;
    g_free(*value);
    *value = nullptr;
}

void query(struct _QLParameter *handle, const char *name)
{
    char *value = nullptr;
    int code = 0;
    if (orvex_parameter_get(handle, const_cast<char *>(name), &value, &code)) {
        l_printf_file(__FILE__, LOG_DEBUG, "%s::%s\n", name, value);
        orvex_parameter_free_value(&value);
    } else {
        l_printf_file(__FILE__, LOG_DEBUG, "Failed to read '%s' due to error code %d\n", name,
                      code);
    }
}

void set(struct _QLParameter *handle, const char *name, const char *value)
{
    int code = 0;
    if (orvex_parameter_set(handle, const_cast<char *>(name), const_cast<char *>(value), &code,
                            1)) {
        l_printf_file(__FILE__, LOG_DEBUG, "Set '%s' to '%s'\n", name, value);
    } else {
        l_printf_file(__FILE__, LOG_DEBUG, "Failed to set '%s' due to error code %d\n", name, code);
    }
}
