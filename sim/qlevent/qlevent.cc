// Stand-in for the camera's event library: key-value filters, subscriptions served on the
// default main context, a datagram socket under the camera root for events from other
// processes, and the older declare-and-send calls with a record of every call.
#include "qlevent.h"
#include "qlevent_control.h"

#include "wire.h"
#include "zent_root.h"

#include <glib-unix.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#define QLEVENT_API extern "C" __attribute__((visibility("default")))

struct _QLEventKeyValueSet {
    std::vector<qlevent_wire::Entry> entries;
};

struct _QLEvent {
    _QLEventKeyValueSet set;
};

// Handlers are told apart by address only.
struct _QLEventHandler {
};

namespace
{

using qlevent_wire::Entry;

struct Subscription {
    QLEventHandler *owner;
    std::vector<Entry> filter;
    QLEventSubscriptionCallback callback;
    gpointer user_data;
};

struct Pending {
    guint subscription;
    QLEvent *event;
};

struct OldHandler {
    unsigned number;
    std::string name;
};

struct Declared {
    OldHandler *handler;
    std::string name;
};

std::mutex g_lock;
std::map<guint, Subscription> g_subs;
std::vector<QLEventHandler *> g_handlers;
guint g_next_sub = 1;
std::deque<Pending> g_queue;
int g_in_callback = 0; // taken off the queue, callback not yet returned
bool g_dispatch_attached = false;

// The listening socket, open while a handler exists.
int g_sock = -1;
int g_dir_fd = -1;
guint g_watch = 0;
std::string g_sock_name;
std::string g_subs_name;

std::vector<OldHandler *> g_old_handlers;
std::map<int, Declared> g_declared;
int g_next_event = 1;
unsigned g_next_old_handler = 1;
std::string g_calls;

bool g_fail_override_set = false;
std::string g_fail_override;

bool should_fail(const char *call)
{
    std::string list;
    bool overridden;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        overridden = g_fail_override_set;
        if (overridden)
            list = g_fail_override;
    }
    if (!overridden) {
        const char *env = std::getenv("QLEVENT_FAIL");
        list = env != nullptr ? env : "";
    }
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        if (list.compare(start, end - start, call) == 0 && std::strlen(call) == end - start)
            return true;
        start = end + 1;
    }
    return false;
}

int copy_out(const std::string &text, char *buf, int size)
{
    if (buf != nullptr && size > 0) {
        std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

std::string run_dir()
{
    if (zent_root().empty())
        return {};
    return zent_path("/run/qlevent");
}

// A line per live subscription: its id and its filter; called with g_lock held.
std::string subscriptions_text_locked()
{
    std::string text;
    for (const auto &[id, sub] : g_subs)
        text += std::to_string(id) + " " + qlevent_wire::format(sub.filter, true) + "\n";
    return text;
}

// Rewrites <pid>.subs; called with g_lock held.
void write_subs_file_locked()
{
    if (g_dir_fd < 0)
        return;
    const std::string text = subscriptions_text_locked();
    std::string tmp = g_subs_name + ".tmp";
    int fd = openat(g_dir_fd, tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (ok)
        renameat(g_dir_fd, tmp.c_str(), g_dir_fd, g_subs_name.c_str());
    else
        unlinkat(g_dir_fd, tmp.c_str(), 0);
}

void append_call_file(const std::string &line)
{
    std::string dir = run_dir();
    if (dir.empty())
        return;
    g_mkdir_with_parents(dir.c_str(), 0755);
    std::string path = dir + "/calls.log";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string rec = std::to_string(getpid()) + " " + line + "\n";
    ssize_t w = write(fd, rec.data(), rec.size());
    (void)w;
    close(fd);
}

void record_call(const std::string &line)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_calls += line + "\n";
    }
    append_call_file(line);
}

bool entry_matches(const Entry &want, const Entry &have)
{
    if (want.key != have.key || want.name_space != have.name_space || want.type != have.type)
        return false;
    if (!want.has_value)
        return true;
    return qlevent_wire::same_value(want, have);
}

bool filter_matches(const std::vector<Entry> &filter, const std::vector<Entry> &event)
{
    for (const Entry &f : filter) {
        bool found = std::any_of(event.begin(), event.end(), [&](const Entry &e) {
            return e.has_value && entry_matches(f, e);
        });
        if (!found)
            return false;
    }
    return true;
}

gboolean dispatch_one(gpointer)
{
    QLEvent *event = nullptr;
    guint id = 0;
    QLEventSubscriptionCallback callback = nullptr;
    gpointer user_data = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        while (!g_queue.empty() && callback == nullptr) {
            Pending p = g_queue.front();
            g_queue.pop_front();
            auto it = g_subs.find(p.subscription);
            if (it == g_subs.end()) {
                delete p.event;
                continue;
            }
            event = p.event;
            id = p.subscription;
            callback = it->second.callback;
            user_data = it->second.user_data;
        }
        if (callback == nullptr) {
            g_dispatch_attached = false;
            return G_SOURCE_REMOVE;
        }
        ++g_in_callback;
    }
    callback(id, event, user_data);
    std::lock_guard<std::mutex> lock(g_lock);
    --g_in_callback;
    return G_SOURCE_CONTINUE;
}

