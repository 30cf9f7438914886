// The event library stand-in: filter matching, entry validation, getters, delivery order on
// the default main context, subscriptions ended with their handler, the failure switches,
// the older calls' record, and events from the qlevent tool of another process.
#include <qlevent.h>
#include <qlevent_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace
{

struct Seen {
    guint subscription;
    int port;
    gboolean state;
    std::string topic2;
};

std::vector<Seen> g_seen;

void record(guint subscription, QLEvent *event, gpointer user_data)
{
    QLEventKeyValueSet *set = ql_event_get_key_value_set(event);
    Seen s{subscription, -1, -1, {}};
    ql_event_key_value_set_get_integer(set, "port", nullptr, &s.port, nullptr);
    ql_event_key_value_set_get_boolean(set, "state", nullptr, &s.state, nullptr);
    gchar *topic = nullptr;
    if (ql_event_key_value_set_get_string(set, "topic2", "tnsorvex", &topic, nullptr))
        s.topic2 = topic;
    g_free(topic);
    g_seen.push_back(s);
    if (user_data != nullptr)
        ++*static_cast<int *>(user_data);
    ql_event_free(event);
}

// Runs the default context until `n` events were seen or two seconds passed.
bool run_until(std::size_t n)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_seen.size() < n && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, FALSE);
    return g_seen.size() >= n;
}

void drain()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

QLEventKeyValueSet *port_filter(const int *port, const gboolean *state)
{
    QLEventKeyValueSet *set = ql_event_key_value_set_new();
    EXPECT_TRUE(ql_event_key_value_set_add_key_values(
        set, nullptr, "topic0", "tns1", "Device", QL_EVENT_VALUE_TYPE_STRING, "topic1", "tnsorvex",
        "IO", QL_EVENT_VALUE_TYPE_STRING, "topic2", "tnsorvex", "Port", QL_EVENT_VALUE_TYPE_STRING,
        "port", nullptr, port, QL_EVENT_VALUE_TYPE_INT, "state", nullptr, state,
        QL_EVENT_VALUE_TYPE_BOOL, nullptr));
    return set;
}

std::string text_of(int (*fn)(char *, int))
{
    int n = fn(nullptr, 0);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    fn(s.data(), n + 1);
    s.resize(static_cast<std::size_t>(n));
    return s;
}

class QlEvent : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_seen.clear();
        qlevent_sim_fail(nullptr);
        qlevent_sim_clear_calls();
        unsetenv("QLEVENT_FAIL");
        drain();
    }
    void TearDown() override
    {
        qlevent_sim_fail(nullptr);
        drain();
    }
};

TEST_F(QlEvent, PortFilterMatchesOnlyItsPortAndTopics)
{
    QLEventHandler *h = ql_event_handler_new();
    ASSERT_NE(h, nullptr);
    int port = 2;
    QLEventKeyValueSet *set = port_filter(&port, nullptr);
    guint id = 0;
    ASSERT_TRUE(ql_event_handler_subscribe(h, set, &id, record, nullptr, nullptr));
    ql_event_key_value_set_free(set); // the subscription keeps its own copy
    EXPECT_NE(id, 0u);
    EXPECT_EQ(text_of(qlevent_sim_subscriptions),
              std::to_string(id) +
                  " topic0@tns1=s:Device topic1@tnsorvex=s:IO topic2@tnsorvex=s:Port port=i:2 "
                  "state=b:*\n");

    EXPECT_EQ(qlevent_sim_port_event(2, 1), 1);
    EXPECT_EQ(qlevent_sim_port_event(3, 1), 0);
    EXPECT_EQ(qlevent_sim_inject("topic0@tns1=s:Device topic1@tnsorvex=s:IO "
                                 "topic2@tnsorvex=s:Other port=i:2 state=b:1"),
              0);
    // The state's type must match even though its value is open.
    EXPECT_EQ(qlevent_sim_inject("topic0@tns1=s:Device topic1@tnsorvex=s:IO "
                                 "topic2@tnsorvex=s:Port port=i:2 state=i:1"),
              0);
    // A namespace is part of the key.
    EXPECT_EQ(qlevent_sim_inject("topic0=s:Device topic1@tnsorvex=s:IO "
                                 "topic2@tnsorvex=s:Port port=i:2 state=b:0"),
              0);
    // Extra entries in the event do not matter.
    EXPECT_EQ(qlevent_sim_inject("topic0@tns1=s:Device topic1@tnsorvex=s:IO "
                                 "topic2@tnsorvex=s:Port port=i:2 state=b:0 extra=d:1.5"),
              1);
    ASSERT_TRUE(run_until(2));
    drain();
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].subscription, id);
    EXPECT_EQ(g_seen[0].port, 2);
    EXPECT_EQ(g_seen[0].state, TRUE);
    EXPECT_EQ(g_seen[0].topic2, "Port");
    EXPECT_EQ(g_seen[1].state, FALSE);
    ql_event_handler_free(h);
    EXPECT_EQ(qlevent_sim_subscription_count(), 0);
}

