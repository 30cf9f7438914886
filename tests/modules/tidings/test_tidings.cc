// _tidings natively against the event library stand-in: the word across port events, readers
// blocked and woken (by events, repeats and clean-up), init and clean-up in quick cycles,
// and the calls that must not hang or leak when the library fails.
#include "tidings.h"

#include <qlevent_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs `fn` on a thread of its own and gives its result, or fails the test when it has not
// finished within `limit` (a hang shows as a failure, not as a stuck run).
template <typename F> auto within(std::chrono::milliseconds limit, F fn)
{
    auto task = std::async(std::launch::async, fn);
    EXPECT_EQ(task.wait_for(limit), std::future_status::ready) << "did not finish in time";
    return task.get();
}

bool wait_delivered()
{
    auto deadline = Clock::now() + 5s;
    while (qlevent_sim_pending() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return qlevent_sim_pending() == 0;
}

class Tidings : public ::testing::Test
{
  protected:
    void SetUp() override { qlevent_sim_fail(nullptr); }
    void TearDown() override
    {
        qlevent_sim_fail(nullptr);
        event_subscriber_cleanup();
    }
};

TEST_F(Tidings, WordFollowsPortEventsAndARepeatStillWakes)
{
    ASSERT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(qlevent_sim_subscription_count(), 4);
    EXPECT_EQ(within(1000ms, pop_states_block), 0); // 0 differs from the initial -1

    struct Step {
        int port, state, word;
    };
    for (Step s : {Step{2, 1, 4}, Step{0, 1, 5}, Step{2, 0, 1}, Step{0, 1, 1}, Step{3, 1, 9}}) {
        auto reader = std::async(std::launch::async, pop_states_block);
        // A repeat that lands before the reader blocks wakes no one, and nothing tells when
        // the reader has blocked: the event is sent again (a repeat of itself) until it returns.
        auto deadline = Clock::now() + 5s;
        do
            EXPECT_EQ(qlevent_sim_port_event(s.port, s.state), 1);
        while (reader.wait_for(50ms) != std::future_status::ready && Clock::now() < deadline);
        ASSERT_EQ(reader.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(reader.get(), s.word) << "port " << s.port << " state " << s.state;
        EXPECT_EQ(pop_states(), s.word);
    }
    EXPECT_EQ(event_subscriber_cleanup(), 0);
    EXPECT_EQ(qlevent_sim_subscription_count(), 0);
    EXPECT_EQ(pop_states(), 9); // the word survives clean-up
    ASSERT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(pop_states(), 0); // and is reset by the next init
}

TEST_F(Tidings, InitFollowedAtOnceByCleanupReturns)
{
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(
            within(10000ms, [] { return event_subscriber_init() + event_subscriber_cleanup(); }), 0)
            << "round " << round;
    }
    EXPECT_EQ(qlevent_sim_subscription_count(), 0);
}

TEST_F(Tidings, CleanupWakesEveryBlockedReader)
{
    ASSERT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(pop_states_block(), 0);
    qlevent_sim_port_event(1, 1);
    EXPECT_EQ(within(5000ms, pop_states_block), 2);

    std::atomic<int> returned{0};
    std::vector<std::future<int>> readers;
    for (int i = 0; i < 6; ++i)
        readers.push_back(std::async(std::launch::async, [&] {
            int w = pop_states_block();
            ++returned;
            return w;
        }));
    std::this_thread::sleep_for(100ms); // give them time to block; none may return meanwhile
    EXPECT_EQ(returned.load(), 0);
    EXPECT_EQ(within(10000ms, event_subscriber_cleanup), 0);
    for (auto &r : readers) {
        ASSERT_EQ(r.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(r.get(), 2);
    }
}

TEST_F(Tidings, BlockingReadWithoutSubscriptionReturnsAtOnce)
{
    EXPECT_EQ(within(1000ms, pop_states_block), pop_states());
    EXPECT_EQ(within(1000ms, pop_states_block), pop_states());
    ASSERT_EQ(event_subscriber_init(), 0);
    ASSERT_EQ(event_subscriber_cleanup(), 0);
    EXPECT_EQ(within(1000ms, pop_states_block), 0);
    EXPECT_EQ(within(1000ms, pop_states_block), 0);
}

TEST_F(Tidings, DoubleInitKeepsOneSubscriptionAndCleanupWithoutInitIsANoOp)
{
    ASSERT_EQ(event_subscriber_init(), 0);
    qlevent_sim_port_event(3, 1);
    ASSERT_TRUE(wait_delivered());
    EXPECT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(qlevent_sim_subscription_count(), 4);
    EXPECT_EQ(pop_states(), 8); // kept: the second init changed nothing
    EXPECT_EQ(event_subscriber_cleanup(), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(event_subscriber_cleanup(), 0);
    EXPECT_LT(Clock::now() - t0, 500ms);
}

TEST_F(Tidings, FailedSetUpReportsAndLeavesNothingBehind)
{
    for (const char *call : {"ql_event_handler_new", "ql_event_handler_subscribe",
                             "ql_event_key_value_set_add_key_values"}) {
        qlevent_sim_fail(call);
        EXPECT_EQ(event_subscriber_init(), -1) << call;
        EXPECT_EQ(qlevent_sim_subscription_count(), 0) << call;
        EXPECT_EQ(within(1000ms, pop_states_block), 0) << call;
        EXPECT_EQ(within(1000ms, pop_states_block), 0) << call;
        auto t0 = Clock::now();
        EXPECT_EQ(event_subscriber_cleanup(), 0);
        EXPECT_LT(Clock::now() - t0, 500ms);
    }
    qlevent_sim_fail(nullptr);
    ASSERT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(qlevent_sim_subscription_count(), 4);
}

TEST_F(Tidings, EventsWhosePortOrStateCannotBeReadAreDropped)
{
    ASSERT_EQ(event_subscriber_init(), 0);
    EXPECT_EQ(pop_states_block(), 0);
    for (const char *call :
         {"ql_event_key_value_set_get_integer", "ql_event_key_value_set_get_boolean"}) {
        qlevent_sim_fail(call);
        EXPECT_EQ(qlevent_sim_port_event(2, 1), 1);
        ASSERT_TRUE(wait_delivered());
        EXPECT_EQ(pop_states(), 0) << call;
    }
    qlevent_sim_fail(nullptr);
    qlevent_sim_port_event(0, 1);
    EXPECT_EQ(within(5000ms, pop_states_block), 1); // the dropped events woke no one
}

// All readers share the word last returned, so one that comes back late may miss a change
// that another has already taken; what holds is that each sees changes in their order, no
// change goes unseen by all, and no reader is left behind.
TEST_F(Tidings, ManyReadersSeeChangesInOrder)
{
    ASSERT_EQ(event_subscriber_init(), 0);
    constexpr int kReaders = 8;
    const std::vector<int> words = {1, 3, 7, 15, 14, 12, 8, 0, 2};
    const int ports[] = {0, 1, 2, 3, 0, 1, 2, 3, 1};
    const int states[] = {1, 1, 1, 1, 0, 0, 0, 0, 1};
    std::mutex lock;
    std::vector<std::vector<int>> seen(kReaders);
    std::vector<int> all;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    pop_states_block(); // the first call returns at once: take it here
    for (int r = 0; r < kReaders; ++r)
        readers.emplace_back([&, r] {
            for (;;) {
                int w = pop_states_block();
                if (stop)
                    break;
                std::lock_guard<std::mutex> g(lock);
                seen[r].push_back(w);
                all.push_back(w);
            }
        });
    auto reported = [&](int w) {
        std::lock_guard<std::mutex> g(lock);
        return std::find(all.begin(), all.end(), w) != all.end();
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(qlevent_sim_port_event(ports[i], states[i]), 1);
        auto deadline = Clock::now() + 5s;
        while (!reported(words[i]) && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(reported(words[i])) << "no reader saw event " << i;
    }
    stop = true;
    EXPECT_EQ(within(10000ms, event_subscriber_cleanup), 0);
    for (auto &t : readers)
        t.join();
    for (int r = 0; r < kReaders; ++r) {
        auto at = words.begin();
        for (int w : seen[r]) {
            at = std::find(at, words.end(), w);
            ASSERT_NE(at, words.end()) << "reader " << r << " saw " << w << " out of order";
            ++at;
        }
    }
}

} // namespace