// Queues a copy of the event for every matching subscription; called with g_lock held.
int deliver_locked(const std::vector<Entry> &entries)
{
    int matched = 0;
    for (const auto &[id, sub] : g_subs) {
        if (!filter_matches(sub.filter, entries))
            continue;
        auto *event = new QLEvent;
        event->set.entries = entries;
        g_queue.push_back(Pending{id, event});
        ++matched;
    }
    if (matched > 0 && !g_dispatch_attached) {
        GSource *source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(source, dispatch_one, nullptr, nullptr);
        g_source_attach(source, g_main_context_default());
        g_source_unref(source);
        g_dispatch_attached = true;
    }
    return matched;
}

int deliver_text(const char *text)
{
    std::vector<Entry> entries;
    if (!qlevent_wire::parse(text, entries))
        return -1;
    std::lock_guard<std::mutex> lock(g_lock);
    return deliver_locked(entries);
}

gboolean on_socket(gint fd, GIOCondition, gpointer)
{
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
        if (n < 0)
            break;
        buf[n] = '\0';
        deliver_text(buf);
    }
    return G_SOURCE_CONTINUE;
}

// Opens <root>/run/qlevent/<pid>.sock; called with g_lock held when the first handler is made.
void open_socket_locked()
{
    std::string dir = run_dir();
    if (dir.empty())
        return;
    g_mkdir_with_parents(dir.c_str(), 0755);
    g_dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_dir_fd < 0)
        return;
    g_sock_name = std::to_string(getpid()) + ".sock";
    g_subs_name = std::to_string(getpid()) + ".subs";
    g_sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (g_sock < 0)
        return;
    unlinkat(g_dir_fd, g_sock_name.c_str(), 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // Camera roots of tests are deep: reach the socket through the directory descriptor,
    // which keeps the address short whatever the root's length.
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", g_dir_fd,
                  g_sock_name.c_str());
    if (bind(g_sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(g_sock);
        g_sock = -1;
        return;
    }
    g_watch = g_unix_fd_add(g_sock, G_IO_IN, on_socket, nullptr);
    write_subs_file_locked();
}

void close_socket_locked()
{
    if (g_watch != 0) {
        GSource *source = g_main_context_find_source_by_id(g_main_context_default(), g_watch);
        if (source != nullptr)
            g_source_destroy(source);
        g_watch = 0;
    }
    if (g_sock >= 0) {
        close(g_sock);
        g_sock = -1;
    }
    if (g_dir_fd >= 0) {
        unlinkat(g_dir_fd, g_sock_name.c_str(), 0);
        unlinkat(g_dir_fd, g_subs_name.c_str(), 0);
        close(g_dir_fd);
        g_dir_fd = -1;
    }
}

