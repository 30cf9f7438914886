// The parameter service against the parameter stand-in's real store, with the stand-in's call
// trace showing which names reach the library, and the warning registry behind the errors page.
#include "param.h"
#include "services_fixture.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

// A fresh camera root, call trace, warning registry and system log for each case.
using ParamTest = services_test::ServicesTest;

TEST_F(ParamTest, ReadMapsApplicationNamesAndPassesFullNames)
{
    ASSERT_EQ(zent_param_set("Counter.Zoom", "7"), 0);
    forget_calls();
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "7");
    EXPECT_STREQ(zent_param_get("root.Properties.Firmware.Version"), "6.50.1");
    // Only the first dot becomes '0'.
    zent_param_get("Counter.Crop.Left");
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "param_get root.stereo.Counter0Zoom ok",
                           "param_get root.Properties.Firmware.Version ok",
                           "param_get root.stereo.Counter0Crop.Left fail",
                       }));
    EXPECT_STREQ(zent_param_get("Counter.Crop.Left"), "");
}

TEST_F(ParamTest, NameWithoutDotAsksNothing)
{
    EXPECT_STREQ(zent_param_get("Zoom"), "");
    EXPECT_EQ(zent_param_set("Zoom", "3"), 1);
    EXPECT_EQ(zent_param_set("Zoom", ""), 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(zent_param_updated(), 0);
}

TEST_F(ParamTest, WriteOnlyWhenChangedAndFlagOnce)
{
    ASSERT_EQ(zent_param_set("Counter.Height", "300"), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_EQ(zent_param_updated(), 0);
    forget_calls();
    EXPECT_EQ(zent_param_set("Counter.Height", "300"), 0);
    EXPECT_EQ(zent_param_updated(), 0);
    auto c = calls();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], "param_get root.stereo.Counter0Height ok");
    // A setting never written reads empty: writing it empty is no change either.
    EXPECT_EQ(zent_param_set("Counter.Unset", ""), 0);
    EXPECT_EQ(zent_param_updated(), 0);
}

TEST_F(ParamTest, SetExControlsTheFlag)
{
    EXPECT_EQ(zent_param_set_ex("Counter.A", "1", 0), 0);
    EXPECT_EQ(zent_param_set_ex("Counter.B", "2", 0), 0);
    EXPECT_EQ(zent_param_updated(), 0);
    EXPECT_STREQ(zent_param_get("Counter.B"), "2");
    EXPECT_EQ(zent_param_set_ex(nullptr, nullptr, 0), 0);
    EXPECT_EQ(zent_param_updated(), 0);
    EXPECT_EQ(zent_param_set_ex(nullptr, nullptr, 1), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_EQ(zent_param_set_ex("Counter.C", "3", 1), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_EQ(zent_param_set_ex("Counter.C", nullptr, 1), 1);
}

TEST_F(ParamTest, LibraryFailureIsEmptyOrOne)
{
    ASSERT_EQ(zent_param_set("Counter.Zoom", "5"), 0);
    while (zent_param_updated()) {
    }
    setenv("QLPARAMETER_FAIL", "get:root.stereo.Counter0Zoom", 1);
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "");
    setenv("QLPARAMETER_FAIL", "set:all", 1);
    EXPECT_EQ(zent_param_set("Counter.Zoom", "6"), 1);
    EXPECT_EQ(zent_param_updated(), 0);
    unsetenv("QLPARAMETER_FAIL");
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "5");
    // Nothing is logged for library trouble.
    EXPECT_TRUE(syslog_capture::snapshot().messages.empty());
}

TEST_F(ParamTest, ValueFromAnotherReadIsWrittenNotLost)
{
    ASSERT_EQ(zent_param_set("Counter.Src", "42"), 0);
    ASSERT_EQ(zent_param_set("Counter.Dst", "1"), 0);
    // Both texts live in the thread's one buffer.
    EXPECT_EQ(zent_param_set("Counter.Dst", zent_param_get("Counter.Src")), 0);
    EXPECT_STREQ(zent_param_get("Counter.Dst"), "42");
    EXPECT_STREQ(zent_param_get(zent_param_get("Counter.Name")), "");
}

