// Event registration against the event library stand-in: the library calls made, with their
// arguments and in order, the log lines, and what is undone when the library refuses.
#include "syslog_capture.h"
#include "zent_event.h"

#include <qlevent_control.h>

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

namespace
{

using Lines = std::vector<std::pair<int, std::string>>;

std::string text_of(int (*fn)(char *, int))
{
    int n = fn(nullptr, 0);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    fn(s.data(), n + 1);
    s.resize(static_cast<std::size_t>(n));
    return s;
}

Lines logged()
{
    Lines out;
    for (const auto &m : syslog_capture::snapshot().messages)
        out.emplace_back(m.priority, m.text);
    return out;
}

class ZentEvent : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        qlevent_sim_fail(nullptr);
        qlevent_sim_clear_calls();
        syslog_capture::clear();
    }
    void TearDown() override { qlevent_sim_fail(nullptr); }
};

TEST_F(ZentEvent, RegisterLogsTheUnsupportedTextsAndDeclaresTheEvent)
{
    EXPECT_EQ(zent_event_init(), 0);
    zent_event_t *ev = zent_event_register("tallyo", "PersonCounted", "count", "int", "0");
    ASSERT_NE(ev, nullptr);
    EXPECT_GT(ev->id, 0);
    EXPECT_NE(ev->handler, nullptr);
    EXPECT_EQ(logged(),
              (Lines{
                  {LOG_DEBUG, "zent_event: Fieldname count is not supported by this platform!"},
                  {LOG_DEBUG, "zent_event: Fieldtype int is not supported by this platform!"},
                  {LOG_DEBUG, "zent_event: Defaultvalue 0 is not supported by this platform!"},
              }));
    std::string calls = text_of(qlevent_sim_calls);
    std::string handler =
        calls.substr(calls.find("-> ") + 3, calls.find('\n') - calls.find("-> ") - 3);
    std::string id = std::to_string(ev->id);
    EXPECT_EQ(calls, "event_handler_init tallyo 0 -> " + handler + "\n" + "event_add " + handler +
                         " PersonCounted 0 -> " + id + "\n");

    syslog_capture::clear();
    qlevent_sim_clear_calls();
    EXPECT_EQ(zent_event_trigger_simple(ev), 0);
    EXPECT_EQ(zent_event_trigger(ev, 3), 0);
    EXPECT_EQ(logged(), (Lines{
                            {LOG_INFO, "zent_event: Triggering event"},
                            {LOG_INFO, "zent_event: Triggering event"},
                            {LOG_WARNING, "zent_event: Value is not supported by this platform!"},
                        }));
    zent_event_free(ev);
    EXPECT_EQ(text_of(qlevent_sim_calls), "event_send " + id + " 2 0 -> 0\n" + "event_send " + id +
                                              " 2 0 -> 0\n" + "event_remove " + id + "\n" +
                                              "event_handler_cleanup " + handler + "\n");
    EXPECT_EQ(text_of(qlevent_sim_declared), "");
}

TEST_F(ZentEvent, SimpleRegistrationLogsNothing)
{
    zent_event_t *ev = zent_event_register_simple("tallyo", "Crowded");
    ASSERT_NE(ev, nullptr);
    EXPECT_TRUE(logged().empty());
    EXPECT_NE(text_of(qlevent_sim_declared).find(" Crowded\n"), std::string::npos);
    zent_event_free(ev);
}

TEST_F(ZentEvent, RefusedRegistrationLeavesNothingBehind)
{
    qlevent_sim_fail("event_handler_init");
    EXPECT_EQ(zent_event_register_simple("tallyo", "A"), nullptr);
    EXPECT_EQ(text_of(qlevent_sim_calls), "event_handler_init tallyo 0 -> NULL\n");

    qlevent_sim_clear_calls();
    qlevent_sim_fail("event_add");
    EXPECT_EQ(zent_event_register_simple("tallyo", "B"), nullptr);
    std::string calls = text_of(qlevent_sim_calls);
    std::string handler =
        calls.substr(calls.find("-> ") + 3, calls.find('\n') - calls.find("-> ") - 3);
    EXPECT_EQ(calls, "event_handler_init tallyo 0 -> " + handler + "\n" + "event_add " + handler +
                         " B 0 -> 0\n" + "event_handler_cleanup " + handler + "\n");
    EXPECT_EQ(text_of(qlevent_sim_declared), "");
}

TEST_F(ZentEvent, FailedSendAndNullHandles)
{
    zent_event_t *ev = zent_event_register_simple("tallyo", "C");
    ASSERT_NE(ev, nullptr);
    qlevent_sim_fail("event_send");
    EXPECT_EQ(zent_event_trigger(ev, 0), 1);
    qlevent_sim_fail(nullptr);
    EXPECT_EQ(zent_event_trigger(ev, 0), 0);
    zent_event_free(ev);

    qlevent_sim_clear_calls();
    EXPECT_EQ(zent_event_trigger(nullptr, 0), 1);
    zent_event_free(nullptr);
    EXPECT_EQ(text_of(qlevent_sim_calls), ""); // nothing reached the library
}

TEST_F(ZentEvent, CleanupLogsSuccess)
{
    zent_event_cleanup();
    EXPECT_EQ(logged(), (Lines{{LOG_INFO, "zent_event: Cleanup of events was successful"}}));
}

} // namespace