const Entry *find_entry(QLEventKeyValueSet *set, const gchar *key, const gchar *name_space,
                        QLEventValueType type, GError **error)
{
    if (set == nullptr || key == nullptr) {
        g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_INVALID_ARG, "no set or no key");
        return nullptr;
    }
    std::optional<std::string> ns;
    if (name_space != nullptr)
        ns = name_space;
    for (const Entry &e : set->entries) {
        if (e.key != key || e.name_space != ns)
            continue;
        if (!e.has_value)
            break;
        if (e.type != type) {
            g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_TYPE_MISMATCH,
                        "'%s' is not of the type asked for", key);
            return nullptr;
        }
        return &e;
    }
    g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_NOT_FOUND, "no value for '%s'", key);
    return nullptr;
}

// A call told to fail reports it through `error`.
bool fails_on_request(const char *call, GError **error)
{
    if (!should_fail(call))
        return false;
    g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_FAILED, "%s failed on request", call);
    return true;
}

OldHandler *find_old_handler_locked(void *handler)
{
    auto it =
        std::find(g_old_handlers.begin(), g_old_handlers.end(), static_cast<OldHandler *>(handler));
    return it != g_old_handlers.end() ? *it : nullptr;
}

} // namespace

QLEVENT_API GQuark ql_event_error_quark(void)
{
    return g_quark_from_static_string("ql-event-error-quark");
}

QLEVENT_API QLEventHandler *ql_event_handler_new(void)
{
    if (should_fail("ql_event_handler_new"))
        return nullptr;
    auto *handler = new QLEventHandler;
    std::lock_guard<std::mutex> lock(g_lock);
    g_handlers.push_back(handler);
    if (g_handlers.size() == 1)
        open_socket_locked();
    return handler;
}

QLEVENT_API void ql_event_handler_free(QLEventHandler *handler)
{
    if (handler == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = std::find(g_handlers.begin(), g_handlers.end(), handler);
    if (it == g_handlers.end())
        return;
    g_handlers.erase(it);
    for (auto s = g_subs.begin(); s != g_subs.end();) {
        if (s->second.owner == handler)
            s = g_subs.erase(s);
        else
            ++s;
    }
    // Events still queued for the ended subscriptions go with them.
    std::erase_if(g_queue, [](const Pending &p) {
        if (g_subs.count(p.subscription) != 0)
            return false;
        delete p.event;
        return true;
    });
    write_subs_file_locked();
    if (g_handlers.empty())
        close_socket_locked();
    delete handler;
}

QLEVENT_API QLEventKeyValueSet *ql_event_key_value_set_new(void)
{
    return new QLEventKeyValueSet;
}

QLEVENT_API void ql_event_key_value_set_free(QLEventKeyValueSet *set)
{
    delete set;
}

QLEVENT_API gboolean ql_event_key_value_set_add_key_values(QLEventKeyValueSet *set, GError **error,
                                                           ...)
{
    if (fails_on_request("ql_event_key_value_set_add_key_values", error))
        return FALSE;
    if (set == nullptr) {
        g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_INVALID_ARG, "no set");
        return FALSE;
    }
    std::vector<Entry> added;
    va_list ap;
    va_start(ap, error);
    bool ok = true;
    for (;;) {
        const char *key = va_arg(ap, const char *);
        if (key == nullptr)
            break;
        const char *ns = va_arg(ap, const char *);
        const void *value = va_arg(ap, const void *);
        int type = va_arg(ap, int);
        Entry e;
        e.key = key;
        if (ns != nullptr)
            e.name_space = ns;
        if (type < QL_EVENT_VALUE_TYPE_INT || type > QL_EVENT_VALUE_TYPE_STRING) {
            g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_INVALID_ARG,
                        "unknown type %d for '%s'", type, key);
            ok = false;
            break;
        }
        e.type = static_cast<QLEventValueType>(type);
        e.has_value = value != nullptr;
        if (value != nullptr) {
            switch (e.type) {
            case QL_EVENT_VALUE_TYPE_INT:
                e.i = *static_cast<const gint *>(value);
                break;
            case QL_EVENT_VALUE_TYPE_BOOL:
                e.b = *static_cast<const gboolean *>(value) != FALSE;
                break;
            case QL_EVENT_VALUE_TYPE_DOUBLE:
                e.d = *static_cast<const gdouble *>(value);
                break;
            case QL_EVENT_VALUE_TYPE_STRING:
                e.s = static_cast<const char *>(value);
                break;
            }
        }
        auto same_key = [&](const Entry &o) {
            return o.key == e.key && o.name_space == e.name_space;
        };
        if (std::any_of(set->entries.begin(), set->entries.end(), same_key) ||
            std::any_of(added.begin(), added.end(), same_key)) {
            g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_INVALID_ARG, "'%s' given twice", key);
            ok = false;
            break;
        }
        added.push_back(std::move(e));
    }
    va_end(ap);
    if (!ok)
        return FALSE;
    set->entries.insert(set->entries.end(), added.begin(), added.end());
    return TRUE;
}

