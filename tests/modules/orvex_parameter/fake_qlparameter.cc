// Scripted stand-in for the parameter library, linked instead of the real stand-in so that
// the tests can produce answers no real store gives (failure without an error object).
#include "fake_qlparameter.h"

#include <qlparameter.h>

namespace fake_ql
{
namespace
{
Script g_script;
Seen g_seen;
int g_handle;
} // namespace

void script(const Script &s)
{
    g_script = s;
}
Seen &seen()
{
    return g_seen;
}
void reset()
{
    g_script = Script{};
    g_seen = Seen{};
}

} // namespace fake_ql

using namespace fake_ql;

extern "C" GQuark ql_parameter_error_quark(void)
{
    return g_quark_from_static_string("fake-ql-parameter-error-quark");
}

extern "C" QLParameter *ql_parameter_new(const gchar *app_name, GError **error)
{
    g_seen.app_name = app_name != nullptr ? app_name : "(null)";
    if (g_script.fail_new) {
        if (g_script.with_error)
            g_set_error(error, QL_PARAMETER_ERROR, g_script.code, "scripted failure");
        return nullptr;
    }
    return reinterpret_cast<QLParameter *>(&g_handle);
}

static gboolean answer(GError **error)
{
    g_seen.error_cell_given = error != nullptr;
    if (g_script.with_error)
        g_set_error(error, QL_PARAMETER_ERROR, g_script.code, "scripted error");
    return g_script.ok ? TRUE : FALSE;
}

extern "C" gboolean ql_parameter_get(QLParameter *, const gchar *name, gchar **value,
                                     GError **error)
{
    ++g_seen.gets;
    g_seen.name = name != nullptr ? name : "(null)";
    if (g_script.value != nullptr)
        *value = g_strdup(g_script.value);
    return answer(error);
}

extern "C" gboolean ql_parameter_set(QLParameter *, const gchar *name, const gchar *value,
                                     gboolean sync, GError **error)
{
    ++g_seen.sets;
    g_seen.name = name != nullptr ? name : "(null)";
    g_seen.value = value != nullptr ? value : "(null)";
    g_seen.sync = sync;
    return answer(error);
}

extern "C" void ql_parameter_free(QLParameter *)
{
    ++g_seen.frees;
}
