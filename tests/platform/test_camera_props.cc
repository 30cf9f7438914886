// Camera properties against the parameter stand-in's store: caching and its log lines, cut
// buffers, writes only on change, firmware parsing, wide mode, the table lookups and their
// precedence, the motorised-zoom answer through the parameter lister, factory defaults.
#include "camera_props.h"
#include "platform.h"
#include "services_fixture.h"

#include <cmath>
#include <regex>

namespace
{

using services_test::ServicesTest;
namespace fs = std::filesystem;

class CameraProps : public ServicesTest
{
  protected:
    static void camera(const char *model, const char *hwid = "7A4")
    {
        set("root.Brand.ProdNbr", model);
        set("root.Properties.System.HardwareID", hwid);
    }
    // An application setting, straight into the store (the updated flag stays down).
    static void setting(const char *stored, const char *value)
    {
        set((std::string("root.stereo.") + stored).c_str(), value);
    }
};

TEST_F(CameraProps, CachedTextsAreReadOnceLoggedAndDroppedByCleanup)
{
    set("root.Brand.ProdNbr", "S3210-E");
    set("root.System.BoaPort", "8080");
    forget_calls();
    EXPECT_STREQ(zent_param_get_camera_model(), "S3210-E");
    EXPECT_STREQ(zent_param_get_camera_model(), "S3210-E");
    EXPECT_STREQ(zent_param_get_boa_port(), "8080");
    EXPECT_STREQ(zent_param_get_serialno(), "ACCC8E5A0F11");
    EXPECT_STREQ(zent_param_get_hwid(), "7A4");
    EXPECT_STREQ(zent_param_get_serialno(), "ACCC8E5A0F11");
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "param_get Brand.ProdNbr ok",
                           "param_get root.System.BoaPort ok",
                           "param_get Properties.System.SerialNumber ok",
                           "param_get Properties.System.HardwareID ok",
                       }));
    EXPECT_EQ(logged(), (std::vector<std::string>{"7 param: param_get model: S3210-E\n",
                                                  "7 param: param_get boa port: 8080\n"}));
    set("root.Brand.ProdNbr", "P1455-LE-3");
    EXPECT_STREQ(zent_param_get_camera_model(), "S3210-E");
    zent_param_cleanup();
    EXPECT_STREQ(zent_param_get_camera_model(), "P1455-LE-3");
}

TEST_F(CameraProps, UnreadableTextsAreEmptyAndTriedAgain)
{
    setenv("QLPARAMETER_FAIL", "get:all", 1);
    EXPECT_STREQ(zent_param_get_boa_port(), "");
    EXPECT_STREQ(zent_param_get_camera_model(), "");
    EXPECT_STREQ(zent_param_get_serialno(), "");
    EXPECT_STREQ(zent_param_get_hwid(), "");
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "7 param: param_get boa port failed",
                            "7 param: param_get model failed\n",
                            "7 param: param_get serial failed\n",
                            "7 param: param_get hardware id failed\n",
                        }));
    unsetenv("QLPARAMETER_FAIL");
    EXPECT_STREQ(zent_param_get_serialno(), "ACCC8E5A0F11");
}

TEST_F(CameraProps, BufferedGettersCutToTheirBuffers)
{
    set("root.Network.Bonjour.FriendlyName", std::string(300, 'b').c_str());
    set("root.Network.eth0.IPAddress", "255.255.255.255-and-more");
    set("root.Time.POSIXTimeZone", std::string(150, 'z').c_str());
    set("root.ImageSource.I0.Sensor.CaptureMode", "12345678901234");
    EXPECT_EQ(std::string(zent_param_get_bonjour_name()), std::string(199, 'b'));
    EXPECT_STREQ(zent_param_get_ip(), "255.255.255.255");
    EXPECT_EQ(std::string(zent_param_get_timezone()), std::string(99, 'z'));
    EXPECT_STREQ(zent_param_get_capture_mode(), "123456789");
    // A shorter value after a longer one leaves nothing of the old text behind.
    set("root.Network.eth0.IPAddress", "10.0.0.1");
    EXPECT_STREQ(zent_param_get_ip(), "10.0.0.1");
    setenv("QLPARAMETER_FAIL", "get:root.Network.eth0.IPAddress", 1);
    EXPECT_STREQ(zent_param_get_ip(), "");
}