TEST_F(ParamTest, FullNamesAreNotRedirectedOnWrite)
{
    // Writes stay within the application's group: root.stereo.root0Time.SyncSource.
    EXPECT_EQ(zent_param_set("root.Time.SyncSource", "NTP"), 0);
    auto c = calls();
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.back(), "param_set root.stereo.root0Time.SyncSource NTP ok");
}

TEST_F(ParamTest, LongValuesAreCutToTheBufferAndStillCompareWhole)
{
    std::string big(ZENT_PARAM_BUFFER_SIZE + 100, 'v');
    ASSERT_EQ(zent_param_set("Counter.Big", big.c_str()), 0);
    const char *read = zent_param_get("Counter.Big");
    EXPECT_EQ(std::strlen(read), static_cast<std::size_t>(ZENT_PARAM_BUFFER_SIZE - 1));
    while (zent_param_updated()) {
    }
    // The cut prefix is a different value and is written.
    std::string prefix(read);
    EXPECT_EQ(zent_param_set("Counter.Big", prefix.c_str()), 0);
    EXPECT_EQ(zent_param_updated(), 1);
}

TEST_F(ParamTest, OverlongNamesAreRefusedNotCut)
{
    std::string name = "Counter." + std::string(520, 'n');
    EXPECT_EQ(zent_param_set(name.c_str(), "1"), 1);
    EXPECT_STREQ(zent_param_get(name.c_str()), "");
    EXPECT_TRUE(calls().empty());
    // The longest name that fits is still served.
    std::string fits = "Counter." + std::string(511 - 12 - 8, 'n');
    EXPECT_EQ(zent_param_set(fits.c_str(), "1"), 0);
    EXPECT_STREQ(zent_param_get(fits.c_str()), "1");
}

TEST_F(ParamTest, EachThreadHasItsOwnBuffer)
{
    ASSERT_EQ(zent_param_set("Counter.T1", "one"), 0);
    ASSERT_EQ(zent_param_set("Counter.T2", "two"), 0);
    const char *mine = zent_param_get("Counter.T1");
    EXPECT_EQ(mine, zent_param_get_buffer());
    std::string other;
    const char *other_buf = nullptr;
    std::thread([&] {
        other_buf = zent_param_get_buffer();
        other = zent_param_get("Counter.T2");
    }).join();
    EXPECT_NE(other_buf, mine);
    EXPECT_EQ(other, "two");
    EXPECT_STREQ(mine, "one");
}

TEST_F(ParamTest, SecretNamesAndAnonymousMarker)
{
    EXPECT_EQ(filter_out_param("SysPwd"), 1);
    EXPECT_EQ(filter_out_param("Pwd"), 1);
    EXPECT_EQ(filter_out_param("Pass"), 1);
    EXPECT_EQ(filter_out_param("Password"), 0);
    EXPECT_EQ(filter_out_param("pwd"), 0);
    EXPECT_EQ(filter_out_param(nullptr), 0);
    EXPECT_EQ(zent_param_get_anon(), 0);
    std::ofstream(root / "anon.lock").put('\n');
    EXPECT_EQ(zent_param_get_anon(), 1);
}

std::string page()
{
    int len = -1;
    const char *p = gen_errors_page(nullptr, "ignored", &len);
    EXPECT_EQ(static_cast<std::size_t>(len), std::strlen(p));
    return p;
}

std::string body(const std::string &p)
{
    static const std::regex head(R"re(^\{"timestamp":"(\d+)","errors":\{)re");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(p, m, head)) << p;
    long ts = std::stol(m[1]);
    EXPECT_LE(std::abs(ts - static_cast<long>(std::time(nullptr))), 5);
    return p.substr(m[0].length());
}

