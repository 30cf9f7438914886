// In-process tests of the parameter library stand-in: one store behind both interfaces,
// group commits, error codes, store damage and failed commits.
#include "qlparameter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

class SimQlParameter : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qlparam-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("ZENT_ROOT", root_.c_str(), 1);
        unsetenv("QLPARAMETER_DEFAULTS");
        unsetenv("QLPARAMETER_FAIL_NEW");
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        unsetenv("ZENT_ROOT");
    }
    std::string store() const { return root_ + "/var/lib/qlparameter/parameters"; }
    std::string read_store() const
    {
        std::ifstream f(store(), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    void write_store(const std::string &text) const
    {
        std::ofstream f(store(), std::ios::binary | std::ios::trunc);
        f << text;
    }
    static QLParameter *open_handle()
    {
        GError *error = nullptr;
        QLParameter *h = ql_parameter_new("test", &error);
        EXPECT_NE(h, nullptr) << (error ? error->message : "");
        g_clear_error(&error);
        return h;
    }
    // The value, or "<missing:code>" when the get fails.
    static std::string get(QLParameter *h, const char *name)
    {
        gchar *value = nullptr;
        GError *error = nullptr;
        if (!ql_parameter_get(h, name, &value, &error)) {
            std::string out = "<missing:" + std::to_string(error ? error->code : -1) + ">";
            EXPECT_NE(error, nullptr);
            EXPECT_EQ(value, nullptr);
            g_clear_error(&error);
            return out;
        }
        EXPECT_EQ(error, nullptr);
        std::string out = value;
        g_free(value);
        return out;
    }
    static bool set(QLParameter *h, const char *name, const char *value, bool sync,
                    int *code = nullptr)
    {
        GError *error = nullptr;
        gboolean ok = ql_parameter_set(h, name, value, sync, &error);
        if (code != nullptr)
            *code = error ? error->code : -1;
        if (!ok) {
            EXPECT_NE(error, nullptr);
        }
        g_clear_error(&error);
        return ok;
    }
    static std::string legacy_get(const char *name)
    {
        char *value = nullptr;
        if (param_get(name, &value) != 0)
            return "<missing>";
        std::string out = value;
        param_free(value);
        return out;
    }

    std::string root_;
};

std::string missing(int code)
{
    return "<missing:" + std::to_string(code) + ">";
}

TEST_F(SimQlParameter, SeededDefaultsAreSeenByBothInterfacesUnderEitherName)
{
    QLParameter *h = open_handle();
    EXPECT_EQ(get(h, "root.Properties.Firmware.Version"), "6.50.1");
    EXPECT_EQ(get(h, "Properties.Firmware.Version"), "6.50.1");
    EXPECT_EQ(legacy_get("Brand.ProdNbr"), get(h, "root.Brand.ProdNbr"));
    EXPECT_EQ(legacy_get("root.Properties.System.SerialNumber"),
              get(h, "root.Properties.System.SerialNumber"));
    EXPECT_EQ(get(h, "root.Tallyo.ProxyUrl"), "");
    EXPECT_EQ(get(h, "root.ImageSource.I0.Sensor.SlaveTo"), "-1");
    EXPECT_EQ(get(h, "root.ImageSource.I1.Sensor.SlaveTo"), "0");

    // Writes through either interface land in the one store.
    ASSERT_TRUE(set(h, "root.stereo.a", "1", true));
    EXPECT_EQ(legacy_get("stereo.a"), "1");
    ASSERT_EQ(param_set("stereo.b", "2", 1), 0);
    EXPECT_EQ(get(h, "root.stereo.b"), "2");
    ql_parameter_free(h);
}

TEST_F(SimQlParameter, UnsyncedGroupIsPrivateUntilTheSyncedWriteCommitsItWhole)
{
    QLParameter *a = open_handle();
    QLParameter *b = open_handle();
    ASSERT_TRUE(set(a, "root.ImageSource.I0.Sensor.MaxExposureTime", "40000", false));
    ASSERT_TRUE(set(a, "root.stereo.new", "x", false));
    ASSERT_TRUE(set(a, "root.stereo.new", "y", false)); // later write in a group wins
    // The writer reads its own pending writes; nobody else does.
    EXPECT_EQ(get(a, "root.stereo.new"), "y");
    EXPECT_EQ(get(b, "root.stereo.new"), missing(QL_PARAMETER_PARAM_GET_ERROR));
    EXPECT_EQ(get(b, "root.ImageSource.I0.Sensor.MaxExposureTime"), "33000");
    EXPECT_EQ(legacy_get("stereo.new"), "<missing>");
    EXPECT_EQ(read_store().find("stereo.new"), std::string::npos);

    ASSERT_TRUE(set(a, "root.ImageSource.I1.Sensor.MaxExposureTime", "40000", true));
    EXPECT_EQ(get(b, "root.stereo.new"), "y");
    EXPECT_EQ(get(b, "root.ImageSource.I0.Sensor.MaxExposureTime"), "40000");
    EXPECT_EQ(get(b, "root.ImageSource.I1.Sensor.MaxExposureTime"), "40000");
    ql_parameter_free(a);
    ql_parameter_free(b);
}

TEST_F(SimQlParameter, FreeDropsWritesNeverCommitted)
{
    QLParameter *a = open_handle();
    ASSERT_TRUE(set(a, "root.stereo.lost", "1", false));
    ql_parameter_free(a);
    QLParameter *b = open_handle();
    EXPECT_EQ(get(b, "root.stereo.lost"), missing(QL_PARAMETER_PARAM_GET_ERROR));
    ql_parameter_free(b);
}

TEST_F(SimQlParameter, ArgumentErrorsCarryTheirCodes)
{
    QLParameter *h = open_handle();
    GError *error = nullptr;
    gchar *value = nullptr;
    EXPECT_FALSE(ql_parameter_get(h, nullptr, &value, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, QL_PARAMETER_ERROR);
    EXPECT_EQ(error->code, QL_PARAMETER_INVALID_ARG_ERROR);
    g_clear_error(&error);
    EXPECT_FALSE(ql_parameter_get(nullptr, "root.Brand.Brand", &value, &error));
    EXPECT_EQ(error->code, QL_PARAMETER_INVALID_ARG_ERROR);
    g_clear_error(&error);
    EXPECT_FALSE(ql_parameter_get(h, "root.Brand.Brand", nullptr, &error));
    EXPECT_EQ(error->code, QL_PARAMETER_INVALID_ARG_ERROR);
    g_clear_error(&error);
    EXPECT_EQ(value, nullptr);

    int code = -1;
    EXPECT_FALSE(set(h, nullptr, "v", true, &code));
    EXPECT_EQ(code, QL_PARAMETER_INVALID_ARG_ERROR);
    EXPECT_FALSE(set(h, "root.stereo.v", nullptr, true, &code));
    EXPECT_EQ(code, QL_PARAMETER_INVALID_ARG_ERROR);
    for (const char *bad :
         {"", "root.", "root..a", ".a", "root.a=b", "root.a\nb", "root.a\rb", "=x"}) {
        EXPECT_FALSE(set(h, bad, "v", true, &code)) << bad;
        EXPECT_EQ(code, QL_PARAMETER_INVALID_ARG_ERROR) << bad;
    }
    // A NULL error pointer is allowed.
    EXPECT_FALSE(ql_parameter_set(h, nullptr, "v", TRUE, nullptr));

    // The older interface fails with -1 and leaves the caller's pointer alone.
    char sentinel[] = "untouched";
    char *legacy = sentinel;
    EXPECT_EQ(param_get("no.such.parameter", &legacy), -1);
    EXPECT_EQ(param_get(nullptr, &legacy), -1);
    EXPECT_EQ(legacy, sentinel);
    EXPECT_EQ(param_set(nullptr, "v", 1), -1);
    EXPECT_EQ(param_set("stereo.v", nullptr, 1), -1);
    EXPECT_EQ(param_set("stereo.a=b", "v", 1), -1);
    ql_parameter_free(h);
    ql_parameter_free(nullptr);
}

TEST_F(SimQlParameter, OpenFailures)
{
    GError *error = nullptr;
    setenv("QLPARAMETER_FAIL_NEW", "1", 1);
    EXPECT_EQ(ql_parameter_new("tallyo", &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, QL_PARAMETER_DBUS_SETUP_ERROR);
    g_clear_error(&error);
    setenv("QLPARAMETER_FAIL_NEW", "0", 1);
    QLParameter *h = ql_parameter_new("tallyo", &error);
    EXPECT_NE(h, nullptr);
    ql_parameter_free(h);
    unsetenv("QLPARAMETER_FAIL_NEW");

    EXPECT_EQ(ql_parameter_new(nullptr, &error), nullptr);
    EXPECT_EQ(error->code, QL_PARAMETER_INVALID_ARG_ERROR);
    g_clear_error(&error);

    // No store and no defaults to seed it from: the open fails and nothing is created.
    ASSERT_EQ(unlink(store().c_str()), 0);
    setenv("QLPARAMETER_DEFAULTS", (root_ + "/no-such-defaults").c_str(), 1);
    EXPECT_EQ(ql_parameter_new("tallyo", &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, QL_PARAMETER_FILE_OPEN_ERROR);
    g_clear_error(&error);
    EXPECT_NE(access(store().c_str(), F_OK), 0);
    EXPECT_EQ(legacy_get("Brand.Brand"), "<missing>");
}

TEST_F(SimQlParameter, CustomDefaultsSeedTheStore)
{
    std::string path = root_ + "/defaults.conf";
    {
        std::ofstream f(path);
        f << "# comment\r\n\nroot.Properties.Firmware.Version=6.40\r\nroot.x=a\\nb\\\\c\\q\n";
    }
    setenv("QLPARAMETER_DEFAULTS", path.c_str(), 1);
    QLParameter *h = open_handle();
    EXPECT_EQ(get(h, "root.Properties.Firmware.Version"), "6.40");
    EXPECT_EQ(get(h, "root.x"), "a\nb\\c\\q"); // unknown escapes stay as written
    EXPECT_EQ(get(h, "root.Brand.Brand"), missing(QL_PARAMETER_PARAM_GET_ERROR));
    ql_parameter_free(h);
}

TEST_F(SimQlParameter, AwkwardValuesRoundTrip)
{
    QLParameter *h = open_handle();
    std::string big(100000, 'v');
    big[500] = '\n';
    const std::vector<std::string> values = {
        "",           "a=b=c",       "line1\nline2\n", "back\\slash\\",
        "cr\rlf\r\n", "\\n literal", "#not a comment", "utf-8 \xc3\xa9\xe2\x82\xac",
        big};
    for (size_t i = 0; i < values.size(); ++i) {
        std::string name = "root.stereo.v" + std::to_string(i);
        ASSERT_TRUE(set(h, name.c_str(), values[i].c_str(), i + 1 == values.size()));
    }
    QLParameter *other = open_handle();
    for (size_t i = 0; i < values.size(); ++i) {
        std::string name = "root.stereo.v" + std::to_string(i);
        EXPECT_EQ(get(other, name.c_str()), values[i]) << name;
    }
    ql_parameter_free(h);
    ql_parameter_free(other);
}

TEST_F(SimQlParameter, DamagedStoreIsReportedAndNeverOverwritten)
{
    QLParameter *h = open_handle();
    std::string good = read_store();
    ASSERT_NE(good.find("#end "), std::string::npos);
    // Cut before the end line: a torn file must not pass for a store.
    std::string cut = good.substr(0, good.rfind("#end "));
    for (const std::string &bad : {cut, good.substr(0, good.size() - 1), good + "root.extra=1\n",
                                   std::string("garbage\n#end 0\n")}) {
        write_store(bad);
        EXPECT_EQ(get(h, "root.Brand.Brand"), missing(QL_PARAMETER_FILE_FORMAT_ERROR));
        int code = -1;
        EXPECT_FALSE(set(h, "root.stereo.a", "1", true, &code));
        EXPECT_EQ(code, QL_PARAMETER_FILE_FORMAT_ERROR);
        EXPECT_EQ(param_set("stereo.a", "1", 1), -1);
        EXPECT_EQ(read_store(), bad);
    }
    ql_parameter_free(h);
}

TEST_F(SimQlParameter, FailedCommitKeepsTheGroupForTheNextSyncedWrite)
{
    QLParameter *h = open_handle();
    ASSERT_TRUE(set(h, "root.stereo.first", "1", false));
    // A directory where the temporary file goes makes the commit fail.
    std::string tmp = store() + ".new";
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    int code = -1;
    EXPECT_FALSE(set(h, "root.stereo.second", "2", true, &code));
    EXPECT_EQ(code, QL_PARAMETER_FILE_CREATE_ERROR);
    EXPECT_EQ(legacy_get("stereo.first"), "<missing>");
    EXPECT_NE(read_store().find("#end "), std::string::npos);
    ASSERT_EQ(rmdir(tmp.c_str()), 0);

    ASSERT_TRUE(set(h, "root.stereo.third", "3", true));
    EXPECT_EQ(legacy_get("stereo.first"), "1");
    EXPECT_EQ(legacy_get("stereo.second"), "2");
    EXPECT_EQ(legacy_get("stereo.third"), "3");
    EXPECT_NE(access(tmp.c_str(), F_OK), 0);
    ql_parameter_free(h);
}

TEST_F(SimQlParameter, ConcurrentCommitsFromThreadsLoseNothing)
{
    constexpr int kThreads = 4;
    constexpr int kGroups = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            QLParameter *h = ql_parameter_new("thread", nullptr);
            if (h == nullptr) {
                ++failures;
                return;
            }
            for (int g = 0; g < kGroups; ++g) {
                std::string base = "root.test.t" + std::to_string(t) + ".g" + std::to_string(g);
                if (!ql_parameter_set(h, (base + ".a").c_str(), "a", FALSE, nullptr) ||
                    !ql_parameter_set(h, (base + ".b").c_str(), "b", TRUE, nullptr))
                    ++failures;
            }
            ql_parameter_free(h);
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t)
        for (int g = 0; g < kGroups; ++g) {
            std::string base = "test.t" + std::to_string(t) + ".g" + std::to_string(g);
            EXPECT_EQ(legacy_get((base + ".a").c_str()), "a") << base;
            EXPECT_EQ(legacy_get((base + ".b").c_str()), "b") << base;
        }
}

} // namespace