TEST_F(CameraProps, SettersWriteOnlyChangesAndRaiseTheFlag)
{
    set("root.ImageSource.I0.Sensor.CaptureMode", "2");
    forget_calls();
    EXPECT_EQ(zent_param_set_capture_mode("2"), 0);
    EXPECT_EQ(zent_param_updated(), 0);
    EXPECT_EQ(calls(),
              std::vector<std::string>{"param_get root.ImageSource.I0.Sensor.CaptureMode ok"});
    EXPECT_EQ(zent_param_set_capture_mode("3"), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_STREQ(zent_param_get_capture_mode(), "3");
    EXPECT_EQ(zent_param_set_bonjour_name("Hall camera"), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_STREQ(zent_param_get_bonjour_name(), "Hall camera");
    setenv("QLPARAMETER_FAIL", "set:all", 1);
    EXPECT_EQ(zent_param_set_bonjour_name("Other"), 1);
    EXPECT_EQ(zent_param_updated(), 0);
}

TEST_F(CameraProps, FirmwareVersionIsParsedOnceAndKept)
{
    std::string out = in_child([&] {
        set("root.Properties.Firmware.Version", "6.50.1");
        zent_version *v = zent_param_get_firmware_version();
        std::string s;
        for (int n : v->num)
            s += std::to_string(n) + " ";
        set("root.Properties.Firmware.Version", "7.0");
        return s + "| " + std::to_string(zent_param_get_firmware_version()->num[0]);
    });
    EXPECT_EQ(out, "6 50 1 -1 | 6");

    out = in_child([&] {
        set("root.Properties.Firmware.Version", "..5.40.2-beta");
        zent_version *v = zent_param_get_firmware_version();
        return std::to_string(v->num[0]) + "." + std::to_string(v->num[1]) + "." +
               std::to_string(v->num[2]) + "." + std::to_string(v->num[3]);
    });
    EXPECT_EQ(out, "5.40.2.-1");

    // An empty version is a warning and is read again next time.
    out = in_child([&] {
        set("root.Properties.Firmware.Version", "");
        std::string first = std::to_string(zent_param_get_firmware_version()->num[0]);
        set("root.Properties.Firmware.Version", "6.1");
        std::string second = std::to_string(zent_param_get_firmware_version()->num[1]);
        return first + " " + second + " " + logged().at(0);
    });
    EXPECT_EQ(out, "-1 1 4 param: Invalid firmware version format!");
}

// Wide mode and the image sizes that follow from it, each in a fresh process (the firmware
// record is kept for the life of one).
TEST_F(CameraProps, WideModeNeedsTheRequestAWideModelAndFirmware540)
{
    struct Case {
        const char *try_wide, *model, *firmware;
        const char *expected;
    };
    const Case cases[] = {
        {"0", "S3210", "6.10", "0 none 320x240 320x240 640x480"},
        {"", "S3210", "6.10", "0 none 320x240 320x240 640x480"},
        {"1", "S2110", "6.10", "0 none 320x240 320x240 640x480"},
        {"1", "S3210", "5.30", "0 ERROR_OLD_FIRMWARE 320x240 320x240 640x480"},
        {"1", "S3210", "5.40", "1 none 640x360 640x360 640x400"},
        {"1", "S3210-LE", "5.40.0.7", "1 none 640x360 640x360 640x400"},
        {"1", "S3210", "6.10", "1 none 640x360 640x360 640x400"},
    };
    for (const Case &c : cases) {
        std::string out = in_child([&] {
            setting("Counter0TryWideScreen", c.try_wide);
            camera(c.model);
            set("root.Properties.Firmware.Version", c.firmware);
            int wide = zent_param_wide_mode_supported();
            std::vector<std::string> w = warnings();
            return std::to_string(wide) + " " + (w.empty() ? "none" : w[0]) + " " +
                   std::to_string(platform_default_image_width()) + "x" +
                   std::to_string(platform_default_image_height()) + " " +
                   std::to_string(platform_max_image_width()) + "x" +
                   std::to_string(platform_max_image_height()) + " " +
                   std::to_string(platform_highres_image_width()) + "x" +
                   std::to_string(platform_highres_image_height());
        });
        EXPECT_EQ(out, c.expected) << c.try_wide << " " << c.model << " " << c.firmware;
    }
}

TEST_F(CameraProps, DigitalZoomLensInterpolatesInTheRow)
{
    camera("P1455-LE-3");
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(0), 2.8f);
    EXPECT_NEAR(interpolate_dzoom_lens(1500), (3.1f + 3.5f) / 2, 1e-5);
    EXPECT_NEAR(interpolate_dzoom_lens(9999), 8.4f + (9.5f - 8.4f) * 0.999f, 1e-4);
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(12000), interpolate_dzoom_lens(9999));
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(5000), 5.0f);
    // Below the table is its first point, not memory before it.
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(-2500), 2.8f);
    // The hardware-ID row of a model comes before its general row.
    zent_param_cleanup();
    camera("S2110", "8B1.2");
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(0), 4.0f);
    zent_param_cleanup();
    camera("S2110", "8B1.7");
    EXPECT_FLOAT_EQ(interpolate_dzoom_lens(0), 3.6f);
    zent_param_cleanup();
    camera("X9999");
    EXPECT_EQ(interpolate_dzoom_lens(0), 0.0f);
    EXPECT_EQ(interpolate_dzoom_lens(4200), 0.0f);
}