TEST_F(QlEvent, EventsArriveInOrderOnTheDefaultContextOnly)
{
    QLEventHandler *h = ql_event_handler_new();
    int calls = 0;
    guint ids[4];
    for (int p = 0; p < 4; ++p) {
        QLEventKeyValueSet *set = port_filter(&p, nullptr);
        ASSERT_TRUE(ql_event_handler_subscribe(h, set, &ids[p], record, &calls, nullptr));
        ql_event_key_value_set_free(set);
    }
    const int order[] = {3, 0, 2, 2, 1, 0, 3};
    for (int p : order)
        EXPECT_EQ(qlevent_sim_port_event(p, p % 2), 1);
    EXPECT_EQ(calls, 0); // nothing runs until the default context does
    EXPECT_EQ(qlevent_sim_pending(), 7);

    // Another context being run does not deliver.
    GMainContext *other = g_main_context_new();
    g_main_context_iteration(other, FALSE);
    g_main_context_unref(other);
    EXPECT_EQ(calls, 0);

    ASSERT_TRUE(run_until(7));
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(g_seen[i].port, order[i]);
        EXPECT_EQ(g_seen[i].subscription, ids[order[i]]);
    }
    ql_event_handler_free(h);
}

TEST_F(QlEvent, FreeingTheHandlerDropsItsQueuedEvents)
{
    QLEventHandler *a = ql_event_handler_new();
    QLEventHandler *b = ql_event_handler_new();
    int port = 1;
    QLEventKeyValueSet *set = port_filter(&port, nullptr);
    guint ida = 0, idb = 0;
    ASSERT_TRUE(ql_event_handler_subscribe(a, set, &ida, record, nullptr, nullptr));
    ASSERT_TRUE(ql_event_handler_subscribe(b, set, &idb, record, nullptr, nullptr));
    ql_event_key_value_set_free(set);
    EXPECT_EQ(qlevent_sim_port_event(1, 1), 2);
    ql_event_handler_free(a);
    EXPECT_EQ(qlevent_sim_pending(), 1);
    ASSERT_TRUE(run_until(1));
    drain();
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].subscription, idb);
    ql_event_handler_free(b);
    ql_event_handler_free(nullptr);
}

TEST_F(QlEvent, FilterWithAValueForEveryEntry)
{
    QLEventHandler *h = ql_event_handler_new();
    int port = 0;
    gboolean on = TRUE;
    QLEventKeyValueSet *set = port_filter(&port, &on);
    guint id = 0;
    ASSERT_TRUE(ql_event_handler_subscribe(h, set, &id, record, nullptr, nullptr));
    ql_event_key_value_set_free(set);
    EXPECT_EQ(qlevent_sim_port_event(0, 0), 0);
    EXPECT_EQ(qlevent_sim_port_event(0, 1), 1);
    ASSERT_TRUE(ql_event_handler_unsubscribe(h, id, nullptr));
    EXPECT_FALSE(ql_event_handler_unsubscribe(h, id, nullptr));
    drain();
    EXPECT_TRUE(g_seen.empty()); // ended before dispatch
    ql_event_handler_free(h);
}