QLEVENT_API gboolean ql_event_key_value_set_get_integer(QLEventKeyValueSet *set, const gchar *key,
                                                        const gchar *name_space, gint *value,
                                                        GError **error)
{
    if (fails_on_request("ql_event_key_value_set_get_integer", error))
        return FALSE;
    const Entry *e = find_entry(set, key, name_space, QL_EVENT_VALUE_TYPE_INT, error);
    if (e == nullptr)
        return FALSE;
    if (value != nullptr)
        *value = e->i;
    return TRUE;
}

QLEVENT_API gboolean ql_event_key_value_set_get_boolean(QLEventKeyValueSet *set, const gchar *key,
                                                        const gchar *name_space, gboolean *value,
                                                        GError **error)
{
    if (fails_on_request("ql_event_key_value_set_get_boolean", error))
        return FALSE;
    const Entry *e = find_entry(set, key, name_space, QL_EVENT_VALUE_TYPE_BOOL, error);
    if (e == nullptr)
        return FALSE;
    if (value != nullptr)
        *value = e->b ? TRUE : FALSE;
    return TRUE;
}

QLEVENT_API gboolean ql_event_key_value_set_get_double(QLEventKeyValueSet *set, const gchar *key,
                                                       const gchar *name_space, gdouble *value,
                                                       GError **error)
{
    const Entry *e = find_entry(set, key, name_space, QL_EVENT_VALUE_TYPE_DOUBLE, error);
    if (e == nullptr)
        return FALSE;
    if (value != nullptr)
        *value = e->d;
    return TRUE;
}

QLEVENT_API gboolean ql_event_key_value_set_get_string(QLEventKeyValueSet *set, const gchar *key,
                                                       const gchar *name_space, gchar **value,
                                                       GError **error)
{
    const Entry *e = find_entry(set, key, name_space, QL_EVENT_VALUE_TYPE_STRING, error);
    if (e == nullptr)
        return FALSE;
    if (value != nullptr)
        *value = g_strdup(e->s.c_str());
    return TRUE;
}

QLEVENT_API gboolean ql_event_handler_subscribe(QLEventHandler *handler, QLEventKeyValueSet *set,
                                                guint *subscription,
                                                QLEventSubscriptionCallback callback,
                                                gpointer user_data, GError **error)
{
    if (fails_on_request("ql_event_handler_subscribe", error))
        return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    if (handler == nullptr || set == nullptr || callback == nullptr ||
        std::find(g_handlers.begin(), g_handlers.end(), handler) == g_handlers.end()) {
        g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_INVALID_ARG,
                    "no live handler, set or callback");
        return FALSE;
    }
    guint id = g_next_sub++;
    g_subs.emplace(id, Subscription{handler, set->entries, callback, user_data});
    if (subscription != nullptr)
        *subscription = id;
    write_subs_file_locked();
    return TRUE;
}

QLEVENT_API gboolean ql_event_handler_unsubscribe(QLEventHandler *handler, guint subscription,
                                                  GError **error)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_subs.find(subscription);
    if (it == g_subs.end() || it->second.owner != handler) {
        g_set_error(error, QL_EVENT_ERROR, QL_EVENT_ERROR_NOT_FOUND,
                    "no subscription %u on this handler", subscription);
        return FALSE;
    }
    g_subs.erase(it);
    write_subs_file_locked();
    return TRUE;
}

QLEVENT_API QLEventKeyValueSet *ql_event_get_key_value_set(QLEvent *event)
{
    return event != nullptr ? &event->set : nullptr;
}