TEST_F(CameraProps, DigitalZoomFactorAgainstPositionZero)
{
    camera("P1455");
    setting("Counter0DigitalZoomEnabled", "0");
    EXPECT_EQ(zent_param_get_dzoom_factor(0), 1.0f);
    EXPECT_EQ(zent_param_get_dzoom_factor(-3), 1.0f);
    EXPECT_NEAR(zent_param_get_dzoom_factor(5000), 5.0f / 2.8f, 1e-5);
    setting("Counter0DigitalZoomEnabled", "1");
    EXPECT_FLOAT_EQ(zent_param_get_dzoom_factor(0), 1.0f);
    EXPECT_NEAR(zent_param_get_dzoom_factor(10000), 9.4989f / 2.8f, 1e-3);
    // Without a lens row there is no magnification to report (never 0/0).
    zent_param_cleanup();
    camera("X9999");
    EXPECT_EQ(zent_param_get_dzoom_factor(5000), 1.0f);
}

TEST_F(CameraProps, SensorWidthWalksTheTableInOrder)
{
    auto ccdw = [&](const char *model, const char *hwid) {
        zent_param_cleanup();
        camera(model, hwid);
        return zent_param_get_ccdw();
    };
    setting("Counter0Ccdw", "3.3");
    EXPECT_FLOAT_EQ(ccdw("S2110", "8B1.2"), 4.8f); // the 5-character ID before its family
    EXPECT_FLOAT_EQ(ccdw("S2110", "8B1.9"), 4.5f);
    EXPECT_FLOAT_EQ(ccdw("S2110", "7A4"), 4.0f);
    EXPECT_FLOAT_EQ(ccdw("S4410", "7A4"), 3.3f);  // this model reads the setting
    EXPECT_FLOAT_EQ(ccdw("S7720", "7A4"), 3.6f);  // a 3-character family
    EXPECT_FLOAT_EQ(ccdw("P1455", "7A4"), 5.12f); // not wide: TryWideScreen unset
    EXPECT_EQ(ccdw("X9999", "7A4"), -1.0f);
    syslog_capture::clear();
    EXPECT_EQ(ccdw("P1455", "7B0"), -1.0f);
    std::vector<std::string> notes;
    for (const std::string &m : logged())
        if (m[0] == '4')
            notes.push_back(m);
    EXPECT_EQ(notes,
              std::vector<std::string>{
                  "4 param: Calibration for this camera (7B0) and its lens is not available.\n"});
    // A faked model takes the setting whatever the tables say.
    setting("Counter0FakeModel", "1");
    EXPECT_FLOAT_EQ(ccdw("P1455", "7A4"), 3.3f);

    std::string out = in_child([&] {
        setting("Counter0FakeModel", "0");
        setting("Counter0TryWideScreen", "1");
        set("root.Properties.Firmware.Version", "6.50.1");
        return std::to_string(ccdw("P1455", "7A4"));
    });
    EXPECT_EQ(out, std::to_string(5.76f));
}