TEST_F(ParamTest, RegistryByMessageFirstFreeEntry)
{
    EXPECT_EQ(body(page()), "}}\n");
    zent_param_set_error(ERROR_NO_NTP);
    zent_param_set_error_("OTHER_ID", ERROR_NO_NTP);
    zent_param_set_error(ERROR_TIME_IS_WRONG);
    zent_param_set_error(ERROR_SANE_CHECK);
    EXPECT_STREQ(errorset[0].name, "ERROR_NO_NTP");
    EXPECT_STREQ(errorset[1].name, "ERROR_TIME_IS_WRONG");
    EXPECT_STREQ(errorset[2].name, "ERROR_SANE_CHECK");
    EXPECT_EQ(errorset[3].name, nullptr);
    zent_param_clear_error(ERROR_TIME_IS_WRONG);
    EXPECT_EQ(body(page()), std::string("\"ERROR_NO_NTP\":\"") + ERROR_NO_NTP +
                                "\",\"ERROR_SANE_CHECK\":\"" + ERROR_SANE_CHECK + "\"}}\n");
    // The freed entry is the lowest free one.
    zent_param_set_error(ERROR_IMAGE_IS_ROTATED);
    EXPECT_STREQ(errorset[1].name, "ERROR_IMAGE_IS_ROTATED");
    // The identifier is logged at debug priority.
    auto msgs = syslog_capture::snapshot().messages;
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front().priority, LOG_DEBUG);
    EXPECT_EQ(msgs.front().text, "param: ERROR_NO_NTP\n");
}

TEST_F(ParamTest, RegistryHoldsTenAndDropsTheEleventh)
{
    static std::vector<std::string> texts;
    texts.clear();
    for (int i = 0; i < 11; ++i)
        texts.push_back("warning " + std::to_string(i));
    for (int i = 0; i < 11; ++i)
        zent_param_set_error_("ID", texts[i].c_str());
    EXPECT_STREQ(errorset[9].message, "warning 9");
    for (const zent_error_t &e : errorset)
        EXPECT_STRNE(e.message, "warning 10");
    zent_param_clear_error("warning 4");
    zent_param_set_error_("ID", texts[10].c_str());
    EXPECT_STREQ(errorset[4].message, "warning 10");
    // A clear by message frees every entry with it; a clear of an unknown text frees none.
    zent_param_clear_error("nothing like it");
    int used = 0;
    for (const zent_error_t &e : errorset)
        used += e.name != nullptr;
    EXPECT_EQ(used, 10);
    zent_param_set_error_(nullptr, "x");
    zent_param_clear_error(nullptr);
}

TEST_F(ParamTest, ErrorsPageIsCutAtItsBuffer)
{
    static std::vector<std::string> texts;
    texts.clear();
    for (int i = 0; i < 10; ++i)
        texts.push_back(std::string(1000, static_cast<char>('a' + i)));
    for (int i = 0; i < 10; ++i)
        zent_param_set_error_("LONG", texts[i].c_str());
    int len = 0;
    const char *p = gen_errors_page(nullptr, nullptr, &len);
    EXPECT_EQ(len, ZENT_PAGE_BUFFER_SIZE - 1);
    EXPECT_EQ(std::strlen(p), static_cast<std::size_t>(len));
    // The page after the cut is whole again once the warnings are gone.
    for (int i = 0; i < 10; ++i)
        zent_param_clear_error(texts[i].c_str());
    EXPECT_EQ(body(page()), "}}\n");
}

TEST_F(ParamTest, CleanupLogsAndKeepsWorking)
{
    zent_param_cleanup();
    auto msgs = syslog_capture::snapshot().messages;
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].priority, LOG_DEBUG);
    EXPECT_EQ(msgs[0].text, "param: param_cleanup() !! ignored;\n");
    EXPECT_STREQ(zent_param_get("root.Properties.Firmware.Version"), "6.50.1");
}

TEST_F(ParamTest, UpdatedFlagSurvivesConcurrentSetters)
{
    // Every update made before a reader's exchange is seen by one exchange or the next.
    std::atomic<int> seen{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load())
            seen += zent_param_updated();
        seen += zent_param_updated();
    });
    for (int i = 0; i < 2000; ++i)
        set_params_updated();
    done = true;
    reader.join();
    EXPECT_GE(seen.load(), 1);
    EXPECT_EQ(zent_param_updated(), 0);
}

} // namespace
