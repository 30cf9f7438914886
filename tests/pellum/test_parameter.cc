// The launcher's parameter access against the parameter store stand-in: the sensor pairing
// rule for every combination of read values, the exposure writes, and failing reads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

#include "parameter.h"

namespace
{

const char kSlave0[] = "root.ImageSource.I0.Sensor.SlaveTo";
const char kSlave1[] = "root.ImageSource.I1.Sensor.SlaveTo";
const char kExp0[] = "root.ImageSource.I0.Sensor.MaxExposureTime";
const char kExp1[] = "root.ImageSource.I1.Sensor.MaxExposureTime";

// A fresh camera root whose parameter store is seeded with exactly the given SlaveTo values
// (an absent optional leaves the parameter out, so that reading it fails).
class ParameterStore : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/pellum-param-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("ZENT_ROOT", root_.c_str(), 1);
        defaults_ = root_ + "/defaults.conf";
        setenv("QLPARAMETER_DEFAULTS", defaults_.c_str(), 1);
    }
    void TearDown() override
    {
        cleanup_param();
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        unsetenv("QLPARAMETER_DEFAULTS");
        unsetenv("ZENT_ROOT");
    }
    void seed(std::optional<std::string> s0, std::optional<std::string> s1)
    {
        // Each case gets a store of its own.
        cleanup_param();
        std::string cmd = "rm -rf '" + root_ + "/var'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        std::ofstream f(defaults_);
        f << "root.Properties.Firmware.Version=6.50.1\n";
        f << kExp0 << "=33000\n" << kExp1 << "=33000\n";
        if (s0)
            f << kSlave0 << "=" << *s0 << "\n";
        if (s1)
            f << kSlave1 << "=" << *s1 << "\n";
        f.close();
        init_param();
        ASSERT_NE(qlparam, nullptr);
    }
    // The committed value as another process would see it; nullopt when absent.
    static std::optional<std::string> stored(const char *name)
    {
        GError *error = nullptr;
        QLParameter *h = ql_parameter_new("test", &error);
        g_clear_error(&error);
        if (h == nullptr)
            return std::nullopt;
        gchar *value = nullptr;
        std::optional<std::string> out;
        if (ql_parameter_get(h, name, &value, &error))
            out = value;
        g_clear_error(&error);
        g_free(value);
        ql_parameter_free(h);
        return out;
    }
    std::string root_;
    std::string defaults_;
};

TEST_F(ParameterStore, PairingIsKeptOnlyWhenOneSensorAlreadyFollowsTheOther)
{
    using S = std::optional<std::string>;
    struct Case {
        S s0, s1;
        bool kept;
    } cases[] = {
        {"1", "-1", true},         // sensor 0 follows sensor 1
        {"1", std::nullopt, true}, // ... and sensor 1 cannot be read
        {"-1", "0", true},         // sensor 1 follows sensor 0
        {std::nullopt, "0", true}, // ... and sensor 0 cannot be read
        {"0", "0", false},           {"-1", "-1", false},
        {"1", "0", false},           {"1", "1", false},
        {"0", "-1", false},          {std::nullopt, std::nullopt, false},
        {"-1", std::nullopt, false}, {std::nullopt, "-1", false},
    };
    for (const Case &c : cases) {
        seed(c.s0, c.s1);
        const std::string what =
            (c.s0 ? *c.s0 : std::string("unreadable")) + "/" + (c.s1 ? *c.s1 : "unreadable");
        EXPECT_EQ(set_exposure_params(), 0) << what;
        if (c.kept) {
            EXPECT_EQ(stored(kSlave0), c.s0) << what;
            EXPECT_EQ(stored(kSlave1), c.s1) << what;
        } else {
            EXPECT_EQ(stored(kSlave0), S("-1")) << what;
            EXPECT_EQ(stored(kSlave1), S("0")) << what;
        }
        // The exposure limits are written (and committed) in every case.
        EXPECT_EQ(stored(kExp0), S("40000")) << what;
        EXPECT_EQ(stored(kExp1), S("40000")) << what;
    }
}

TEST_F(ParameterStore, ReadsAndWritesReportThroughTheirResults)
{
    seed("-1", "0");
    char *value = nullptr;
    ASSERT_EQ(get_param("root.Properties.Firmware.Version", &value), 0);
    EXPECT_STREQ(value, "6.50.1");
    g_free(value);

    // A failed read leaves the caller's value alone and clears the error for the next call.
    char sentinel[] = "untouched";
    value = sentinel;
    EXPECT_EQ(get_param("root.No.Such.Parameter", &value), -1);
    EXPECT_EQ(value, sentinel);
    EXPECT_EQ(qlerror, nullptr);

    // An absent value is written as the empty string.
    EXPECT_EQ(set_param("root.Tallyo.ProxyUrl", nullptr, 1), 0);
    EXPECT_EQ(stored("root.Tallyo.ProxyUrl"), std::optional<std::string>(""));

    // Without a handle every access fails.
    cleanup_param();
    value = sentinel;
    EXPECT_EQ(get_param("root.Properties.Firmware.Version", &value), -1);
    EXPECT_EQ(value, sentinel);
    EXPECT_EQ(set_param("root.Tallyo.ProxyUrl", "x", 1), -1);
}

} // namespace
