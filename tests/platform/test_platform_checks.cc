// The sanity check step by step: which warnings each configuration raises or clears, in
// which order they land in the registry, where a missing value stops the check, the capture
// mode repair; and the delayed restart through the reboot stand-in.
#include "platform.h"
#include "services_fixture.h"

#include <chrono>
#include <thread>

namespace
{

using services_test::ServicesTest;
namespace fs = std::filesystem;

class Sanity : public ServicesTest
{
  protected:
    void SetUp() override
    {
        ServicesTest::SetUp();
        healthy();
    }

    static void healthy()
    {
        setenv("ZENT_TEST_BUILD_DATE", "2020-01-01", 1);
        set("root.Brand.ProdNbr", "P1455-LE-3");
        set("root.Time.SyncSource", "NTP");
        set("root.Time.NTP.Server", "pool.ntp.org");
        set("root.Time.NTP.VolatileServer", "");
        set("root.RemoteService.Enabled", "no");
        set("root.Image.I0.Appearance.Rotation", "0");
        set("root.Image.I0.Appearance.MirrorEnabled", "no");
        set("root.ImageSource.I0.Sensor.CaptureMode", "1");
    }

    static void raise_all()
    {
        zent_param_set_error(ERROR_SANE_CHECK);
        zent_param_set_error(ERROR_TIME_IS_WRONG);
        zent_param_set_error(ERROR_NO_NTP);
        zent_param_set_error(ERROR_IMAGE_IS_ROTATED);
    }

    using W = std::vector<std::string>;
};

TEST_F(Sanity, AHealthyCameraClearsEveryWarning)
{
    raise_all();
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), W{});
    // The optical zoom of a camera without optics control does not change.
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), W{});
}

TEST_F(Sanity, ProblemsRaiseTheirWarningsInCheckOrder)
{
    setenv("ZENT_TEST_BUILD_DATE", "2999-01-01", 1);
    set("root.Time.NTP.Server", "");
    set("root.Image.I0.Appearance.Rotation", "180");
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), (W{"ERROR_TIME_IS_WRONG", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED"}));
    int len = 0;
    std::string page = gen_errors_page(nullptr, nullptr, &len);
    std::size_t at = page.find("\",\"errors\":{");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(
        page.substr(at),
        "\",\"errors\":{\"ERROR_TIME_IS_WRONG\":\"The time set on the camera is likley wrong. "
        "Please verify.\",\"ERROR_NO_NTP\":\"The camera is not configured to use NTP. This is "
        "highly recommended to make sure your time settings are correct.\","
        "\"ERROR_IMAGE_IS_ROTATED\":\"The image has been rotated or mirrored. This has no "
        "effect for the stereo but will display the image wrong.\"}}\n");
    // Each run judges again: fixed settings clear their warnings.
    setenv("ZENT_TEST_BUILD_DATE", "2020-01-01", 1);
    set("root.Image.I0.Appearance.Rotation", "0");
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), W{"ERROR_NO_NTP"});
}

TEST_F(Sanity, TimeSynchronisationRules)
{
    struct Case {
        const char *source, *server, *volatile_server, *remote;
        bool warned;
    };
    const Case cases[] = {
        {"NTP", "", "", "no", true},          {"NTP", "", "", "yes", false},
        {"NTP", "", "10.0.0.1", "no", false}, {"NTP", "pool", "", "no", false},
        {"DHCP", "pool", "", "no", true},     {"DHCP", "", "", "yes", false},
        {"ntp", "pool", "", "no", true},      {"NTP", "", "", "yes please", true},
    };
    for (const Case &c : cases) {
        set("root.Time.SyncSource", c.source);
        set("root.Time.NTP.Server", c.server);
        set("root.Time.NTP.VolatileServer", c.volatile_server);
        set("root.RemoteService.Enabled", c.remote);
        EXPECT_EQ(platform_check_sanity(), 0);
        EXPECT_EQ(warnings(), c.warned ? W{"ERROR_NO_NTP"} : W{})
            << c.source << "/" << c.server << "/" << c.volatile_server << "/" << c.remote;
    }
}

TEST_F(Sanity, RotationAndMirroring)
{
    const std::pair<const char *, const char *> rotated[] = {
        {"180", "no"}, {"0", "yes"}, {"90", "yes"}};
    for (const auto &[rotation, mirror] : rotated) {
        set("root.Image.I0.Appearance.Rotation", rotation);
        set("root.Image.I0.Appearance.MirrorEnabled", mirror);
        EXPECT_EQ(platform_check_sanity(), 0);
        EXPECT_EQ(warnings(), W{"ERROR_IMAGE_IS_ROTATED"}) << rotation << " " << mirror;
    }
    set("root.Image.I0.Appearance.Rotation", "0");
    set("root.Image.I0.Appearance.MirrorEnabled", "no");
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), W{});
}

