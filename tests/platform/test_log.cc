// The logging routines as the system log sees them: opening, ident, options, prefixes, cuts.
#include "log.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <thread>
#include <vector>

namespace
{

class LogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        unsetenv("ZENT_LOG_STDERR");
        log_cleanup();
        syslog_capture::clear();
    }
    void TearDown() override
    {
        log_cleanup();
        unsetenv("ZENT_LOG_STDERR");
    }
};

int call_lvprintf(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = lvprintf(priority, format, ap);
    va_end(ap);
    return r;
}

TEST_F(LogTest, FirstMessageOpensStereoDaemonLogOnce)
{
    EXPECT_EQ(l_printf_file("platform/watchdog.c", LOG_WARNING, "tick %d of %s", 3, "five"), 0);
    EXPECT_EQ(l_printf_file("platform/watchdog.c", LOG_ERR, "again"), 0);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 1u);
    EXPECT_EQ(rec.opens[0].ident, "stereo");
    EXPECT_EQ(rec.opens[0].option, LOG_CONS);
    EXPECT_EQ(rec.opens[0].facility, LOG_DAEMON);
    EXPECT_EQ(LOG_CONS, 2);
    EXPECT_EQ(LOG_DAEMON, 24);
    ASSERT_EQ(rec.messages.size(), 2u);
    EXPECT_EQ(rec.messages[0].priority, 4);
    EXPECT_EQ(rec.messages[0].text, "watchdog: tick 3 of five");
    EXPECT_EQ(rec.messages[1].priority, 3);
    EXPECT_EQ(rec.messages[1].text, "watchdog: again");
}

TEST_F(LogTest, PlainMessageBeforeInitOpensWithStereo)
{
    EXPECT_EQ(call_lvprintf(LOG_INFO, "value %d", 42), 0);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 1u);
    EXPECT_EQ(rec.opens[0].ident, "stereo");
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0].priority, LOG_INFO);
    EXPECT_EQ(rec.messages[0].text, "value 42");
}

TEST_F(LogTest, InitReturnsFlagAndCleanupAllowsReopen)
{
    EXPECT_EQ(log_init("first"), 1);
    EXPECT_EQ(log_init("second"), 1);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 1u);
    EXPECT_EQ(rec.opens[0].ident, "first");

    log_cleanup();
    rec = syslog_capture::snapshot();
    EXPECT_EQ(rec.closes, 1);

    l_printf_file("capture.c", LOG_DEBUG, "after cleanup");
    rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 2u);
    EXPECT_EQ(rec.opens[1].ident, "stereo");
}

TEST_F(LogTest, IdentOutlivesCallersText)
{
    // The system log keeps the ident pointer; a caller's buffer must not be what it keeps.
    char ident[16];
    std::snprintf(ident, sizeof ident, "%s", "counter");
    log_init(ident);
    std::memset(ident, 'X', sizeof ident - 1);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 1u);
    ASSERT_NE(rec.opens[0].ident_ptr, nullptr);
    EXPECT_NE(rec.opens[0].ident_ptr, ident);
    EXPECT_STREQ(rec.opens[0].ident_ptr, "counter");
}

TEST_F(LogTest, StderrCopyOnlyWhenAsked)
{
    setenv("ZENT_LOG_STDERR", "1", 1);
    log_init("stereo");
    log_cleanup();
    setenv("ZENT_LOG_STDERR", "0", 1);
    log_init("stereo");
    log_cleanup();
    setenv("ZENT_LOG_STDERR", "", 1);
    log_init("stereo");
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 3u);
    EXPECT_EQ(rec.opens[0].option, LOG_CONS | LOG_PERROR);
    EXPECT_EQ(rec.opens[1].option, LOG_CONS);
    EXPECT_EQ(rec.opens[2].option, LOG_CONS);
}

TEST_F(LogTest, SourceNamePrefixForms)
{
    l_printf_file("/build/src/platform/concat_log.c", LOG_ERR, "Failed malloc in append");
    l_printf_file("rectification/minimize.cc", LOG_ERR, "x");
    l_printf_file("param", LOG_INFO, "no extension");
    l_printf_file("dir.d/zent_event.c", LOG_INFO, "dot in directory");
    l_printf_file("odd/100%d.c", LOG_INFO, "percent %s", "kept");
    l_printf_file(nullptr, LOG_INFO, "no file");
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 6u);
    EXPECT_EQ(rec.messages[0].text, "concat_log: Failed malloc in append");
    EXPECT_EQ(rec.messages[1].text, "minimize: x");
    EXPECT_EQ(rec.messages[2].text, "param: no extension");
    EXPECT_EQ(rec.messages[3].text, "zent_event: dot in directory");
    EXPECT_EQ(rec.messages[4].text, "100%d: percent kept");
    EXPECT_EQ(rec.messages[5].text, ": no file");
}

TEST_F(LogTest, LongFormatIsCutTo499Characters)
{
    std::string fmt(2000, 'a');
    l_printf_file("w.c", LOG_INFO, "%s", fmt.c_str()); // long argument: not ours to cut
    l_printf_file("w.c", LOG_INFO, fmt.c_str());       // long format: cut
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 2u);
    EXPECT_EQ(rec.messages[0].text, "w: " + fmt);
    EXPECT_EQ(rec.messages[1].text.size(), 499u);
    EXPECT_EQ(rec.messages[1].text, "w: " + std::string(496, 'a'));
}

TEST_F(LogTest, CutInsideConversionDropsTheStub)
{
    // "w: " + 494 letters + "%-5d" needs 501 characters: the cut lands inside "%-5d".
    std::string fmt = std::string(494, 'b') + "%-5d tail";
    l_printf_file("w.c", LOG_INFO, fmt.c_str(), 7);
    // A "%%" pair that fits stays a literal percent even at the very end.
    std::string fmt2 = std::string(494, 'c') + "%%";
    l_printf_file("w.c", LOG_INFO, fmt2.c_str());
    // A lone '%' right at the cut is dropped.
    std::string fmt3 = std::string(495, 'd') + "%s";
    l_printf_file("w.c", LOG_INFO, fmt3.c_str(), "never printed");
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 3u);
    EXPECT_EQ(rec.messages[0].text, "w: " + std::string(494, 'b'));
    EXPECT_EQ(rec.messages[1].text, "w: " + std::string(494, 'c') + "%");
    EXPECT_EQ(rec.messages[2].text, "w: " + std::string(495, 'd'));
}

TEST_F(LogTest, ConcurrentFirstMessagesOpenOnce)
{
    constexpr int kThreads = 8, kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                l_printf_file("capture.c", LOG_INFO, "thread %d message %d", t, i);
        });
    for (auto &th : threads)
        th.join();
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.opens.size(), 1u);
    EXPECT_EQ(rec.opens[0].ident, "stereo");
    EXPECT_EQ(rec.messages.size(), size_t(kThreads * kEach));
    for (const auto &m : rec.messages)
        EXPECT_EQ(m.text.rfind("capture: thread ", 0), 0u) << m.text;
}

} // namespace
