// Stand-in for the camera's parameter library: one file-backed store shared by every
// process, behind both the handle interface and the older name-only calls.
#include "qlparameter.h"

#include "export.h"
#include "qlparameter_store.h"
#include "zent_root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct _QLParameter {
    std::string app_name;
    std::mutex mutex;
    // Writes made without sync, in order, waiting for the write that commits them.
    std::vector<std::pair<std::string, std::string>> pending;
};

namespace
{

bool env_flag(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

bool check_name(const gchar *name, GError **error)
{
    if (name == nullptr) {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                            "Parameter name is NULL");
        return false;
    }
    if (!qlstore::valid_name(qlstore::full_name(name))) {
        g_set_error(error, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                    "Invalid parameter name '%s'", name);
        return false;
    }
    return true;
}

// The older calls' trace and failure switches, read at each call so that a test can change
// them between calls: QLPARAMETER_LOG=<file> appends "param_get <name> ok|fail" and
// "param_set <name> <value> ok|fail" lines; QLPARAMETER_FAIL is a comma-separated list of
// "get:<name>", "set:<name>", "get:all" and "set:all".
void trace(const char *call, const char *name, const char *value, bool ok)
{
    const char *path = std::getenv("QLPARAMETER_LOG");
    if (path == nullptr || path[0] == '\0')
        return;
    std::FILE *f = std::fopen(path, "a");
    if (f == nullptr)
        return;
    if (value != nullptr)
        std::fprintf(f, "%s %s %s %s\n", call, name ? name : "(null)", value, ok ? "ok" : "fail");
    else
        std::fprintf(f, "%s %s %s\n", call, name ? name : "(null)", ok ? "ok" : "fail");
    std::fclose(f);
}

bool injected_failure(const char *op, const char *name)
{
    const char *switches = std::getenv("QLPARAMETER_FAIL");
    if (switches == nullptr || name == nullptr)
        return false;
    std::string all(switches);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(',', start);
        std::string item =
            all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string prefix = std::string(op) + ":";
        if (item.compare(0, prefix.size(), prefix) == 0) {
            std::string target = item.substr(prefix.size());
            if (target == "all" || qlstore::full_name(target) == qlstore::full_name(name))
                return true;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

} // namespace

extern "C" {

ZENT_EXPORT GQuark ql_parameter_error_quark(void)
{
    return g_quark_from_static_string("ql-parameter-error-quark");
}

ZENT_EXPORT QLParameter *ql_parameter_new(const gchar *app_name, GError **error)
{
    if (env_flag("QLPARAMETER_FAIL_NEW")) {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_DBUS_SETUP_ERROR,
                            "Could not connect to the parameter service");
        return nullptr;
    }
    if (app_name == nullptr || app_name[0] == '\0') {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                            "Application name is missing");
        return nullptr;
    }
    // Seed now, so that a store that cannot exist is reported to the opener.
    if (!qlstore::ensure_store(error))
        return nullptr;
    auto *handle = new (std::nothrow) QLParameter;
    if (handle == nullptr) {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_DBUS_SETUP_ERROR,
                            "Out of memory");
        return nullptr;
    }
    handle->app_name = app_name;
    return handle;
}

ZENT_EXPORT gboolean ql_parameter_get(QLParameter *handle, const gchar *name, gchar **value,
                                      GError **error)
{
    if (handle == nullptr || value == nullptr) {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                            handle == nullptr ? "Handle is NULL" : "Value pointer is NULL");
        return FALSE;
    }
    if (!check_name(name, error))
        return FALSE;
    std::string full = qlstore::full_name(name);
    {
        // The handle's own uncommitted writes are visible to it, to nobody else.
        std::lock_guard<std::mutex> lock(handle->mutex);
        for (auto it = handle->pending.rbegin(); it != handle->pending.rend(); ++it) {
            if (it->first == full) {
                *value = g_strdup(it->second.c_str());
                return TRUE;
            }
        }
    }
    qlstore::Table table;
    if (!qlstore::load(table, error))
        return FALSE;
    auto it = table.find(full);
    if (it == table.end()) {
        g_set_error(error, QL_PARAMETER_ERROR, QL_PARAMETER_PARAM_GET_ERROR,
                    "Parameter '%s' does not exist", name);
        return FALSE;
    }
    *value = g_strdup(it->second.c_str());
    return TRUE;
}

ZENT_EXPORT gboolean ql_parameter_set(QLParameter *handle, const gchar *name, const gchar *value,
                                      gboolean sync, GError **error)
{
    if (handle == nullptr || value == nullptr) {
        g_set_error_literal(error, QL_PARAMETER_ERROR, QL_PARAMETER_INVALID_ARG_ERROR,
                            handle == nullptr ? "Handle is NULL" : "Value is NULL");
        return FALSE;
    }
    if (!check_name(name, error))
        return FALSE;
    std::lock_guard<std::mutex> lock(handle->mutex);
    handle->pending.emplace_back(qlstore::full_name(name), value);
    if (!sync)
        return TRUE;
    if (!qlstore::commit(handle->pending, error)) {
        // Keep the group: the next write with sync tries to commit it again.
        return FALSE;
    }
    handle->pending.clear();
    return TRUE;
}

ZENT_EXPORT void ql_parameter_free(QLParameter *handle)
{
    // Uncommitted writes die with the handle, as they would with the service connection.
    delete handle;
}

static int legacy_get(const char *name, char **value)
{
    if (value == nullptr || !check_name(name, nullptr) || injected_failure("get", name))
        return -1;
    qlstore::Table table;
    if (!qlstore::load(table, nullptr))
        return -1;
    auto it = table.find(qlstore::full_name(name));
    if (it == table.end())
        return -1;
    *value = g_strdup(it->second.c_str());
    return 0;
}

ZENT_EXPORT int param_get(const char *name, char **value)
{
    int rc = legacy_get(name, value);
    trace("param_get", name, nullptr, rc == 0);
    return rc;
}

ZENT_EXPORT int param_set(const char *name, const char *value, int sync)
{
    // Every write commits at once, whatever the flag says: the older calls hold no group.
    (void)sync;
    int rc = -1;
    if (value != nullptr && check_name(name, nullptr) && !injected_failure("set", name)) {
        std::vector<std::pair<std::string, std::string>> one{{qlstore::full_name(name), value}};
        rc = qlstore::commit(one, nullptr) ? 0 : -1;
    }
    trace("param_set", name, value ? value : "(null)", rc == 0);
    return rc;
}

ZENT_EXPORT void param_free(char *value)
{
    g_free(value);
}

} // extern "C"