QLEVENT_API void ql_event_free(QLEvent *event)
{
    delete event;
}

// ---- older calls ----

QLEVENT_API void *event_handler_init(const char *name, int flags)
{
    OldHandler *handler = nullptr;
    std::string result = "NULL";
    if (name != nullptr && !should_fail("event_handler_init")) {
        std::lock_guard<std::mutex> lock(g_lock);
        handler = new OldHandler{g_next_old_handler++, name};
        g_old_handlers.push_back(handler);
        result = std::to_string(handler->number);
    }
    record_call(std::string("event_handler_init ") + (name != nullptr ? name : "(null)") + " " +
                std::to_string(flags) + " -> " + result);
    return handler;
}

QLEVENT_API int event_add(void *handler, const char *name, int flags)
{
    int id = 0;
    std::string who = "unknown";
    bool fail = should_fail("event_add");
    {
        std::lock_guard<std::mutex> lock(g_lock);
        OldHandler *h = find_old_handler_locked(handler);
        if (h != nullptr)
            who = std::to_string(h->number);
        if (h != nullptr && name != nullptr && !fail) {
            id = g_next_event++;
            g_declared.emplace(id, Declared{h, name});
        }
    }
    record_call("event_add " + who + " " + (name != nullptr ? name : "(null)") + " " +
                std::to_string(flags) + " -> " + std::to_string(id));
    return id;
}

QLEVENT_API int event_send(int event_id, int kind, int flags)
{
    bool known;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        known = g_declared.count(event_id) != 0;
    }
    int result = (known && !should_fail("event_send")) ? 0 : -1;
    record_call("event_send " + std::to_string(event_id) + " " + std::to_string(kind) + " " +
                std::to_string(flags) + " -> " + std::to_string(result));
    return result;
}

QLEVENT_API void event_remove(int event_id)
{
    bool known;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        known = g_declared.erase(event_id) != 0;
    }
    record_call("event_remove " + std::to_string(event_id) + (known ? "" : " unknown"));
}

QLEVENT_API void event_handler_cleanup(void *handler)
{
    std::string line = "event_handler_cleanup ";
    {
        std::lock_guard<std::mutex> lock(g_lock);
        OldHandler *h = find_old_handler_locked(handler);
        if (h == nullptr) {
            line += "unknown";
        } else {
            line += std::to_string(h->number);
            // Events left declared under the handler end with it.
            std::size_t left =
                std::erase_if(g_declared, [h](const auto &kv) { return kv.second.handler == h; });
            if (left > 0)
                line += " with " + std::to_string(left) + " events declared";
            std::erase(g_old_handlers, h);
            delete h;
        }
    }
    record_call(line);
}

// ---- test control ----

QLEVENT_API int qlevent_sim_inject(const char *entries)
{
    return entries != nullptr ? deliver_text(entries) : -1;
}

QLEVENT_API int qlevent_sim_port_event(int port, int state)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return deliver_locked(qlevent_wire::port_event(port, state != 0));
}

QLEVENT_API int qlevent_sim_subscriptions(char *buf, int size)
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        text = subscriptions_text_locked();
    }
    return copy_out(text, buf, size);
}

QLEVENT_API int qlevent_sim_subscription_count(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return static_cast<int>(g_subs.size());
}

QLEVENT_API int qlevent_sim_pending(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return static_cast<int>(g_queue.size()) + g_in_callback;
}

QLEVENT_API int qlevent_sim_calls(char *buf, int size)
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        text = g_calls;
    }
    return copy_out(text, buf, size);
}

QLEVENT_API int qlevent_sim_declared(char *buf, int size)
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (const auto &[id, d] : g_declared)
            text +=
                std::to_string(id) + " " + std::to_string(d.handler->number) + " " + d.name + "\n";
    }
    return copy_out(text, buf, size);
}

QLEVENT_API void qlevent_sim_clear_calls(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_calls.clear();
}

QLEVENT_API void qlevent_sim_fail(const char *calls)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_fail_override_set = calls != nullptr;
    g_fail_override = calls != nullptr ? calls : "";
}
