// Camera parameters as the launcher uses them, through the maker's parameter library.
#include "parameter.h"

#include <cstdlib>
#include <optional>
#include <syslog.h>

#include "export.h"

extern "C" {
ZENT_EXPORT QLParameter *qlparam = nullptr;
ZENT_EXPORT GError *qlerror = nullptr;
}

// The proxy password is a secret: logs show that it is set, never its value.
static const char *loggable(const char *name, const char *value)
{
    if (g_strcmp0(name, "root.Tallyo.ProxyPassword") == 0 && value != nullptr && value[0] != '\0')
        return "*****";
    return value != nullptr ? value : "";
}

static const char *error_message(const GError *e)
{
    return e != nullptr ? e->message : "";
}
static int error_code(const GError *e)
{
    return e != nullptr ? e->code : 0;
}

extern "C" ZENT_EXPORT int init_param(void)
{
    g_clear_error(&qlerror);
    qlparam = ql_parameter_new("tallyo", &qlerror);
    if (qlparam == nullptr)
        syslog(LOG_ERR, "Could not initiate qlparameter: %s (%d)", error_message(qlerror),
               error_code(qlerror));
    return 0;
}

extern "C" ZENT_EXPORT int cleanup_param(void)
{
    if (qlparam != nullptr) {
        ql_parameter_free(qlparam);
        qlparam = nullptr;
    }
    g_clear_error(&qlerror);
    return 0;
}

extern "C" ZENT_EXPORT int get_param(const char *name, char **value)
{
    gchar *got = nullptr;
    g_clear_error(&qlerror);
    if (qlparam == nullptr || !ql_parameter_get(qlparam, name, &got, &qlerror)) {
        if (qlparam == nullptr && qlerror == nullptr)
            g_set_error_literal(&qlerror, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                                "no parameter handle");
        syslog(LOG_ERR, "Error when trying to get parameter: %s (%d)", error_message(qlerror),
               error_code(qlerror));
        g_clear_error(&qlerror);
        g_free(got);
        return -1;
    }
    syslog(LOG_DEBUG, "Got value %s for parameter %s", loggable(name, got), name);
    if (value != nullptr)
        *value = got;
    else
        g_free(got);
    return 0;
}

extern "C" ZENT_EXPORT int set_param(const char *name, const char *value, int sync)
{
    if (value == nullptr)
        value = "";
    syslog(LOG_DEBUG, "Setting '%s' to '%s' Sync: %d", name, loggable(name, value), sync);
    g_clear_error(&qlerror);
    if (qlparam == nullptr || !ql_parameter_set(qlparam, name, value, sync != 0, &qlerror)) {
        if (qlparam == nullptr && qlerror == nullptr)
            g_set_error_literal(&qlerror, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                                "no parameter handle");
        syslog(LOG_ERR, "Could not set parameter: %s (%d)", error_message(qlerror),
               error_code(qlerror));
        g_clear_error(&qlerror);
        return -1;
    }
    return 0;
}

// Reads a sensor's SlaveTo number without logging; nothing when it cannot be read.
static std::optional<long> read_slave_to(const char *name)
{
    if (qlparam == nullptr)
        return std::nullopt;
    gchar *value = nullptr;
    GError *error = nullptr;
    if (!ql_parameter_get(qlparam, name, &value, &error)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    long n = std::strtol(value != nullptr ? value : "", nullptr, 10);
    g_free(value);
    return n;
}

extern "C" ZENT_EXPORT int set_exposure_params(void)
{
    std::optional<long> s0 = read_slave_to("root.ImageSource.I0.Sensor.SlaveTo");
    std::optional<long> s1 = read_slave_to("root.ImageSource.I1.Sensor.SlaveTo");
    // Either sensor already following the other is a pairing that stays as it is.
    bool paired = (s0 == 1L && (s1 == -1L || !s1)) || (s1 == 0L && (s0 == -1L || !s0));
    if (!paired) {
        set_param("root.ImageSource.I0.Sensor.SlaveTo", "-1", 0);
        set_param("root.ImageSource.I1.Sensor.SlaveTo", "0", 0);
    }
    set_param("root.ImageSource.I0.Sensor.MaxExposureTime", "40000", 0);
    set_param("root.ImageSource.I1.Sensor.MaxExposureTime", "40000", 1);
    return 0;
}