TEST_F(QlEvent, AddKeyValuesIsAllOrNothing)
{
    QLEventKeyValueSet *set = ql_event_key_value_set_new();
    int one = 1;
    GError *error = nullptr;
    EXPECT_FALSE(ql_event_key_value_set_add_key_values(
        set, &error, "a", nullptr, &one, QL_EVENT_VALUE_TYPE_INT, "b", nullptr, &one, 7, nullptr));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, QL_EVENT_ERROR_INVALID_ARG);
    g_clear_error(&error);
    gint got = -5;
    EXPECT_FALSE(ql_event_key_value_set_get_integer(set, "a", nullptr, &got, nullptr));
    EXPECT_EQ(got, -5);

    EXPECT_TRUE(ql_event_key_value_set_add_key_values(set, nullptr, "a", nullptr, &one,
                                                      QL_EVENT_VALUE_TYPE_INT, "a", "ns", "x",
                                                      QL_EVENT_VALUE_TYPE_STRING, nullptr));
    EXPECT_FALSE(ql_event_key_value_set_add_key_values(set, &error, "a", nullptr, &one,
                                                       QL_EVENT_VALUE_TYPE_INT, nullptr));
    EXPECT_EQ(error->code, QL_EVENT_ERROR_INVALID_ARG);
    g_clear_error(&error);
    EXPECT_FALSE(ql_event_key_value_set_add_key_values(nullptr, &error, nullptr));
    g_clear_error(&error);

    EXPECT_TRUE(ql_event_key_value_set_get_integer(set, "a", nullptr, &got, nullptr));
    EXPECT_EQ(got, 1);
    gboolean b = 7;
    EXPECT_FALSE(ql_event_key_value_set_get_boolean(set, "a", nullptr, &b, &error));
    EXPECT_EQ(error->code, QL_EVENT_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(b, 7);
    g_clear_error(&error);
    EXPECT_FALSE(ql_event_key_value_set_get_integer(set, "a", "other", &got, &error));
    EXPECT_EQ(error->code, QL_EVENT_ERROR_NOT_FOUND);
    g_clear_error(&error);
    gchar *s = nullptr;
    EXPECT_TRUE(ql_event_key_value_set_get_string(set, "a", "ns", &s, nullptr));
    EXPECT_STREQ(s, "x");
    g_free(s);
    ql_event_key_value_set_free(set);
}

TEST_F(QlEvent, FailureSwitches)
{
    setenv("QLEVENT_FAIL", "ql_event_handler_new", 1);
    EXPECT_EQ(ql_event_handler_new(), nullptr);
    unsetenv("QLEVENT_FAIL");

    QLEventHandler *h = ql_event_handler_new();
    ASSERT_NE(h, nullptr);
    qlevent_sim_fail("ql_event_handler_subscribe,ql_event_key_value_set_add_key_values");
    QLEventKeyValueSet *set = ql_event_key_value_set_new();
    GError *error = nullptr;
    EXPECT_FALSE(ql_event_key_value_set_add_key_values(set, &error, "port", nullptr, nullptr,
                                                       QL_EVENT_VALUE_TYPE_INT, nullptr));
    EXPECT_EQ(error->code, QL_EVENT_ERROR_FAILED);
    g_clear_error(&error);
    guint id = 99;
    EXPECT_FALSE(ql_event_handler_subscribe(h, set, &id, record, nullptr, &error));
    EXPECT_EQ(id, 99u);
    g_clear_error(&error);
    EXPECT_EQ(qlevent_sim_subscription_count(), 0);

    qlevent_sim_fail("ql_event_key_value_set_get_integer");
    ql_event_key_value_set_free(set);
    set = ql_event_key_value_set_new();
    int one = 1;
    EXPECT_TRUE(ql_event_key_value_set_add_key_values(set, nullptr, "port", nullptr, &one,
                                                      QL_EVENT_VALUE_TYPE_INT, nullptr));
    gint got = -1;
    EXPECT_FALSE(ql_event_key_value_set_get_integer(set, "port", nullptr, &got, nullptr));
    EXPECT_EQ(got, -1);
    ql_event_key_value_set_free(set);
    ql_event_handler_free(h);
}

