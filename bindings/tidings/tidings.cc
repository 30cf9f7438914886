// _tidings: subscribes to the event library's port events, keeps the port states as bits of
// one word under a mutex, and lets readers take the word at once or after the next event.
#include "tidings.h"

#include <qlevent.h>

#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace
{

constexpr int kPorts = 4;

// The word and what readers wait on. `generation` counts port events and clean-ups, so a
// reader tells a real wake-up from a spurious one; `subscribed` lets a reader with nothing
// to wait on return at once.
pthread_mutex_t event_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t event_occured_cond = PTHREAD_COND_INITIALIZER;
unsigned status = 0;
int last_status = -1;
unsigned long generation = 0;
bool subscribed = false;

// The subscription itself, set up and torn down by the management calls, one at a time.
std::mutex g_manage;
GMainLoop *main_loop = nullptr;
pthread_t event_thread;
QLEventHandler *event_handler = nullptr;

void on_port_event(guint, QLEvent *event, gpointer)
{
    QLEventKeyValueSet *set = ql_event_get_key_value_set(event);
    gint port = -1;
    gboolean state = FALSE;
    // An event whose port or state cannot be read carries no port state: it is dropped.
    bool readable = set != nullptr &&
                    ql_event_key_value_set_get_integer(set, "port", nullptr, &port, nullptr) &&
                    ql_event_key_value_set_get_boolean(set, "state", nullptr, &state, nullptr) &&
                    port >= 0;
    pthread_mutex_lock(&event_mutex);
    if (readable) {
        unsigned bit = 1u << (static_cast<unsigned>(port) % 32u);
        if (state)
            status |= bit;
        else
            status &= ~bit;
        ++generation;
    }
    ql_event_free(event);
    pthread_mutex_unlock(&event_mutex);
    if (readable)
        pthread_cond_broadcast(&event_occured_cond);
}

void *run_loop(void *loop)
{
    g_main_loop_run(static_cast<GMainLoop *>(loop));
    return nullptr;
}

gboolean quit_loop(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

// Freeing the handler ends its subscriptions, so their ids are not kept.
bool subscribe_port(QLEventHandler *handler, int port)
{
    guint id;
    QLEventKeyValueSet *set = ql_event_key_value_set_new();
    if (set == nullptr)
        return false;
    gint value = port;
    bool ok = ql_event_key_value_set_add_key_values(
                  set, nullptr, "topic0", "tns1", "Device", QL_EVENT_VALUE_TYPE_STRING, "topic1",
                  "tnsorvex", "IO", QL_EVENT_VALUE_TYPE_STRING, "topic2", "tnsorvex", "Port",
                  QL_EVENT_VALUE_TYPE_STRING, "port", nullptr, &value, QL_EVENT_VALUE_TYPE_INT,
                  "state", nullptr, nullptr, QL_EVENT_VALUE_TYPE_BOOL, nullptr) &&
              ql_event_handler_subscribe(handler, set, &id, on_port_event, nullptr, nullptr);
    ql_event_key_value_set_free(set);
    return ok;
}

void set_subscribed(bool on)
{
    pthread_mutex_lock(&event_mutex);
    subscribed = on;
    if (!on)
        ++generation;
    pthread_mutex_unlock(&event_mutex);
    if (!on)
        pthread_cond_broadcast(&event_occured_cond);
}

} // namespace

extern "C" ZENT_EXPORT int event_subscriber_init(void)
{
    std::lock_guard<std::mutex> manage(g_manage);
    if (main_loop != nullptr)
        return 0; // a second loop and thread would fight over the default context
    pthread_mutex_lock(&event_mutex);
    status = 0;
    last_status = -1;
    pthread_mutex_unlock(&event_mutex);

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    QLEventHandler *handler = ql_event_handler_new();
    bool ok = handler != nullptr;
    for (int port = 0; ok && port < kPorts; ++port)
        ok = subscribe_port(handler, port);
    if (ok) {
        set_subscribed(true);
        ok = pthread_create(&event_thread, nullptr, run_loop, loop) == 0;
        if (!ok)
            set_subscribed(false);
    }
    if (!ok) {
        ql_event_handler_free(handler);
        g_main_loop_unref(loop);
        return -1;
    }
    main_loop = loop;
    event_handler = handler;
    return 0;
}

extern "C" ZENT_EXPORT int event_subscriber_cleanup(void)
{
    std::lock_guard<std::mutex> manage(g_manage);
    if (main_loop == nullptr)
        return 0;
    // The quit goes through the default context itself: a quit made before the thread has
    // entered the loop would be forgotten when the loop starts, and the join would hang.
    GSource *quit = g_idle_source_new();
    g_source_set_priority(quit, G_PRIORITY_HIGH);
    g_source_set_callback(quit, quit_loop, g_main_loop_ref(main_loop),
                          reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    g_source_attach(quit, g_main_context_default());
    pthread_join(event_thread, nullptr);
    g_source_destroy(quit);
    g_source_unref(quit);
    g_main_loop_unref(main_loop);
    main_loop = nullptr;

    set_subscribed(false);
    ql_event_handler_free(event_handler);
    event_handler = nullptr;
    sleep(1);
    return 0;
}

extern "C" ZENT_EXPORT int pop_states(void)
{
    pthread_mutex_lock(&event_mutex);
    int word = static_cast<int>(status);
    pthread_mutex_unlock(&event_mutex);
    return word;
}

extern "C" ZENT_EXPORT int pop_states_block(void)
{
    pthread_mutex_lock(&event_mutex);
    if (subscribed && static_cast<int>(status) == last_status) {
        unsigned long seen = generation;
        while (subscribed && generation == seen)
            pthread_cond_wait(&event_occured_cond, &event_mutex);
    }
    int word = static_cast<int>(status);
    last_status = word;
    pthread_mutex_unlock(&event_mutex);
    return word;
}