TEST_F(CameraProps, LensFiguresFramesAndFakedModels)
{
    auto pick = [&](const char *model, const char *hwid) {
        zent_param_cleanup();
        camera(model, hwid);
    };
    setting("Counter0Lens", "6.25");
    pick("P1455", "7A4");
    EXPECT_FLOAT_EQ(zent_param_get_lens_lambda(), 1.02f);
    EXPECT_FLOAT_EQ(zent_param_get_lens_live_zoom(0), 2.8f);
    EXPECT_FLOAT_EQ(zent_param_get_lens(), 2.8f);
    EXPECT_EQ(zent_param_get_fps(), 20);
    pick("S6610-E", "6C2");
    EXPECT_FLOAT_EQ(zent_param_get_lens_live_zoom(0), 3.5f);
    EXPECT_EQ(zent_param_get_fps(), 30);
    pick("S6610-E", "7A4");
    EXPECT_FLOAT_EQ(zent_param_get_lens_live_zoom(0), 2.2f);
    pick("S6610", "6C2");
    EXPECT_FLOAT_EQ(zent_param_get_lens_live_zoom(0), 2.2f);
    pick("S4410", "7A4");
    EXPECT_FLOAT_EQ(zent_param_get_lens_live_zoom(0), 6.25f);
    pick("X9999", "7A4");
    EXPECT_EQ(zent_param_get_lens_lambda(), 0.0f);
    EXPECT_EQ(zent_param_get_lens_live_zoom(0), -1.0f);
    syslog_capture::clear();
    pick("P1455", "7B1");
    EXPECT_EQ(zent_param_get_lens_live_zoom(0), -1.0f);
    EXPECT_EQ(logged().back(),
              "4 param: Calibration for this camera (7B1) and its lens is not available.\n");
    setting("Counter0FakeModel", "2");
    EXPECT_FLOAT_EQ(zent_param_get_lens(), 6.25f);
}

TEST_F(CameraProps, MotorisedZoomIsDecidedByModelOrTheParameterLister)
{
    int n = 0;
    // Each case in a process and a camera root of its own: the answer is kept per process.
    auto answer = [&](const char *model, bool ptz_group, bool lister) {
        fs::path own = root / ("case" + std::to_string(++n));
        return in_child([&] {
            fs::create_directories(own / "tmp");
            setenv("ZENT_ROOT", own.c_str(), 1);
            root = own;
            zent_param_cleanup();
            if (lister)
                install_knobctl();
            camera(model);
            if (ptz_group)
                set("root.ptz.Limit.L1.MaxZoom", "9999");
            zent_param_get_camera_model();
            syslog_capture::clear();
            std::string first = std::to_string(zent_param_camera_has_tz7_zoom());
            std::string second = std::to_string(zent_param_camera_has_tz7_zoom());
            const auto runs = test_files::file_lines(own / "tmp/knobctl.calls").size();
            std::string log;
            for (const std::string &m : logged())
                log += "|" + m;
            return first + second + " runs=" + std::to_string(runs) + log;
        });
    };
    EXPECT_EQ(answer("Q6045-E", false, true), "11 runs=0");
    EXPECT_EQ(answer("P1435", false, true), "00 runs=0");
    // Once the lister found the group the answer is kept.
    EXPECT_EQ(answer("X9999", true, true), "11 runs=1");
    // Undetermined answers are not kept: asked again next time.
    const std::string undetermined =
        "|6 param: could not determine zoom capabilities, assuming no zoom\n";
    EXPECT_EQ(answer("X9999", false, true), "00 runs=2" + undetermined + undetermined);
    EXPECT_EQ(answer("X9999", false, false), "00 runs=0" + undetermined + undetermined);
}