// A missing value fails the whole check at its step: the steps before it have run, the ones
// after it leave their warnings as they were.
TEST_F(Sanity, AMissingValueStopsTheCheckAtItsStep)
{
    struct Case {
        const char *build_date, *param, *value;
        W expected;
    };
    const Case cases[] = {
        {"",
         nullptr,
         nullptr,
         {"ERROR_TIME_IS_WRONG", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED", "ERROR_SANE_CHECK"}},
        {"2024-1-05",
         nullptr,
         nullptr,
         {"ERROR_TIME_IS_WRONG", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED", "ERROR_SANE_CHECK"}},
        {"2024",
         nullptr,
         nullptr,
         {"ERROR_TIME_IS_WRONG", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED", "ERROR_SANE_CHECK"}},
        {"20x4-01-05",
         nullptr,
         nullptr,
         {"ERROR_TIME_IS_WRONG", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED", "ERROR_SANE_CHECK"}},
        // The time warning's entry, cleared, is the first free one again.
        {"2020-01-01",
         "root.Time.SyncSource",
         "",
         {"ERROR_SANE_CHECK", "ERROR_NO_NTP", "ERROR_IMAGE_IS_ROTATED"}},
        {"2020-01-01",
         "root.Image.I0.Appearance.Rotation",
         "",
         {"ERROR_SANE_CHECK", "ERROR_IMAGE_IS_ROTATED"}},
        {"2020-01-01",
         "root.Image.I0.Appearance.MirrorEnabled",
         "",
         {"ERROR_SANE_CHECK", "ERROR_IMAGE_IS_ROTATED"}},
    };
    for (const Case &c : cases) {
        for (zent_error_t &e : errorset)
            e.name = e.message = nullptr;
        setenv("ZENT_TEST_BUILD_DATE", c.build_date, 1);
        if (c.param != nullptr)
            set(c.param, c.value);
        zent_param_set_error(ERROR_TIME_IS_WRONG);
        zent_param_set_error(ERROR_NO_NTP);
        zent_param_set_error(ERROR_IMAGE_IS_ROTATED);
        EXPECT_EQ(platform_check_sanity(), -1) << c.build_date << " " << (c.param ? c.param : "");
        EXPECT_EQ(warnings(), c.expected) << c.build_date << " " << (c.param ? c.param : "");
        healthy();
    }
    // The next good run takes the sanity warning away again.
    setenv("ZENT_TEST_BUILD_DATE", "2020-01-01", 1);
    zent_param_set_error(ERROR_SANE_CHECK);
    EXPECT_EQ(platform_check_sanity(), 0);
    EXPECT_EQ(warnings(), W{});
}

TEST_F(Sanity, CaptureModeRepairOnTheTwoListedModels)
{
    struct Case {
        const char *model, *mode, *after;
        bool logged;
    };
    const Case cases[] = {
        {"S3220", "1", "2", true},  {"S3220-E", "3", "2", true}, {"S3220", "2", "2", false},
        {"S3220", "4", "4", false}, {"S4410", "2", "3", true},   {"S4410", "", "3", true},
        {"S4410", "3", "3", false}, {"P1455", "1", "1", false},
    };
    for (const Case &c : cases) {
        zent_param_cleanup();
        set("root.Brand.ProdNbr", c.model);
        set("root.ImageSource.I0.Sensor.CaptureMode", c.mode);
        syslog_capture::clear();
        while (zent_param_updated()) {
        }
        EXPECT_EQ(platform_check_sanity(), 0);
        EXPECT_STREQ(zent_param_get_capture_mode(), c.after) << c.model << " " << c.mode;
        bool repaired = false;
        for (const std::string &m : logged())
            repaired |= m == "7 platform: Bad capture mode, setting it to a working one.";
        EXPECT_EQ(repaired, c.logged) << c.model << " " << c.mode;
        EXPECT_EQ(zent_param_updated(), c.logged ? 1 : 0);
    }
}

TEST(Restart, RebootsThreeSecondsLaterAndFallsBackToSbin)
{
    const char *tools = ZENT_TEST_SIM_TOOLS;
    const char *tmp = std::getenv("TEST_TMPDIR");
    if (tmp == nullptr)
        tmp = ZENT_TEST_SCRATCH;
    std::vector<fs::path> roots;
    for (const char *name : {"restart-ok", "restart-fallback"}) {
        fs::path r = fs::path(tmp) / (name + std::string("-") + std::to_string(getpid()));
        fs::remove_all(r);
        fs::create_directories(r / "sbin");
        fs::create_directories(r / "tmp");
        fs::copy_file(fs::path(tools) / "reboot", r / "sbin/reboot");
        roots.push_back(r);
    }
    // The first reboot of the second camera fails: the command falls back to /sbin/reboot.
    std::ofstream(roots[1] / "tmp/reboot.fail") << "1\n";
    auto started = std::chrono::steady_clock::now();
    for (const fs::path &r : roots) {
        setenv("ZENT_ROOT", r.c_str(), 1);
        EXPECT_EQ(platform_restart(), 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    using test_files::file_lines;
    auto deadline = started + std::chrono::seconds(20);
    while ((file_lines(roots[0] / "tmp/reboot.calls").size() < 1 ||
            file_lines(roots[1] / "tmp/reboot.calls").size() < 2) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2900));
    EXPECT_EQ(file_lines(roots[0] / "tmp/reboot.calls"),
              std::vector<std::string>{(roots[0] / "sbin/reboot ").string()});
    EXPECT_EQ(file_lines(roots[1] / "tmp/reboot.calls"),
              (std::vector<std::string>{(roots[1] / "sbin/reboot ").string(),
                                        (roots[1] / "sbin/reboot ").string()}));
    EXPECT_EQ(get_quit_signal(), 0);
    for (const fs::path &r : roots)
        fs::remove_all(r);
    unsetenv("ZENT_ROOT");
}

} // namespace