TEST_F(QlEvent, OlderCallsAreRecordedWithTheirResults)
{
    void *h = event_handler_init("tallyo", 0);
    ASSERT_NE(h, nullptr);
    int id = event_add(h, "PersonCounted", 0);
    EXPECT_GT(id, 0);
    EXPECT_EQ(event_send(id, 2, 0), 0);
    EXPECT_NE(event_send(id + 100, 2, 0), 0);
    EXPECT_EQ(text_of(qlevent_sim_declared), std::to_string(id) + " 1 PersonCounted\n");

    qlevent_sim_fail("event_send,event_add");
    EXPECT_NE(event_send(id, 2, 0), 0);
    EXPECT_EQ(event_add(h, "Other", 0), 0);
    qlevent_sim_fail("event_handler_init");
    EXPECT_EQ(event_handler_init("second", 0), nullptr);
    qlevent_sim_fail(nullptr);

    int left = event_add(h, "Left", 0);
    event_remove(id);
    event_remove(id);
    event_handler_cleanup(h);
    event_handler_cleanup(h);
    std::string i = std::to_string(id), l = std::to_string(left);
    EXPECT_EQ(text_of(qlevent_sim_calls), "event_handler_init tallyo 0 -> 1\n"
                                          "event_add 1 PersonCounted 0 -> " +
                                              i +
                                              "\n"
                                              "event_send " +
                                              i +
                                              " 2 0 -> 0\n"
                                              "event_send " +
                                              std::to_string(id + 100) +
                                              " 2 0 -> -1\n"
                                              "event_send " +
                                              i +
                                              " 2 0 -> -1\n"
                                              "event_add 1 Other 0 -> 0\n"
                                              "event_handler_init second 0 -> NULL\n"
                                              "event_add 1 Left 0 -> " +
                                              l +
                                              "\n"
                                              "event_remove " +
                                              i +
                                              "\n"
                                              "event_remove " +
                                              i +
                                              " unknown\n"
                                              "event_handler_cleanup 1 with 1 events declared\n"
                                              "event_handler_cleanup unknown\n");
    EXPECT_EQ(text_of(qlevent_sim_declared), "");
}

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "popen failed";
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    int status = pclose(p);
    return out + "rc=" + std::to_string(WEXITSTATUS(status));
}

TEST_F(QlEvent, ToolReachesTheProcessThroughTheCameraRoot)
{
    const char *tool = QLEVENT_TEST_TOOL;
    const char *scratch = QLEVENT_TEST_SCRATCH;
    char dir[4096];
    // A deep root, longer than a socket address can hold.
    std::snprintf(dir, sizeof dir, "%s/%s/XXXXXX", scratch,
                  "a-camera-root-with-a-rather-long-name-to-exceed-the-address-limit");
    gchar *parent = g_path_get_dirname(dir);
    g_mkdir_with_parents(parent, 0755);
    g_free(parent);
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("ZENT_ROOT", dir, 1);
    std::string t = tool;

    EXPECT_EQ(run(t + " port 1 on"), "0\nrc=1"); // nobody listens yet
    QLEventHandler *h = ql_event_handler_new();
    int port = 1;
    QLEventKeyValueSet *set = port_filter(&port, nullptr);
    guint id = 0;
    ASSERT_TRUE(ql_event_handler_subscribe(h, set, &id, record, nullptr, nullptr));
    ql_event_key_value_set_free(set);

    std::string pid = std::to_string(getpid());
    EXPECT_EQ(run(t + " list"), pid + " " + std::to_string(id) +
                                    " topic0@tns1=s:Device topic1@tnsorvex=s:IO "
                                    "topic2@tnsorvex=s:Port port=i:1 state=b:*\nrc=0");
    EXPECT_EQ(run(t + " port 1 on"), "1\nrc=0");
    EXPECT_EQ(run(t + " send --pid " + pid +
                  " topic0@tns1=s:Device topic1@tnsorvex=s:IO topic2@tnsorvex=s:Port port=i:1 "
                  "state=b:false"),
              "1\nrc=0");
    EXPECT_EQ(run(t + " send port=x:1 2>/dev/null"), "rc=2");
    ASSERT_TRUE(run_until(2));
    EXPECT_EQ(g_seen[0].state, TRUE);
    EXPECT_EQ(g_seen[1].state, FALSE);

    void *old = event_handler_init("app", 0);
    event_add(old, "Counted", 0);
    event_handler_cleanup(old);
    std::string calls = run(t + " calls");
    for (const char *want : {" event_handler_init app 0 -> ", " event_add ", " Counted 0 -> ",
                             " with 1 events declared\n"})
        EXPECT_NE(calls.find(want), std::string::npos) << want << " in " << calls;
    EXPECT_NE(calls.find(pid + " event_handler_cleanup "), std::string::npos) << calls;

    ql_event_handler_free(h);
    EXPECT_EQ(run(t + " list"), "rc=0"); // socket and list removed with the last handler
    EXPECT_EQ(run(t + " port 1 on"), "0\nrc=1");
    unsetenv("ZENT_ROOT");
}

} // namespace