TEST_F(CameraProps, ZoomPositionsWithoutAServer)
{
    // Setting the zoom is not supported: the PTZ camera only logs (in a child: the zoom
    // answer is kept for the process).
    std::string out = in_child([&] {
        camera("Q6045");
        zent_param_get_camera_model();
        syslog_capture::clear();
        zent_param_set_zoom(100);
        std::string log;
        for (const std::string &m : logged())
            log += m;
        return log;
    });
    EXPECT_EQ(out, "7 param: zent_param_set_zoom(): FIXME\n"
                   "7 param: zent_param_set_zoom(): could not set zoom properly\n");
    camera("P1455");
    EXPECT_EQ(zent_param_get_tz7_zoom(), 9999);
    setting("Counter0FakeModel", "1");
    setting("Counter0Zoom", "4321.7");
    EXPECT_EQ(zent_param_get_tz7_zoom(), 4321);
    // A camera without zoom is not even told.
    syslog_capture::clear();
    zent_param_set_zoom(100);
    EXPECT_TRUE(logged().empty());
    // Without a camera account nothing is asked.
    EXPECT_EQ(zent_param_get_digital_zoom(), -1);
    EXPECT_FALSE(fs::exists(root / "tmp/curl.calls"));
}

TEST_F(CameraProps, FactoryDefaultsAreWrittenAndCommitted)
{
    fs::create_directories(root / "usr/local/packages/stereo");
    std::ofstream(root / "usr/local/packages/stereo/param.conf.default")
        << "Counter0Zoom = \"5000\" type = \"int:min=0,max=9999\"\n"
        << "Counter0Desc=\"type=inside the value\" type=\"string\"\n"
        << "\n"
        << "Environment0Mode = \"auto\"   \r\n"
        << "Counter0Long = \"" << std::string(250, 'x') << "\"\n"
        << "Counter0Name = \"front door\"\n"
        << "NoGroupHere = \"x\"\n"
        << "Counter0Late = \"never\"\n";
    EXPECT_EQ(param_factory_defaults(), 0);
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "5000");
    EXPECT_STREQ(zent_param_get("Counter.Desc"), "type=inside the value");
    EXPECT_STREQ(zent_param_get("Environment.Mode"), "auto");
    EXPECT_STREQ(zent_param_get("Counter.Name"), "front door");
    EXPECT_STREQ(zent_param_get("Counter.Long"), "");
    EXPECT_STREQ(zent_param_get("Counter.Late"), "");
    EXPECT_EQ(logged(), (std::vector<std::string>{"6 param: defaults line too long, skipped",
                                                  "6 param: could not determine group"}));

    // A line without its quotes ends the reading too.
    syslog_capture::clear();
    std::ofstream(root / "usr/local/packages/stereo/param.conf.default")
        << "Counter0A = \"1\"\nCounter0B = 2\nCounter0C = \"3\"\n";
    EXPECT_EQ(param_factory_defaults(), 0);
    EXPECT_STREQ(zent_param_get("Counter.A"), "1");
    EXPECT_STREQ(zent_param_get("Counter.C"), "");
    EXPECT_EQ(logged(), std::vector<std::string>{"6 param: could not determine value"});

    // Without the file the commit still marks the settings as updated.
    fs::remove(root / "usr/local/packages/stereo/param.conf.default");
    while (zent_param_updated()) {
    }
    EXPECT_EQ(param_factory_defaults(), 0);
    EXPECT_EQ(zent_param_updated(), 1);
}

TEST_F(CameraProps, BuildInformationAndConstants)
{
    EXPECT_STREQ(zent_param_get_build_product(), "stereo");
    EXPECT_STREQ(zent_param_get_build_version_string(), "");
    EXPECT_STREQ(zent_param_get_build_string(), "");
    EXPECT_TRUE(std::regex_match(zent_param_get_build_date(), std::regex("\\d{4}-\\d{2}-\\d{2}")))
        << zent_param_get_build_date();
    setenv("ZENT_TEST_BUILD_DATE", "2031-02-03", 1);
    EXPECT_STREQ(zent_param_get_build_date(), "2031-02-03");
    zent_version *b = zent_param_get_build_version();
    EXPECT_EQ(b->num[0], 0);
    EXPECT_EQ(b->num[1], 0);
    EXPECT_EQ(b->num[2], 0);
    EXPECT_EQ(b->num[3], -1);
    EXPECT_STREQ(zent_param_get_manufacturer(), "Orvex");
    EXPECT_GT(zent_param_get_uptime(), 0.0f);
}

} // namespace
