// The parameter pages: the settings section of the all-parameters page byte for byte (value
// quoting, secrets, groups), the script form, writing settings from queries with their edge
// cases, the short replies, and page building beside the errors page on another thread.
#include "pages.h"
#include "pwdcheck.h"
#include "services_fixture.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace
{

using services_test::ServicesTest;
namespace fs = std::filesystem;

class Pages : public ServicesTest
{
  protected:
    void SetUp() override
    {
        ServicesTest::SetUp();
        install_knobctl();
        param_set_current_size(-1, -1);
    }
    static void setting(const char *stored, const char *value)
    {
        set((std::string("root.stereo.") + stored).c_str(), value);
    }
    static std::string allparams(const char *query = "", int *len = nullptr)
    {
        int n = -1;
        std::string page = gen_allparams_page(nullptr, query, &n);
        EXPECT_EQ(n, static_cast<int>(page.size()));
        if (len != nullptr)
            *len = n;
        return page;
    }
    static std::string settings_section(const std::string &page)
    {
        std::size_t at = page.find(",\n  \"Build\" : {");
        return at == std::string::npos ? page : page.substr(0, at);
    }
    static std::string set_page(int *count, const char *query, bool sync = true)
    {
        int n = -1;
        std::string reply = sync ? gen_setparams_page(count, query, &n)
                                 : gen_setparams_nosync_page(count, query, &n);
        EXPECT_EQ(n, static_cast<int>(reply.size()));
        return reply;
    }
};

TEST_F(Pages, SettingsSectionQuotingSecretsAndGroups)
{
    setting("Build0Tag", "skipped");
    setting("Counter0Zoom", "5000");
    setting("Counter0Name", "a/b");
    setting("Counter0Quote", "a\"/b");
    setting("Counter0Back", "a\\\"b");
    setting("Counter0Tab", "a\tb");
    setting("CounterX0Y", "1");
    setting("Environment0SysPwd", "secret");
    setting("Httppost0Pass", "");
    setting("Other0Pwd", "x");
    setting("WebReportUpload0Pass", "hunter2");
    EXPECT_EQ(settings_section(allparams()), "{\n"
                                             "  \"Counter\": {\n"
                                             "    \"Back\": \"a\\\\\\\"b\",\n"
                                             "    \"Name\": \"a/b\",\n"
                                             "    \"Quote\": \"a\\\"\\/b\",\n"
                                             "    \"Tab\": \"a\\tb\",\n"
                                             "    \"Zoom\": \"5000\"\n"
                                             "  },\n"
                                             "  \"CounterX\": {\n"
                                             "    \"Y\": \"1\"\n"
                                             "  },\n"
                                             "  \"Environment\": {\n"
                                             "    \"SysPwd\": \"****\"\n"
                                             "  },\n"
                                             "  \"Httppost\": {\n"
                                             "    \"Pass\": \"\"\n"
                                             "  },\n"
                                             "  \"Other\": {\n"
                                             "    \"Pwd\": \"****\"\n"
                                             "  },\n"
                                             "  \"WebReportUpload\": {\n"
                                             "    \"Pass\": \"*******\"\n"
                                             "  }");
}

TEST_F(Pages, BuildAndStaticSectionsFollow)
{
    setenv("ZENT_TEST_BUILD_DATE", "2024-03-05", 1);
    set("root.Brand.ProdNbr", "P1455-LE-3");
    set("root.Properties.System.SerialNumber", "ACCC\"8E");
    zent_param_set_error(ERROR_NO_NTP);
    std::string page = allparams();
    std::size_t build = page.find("\n  \"Build\" : {");
    ASSERT_NE(build, std::string::npos);
    std::string rest = page.substr(build);
    EXPECT_EQ(rest.substr(0, rest.find("\"Lens\"")),
              "\n  \"Build\" : {\n    \"Name\" : \"stereo\",\n    \"Version\" : \"\",\n"
              "    \"Build\" : \"\",\n    \"BuildDate\" : \"2024-03-05\"\n  },\n"
              "  \"Static\" : {\n    \"Width\" : 320,\n    \"Height\" : 240,\n"
              "    \"Manufacturer\" : \"Orvex\",\n    \"ModelName\" : \"P1455-LE-3\",\n"
              "    \"Serial\" : \"ACCC\\\"8E\",\n    ");
    EXPECT_NE(rest.find("    \"Lens\" : 2.8,\n    \"LensLambda\" : 1.02,\n    \"Ccdw\" : 5.12,\n"
                        "    \"DigitalZoomFactor\" : 1,\n    \"Timestamp\" : \""),
              std::string::npos)
        << rest;
    EXPECT_NE(
        rest.find("\",\n    \"UsingHOSTRA\" : 0,\n    \"Anonymous\" : 0,\n"
                  "    \"Errors\" : {\n      \"ERROR_NO_NTP\" : \"The camera is not configured"),
        std::string::npos)
        << rest;
    EXPECT_TRUE(rest.ends_with("correct.\"\n    }\n  }\n}")) << rest;
    // The size recorded by the first page stays.
    int w = 0, h = 0;
    zent_props::current_size(&w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    std::ofstream(root / "anon.lock") << "";
    zent_param_clear_error(ERROR_NO_NTP);
    page = allparams();
    EXPECT_NE(page.find("\"Anonymous\" : 1\n  }\n}"), std::string::npos) << page;
}

TEST_F(Pages, ScriptFormOnlyForAPlainVariableName)
{
    setting("Counter0Zoom", "1");
    EXPECT_EQ(allparams("&variable=cfg").substr(0, 12), "var cfg = {\n");
    EXPECT_EQ(allparams("a=1&variable=$cfg_2&b=2").substr(0, 15), "var $cfg_2 = {\n");
    for (const char *q :
         {"&variable=x;alert(1)//", "&variable=", "&variable=1abc",
          "&variable=abcdefghijklmnopqrstuvwxyz01234", "variable=cfg", "&variable=a b"})
        EXPECT_EQ(allparams(q).substr(0, 2), "{\n") << q;
}

TEST_F(Pages, WithoutTheListerThePageHasNoSettings)
{
    fs::remove(root / "usr/bin/knobctl");
    setting("Counter0Zoom", "1");
    std::string page = allparams();
    EXPECT_EQ(page.substr(0, 16), "{\n  \"Build\" : {\n");
}

TEST_F(Pages, AnOverfullPageIsCutAndLoggedOnce)
{
    for (int i = 0; i < 300; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Counter0Setting%03d", i);
        setting(name, "a fairly long value of forty bytes.....");
    }
    int len = 0;
    std::string page = allparams("", &len);
    EXPECT_LT(len, ZENT_PAGE_BUFFER_SIZE);
    EXPECT_GT(len, ZENT_PAGE_BUFFER_SIZE - 80);
    // Cut after a whole member.
    EXPECT_EQ(page.substr(page.size() - 2), ".\"");
    allparams();
    int warnings_logged = 0;
    for (const std::string &m : logged())
        warnings_logged += m.rfind("4 param: gen_allparams_page(): page cut at", 0) == 0;
    EXPECT_EQ(warnings_logged, 1);
}

TEST_F(Pages, SetParamsWritesCommitsAndRaisesTheFlag)
{
    int one = 1;
    EXPECT_EQ(set_page(&one, "&p1=Counter.Zoom&v1=5000"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "5000");
    EXPECT_EQ(zent_param_updated(), 1);
    EXPECT_EQ(set_page(&one, "&p1=Counter.Zoom&v1=6000", false), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "6000");
    EXPECT_EQ(zent_param_updated(), 0);
    // Nothing written: no flag either.
    EXPECT_EQ(set_page(&one, "&x=1"), "OK\n");
    EXPECT_EQ(zent_param_updated(), 0);
    EXPECT_EQ(set_page(&one, nullptr), "OK\n");
}

TEST_F(Pages, SetParamsQueryEdges)
{
    int three = 3;
    // Only the first of three pairs present.
    EXPECT_EQ(set_page(&three, "&p1=Counter.A&v1=1"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.A"), "1");
    // Pair 1 without its value key: pair 2 is still written.
    EXPECT_EQ(set_page(&three, "&p1=Counter.B&p2=Counter.C&v2=3"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.B"), "");
    EXPECT_STREQ(zent_param_get("Counter.C"), "3");
    // A value key before its name key is not the pair's value.
    EXPECT_EQ(set_page(&three, "&v1=9&p1=Counter.D&v1=4"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.D"), "4");
    // Values end at the next '&' and are not decoded; names that swallow other keys are
    // skipped.
    EXPECT_EQ(set_page(&three, "&p1=Counter.E&v1=a%20b&next=1&p2=Counter.F&junk=1&v2=6"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.E"), "a%20b");
    EXPECT_STREQ(zent_param_get("Counter.F"), "");
    // Search goes on after the previous value: pair 2 before pair 1 is not seen.
    EXPECT_EQ(set_page(&three, "&p2=Counter.G&v2=7&p1=Counter.H&v1=8"), "OK\n");
    EXPECT_STREQ(zent_param_get("Counter.H"), "8");
    EXPECT_STREQ(zent_param_get("Counter.G"), "");
    // Values are cut at 4799 characters.
    std::string q = "&p1=Counter.Big&v1=" + std::string(6000, 'v');
    EXPECT_EQ(set_page(&three, q.c_str()), "OK\n");
    EXPECT_EQ(std::strlen(zent_param_get("Counter.Big")), 4799u);
}

TEST_F(Pages, MaskedSecretsAreNeverWrittenBack)
{
    setting("Environment0SysPwd", "real-secret");
    int two = 2;
    for (bool sync : {true, false}) {
        syslog_capture::clear();
        EXPECT_EQ(set_page(&two, "&p1=Environment.SysPwd&v1=****&p2=Counter.Zoom&v2=12", sync),
                  "OK\n");
        EXPECT_STREQ(zent_param_get("Environment.SysPwd"), "real-secret");
        EXPECT_EQ(logged(),
                  std::vector<std::string>{"7 param: Neglecting param Environment.SysPwd=****"});
    }
    EXPECT_STREQ(zent_param_get("Counter.Zoom"), "12");
}

TEST_F(Pages, ShortReplies)
{
    int n = -1;
    EXPECT_STREQ(gen_setparams_page(nullptr, "&p1=Counter.A&v1=1", &n), "need number of args");
    EXPECT_EQ(n, 19);
    int negative = -2;
    EXPECT_STREQ(gen_setparams_nosync_page(&negative, "&p1=Counter.A&v1=1", &n),
                 "need number of args");
    EXPECT_EQ(n, 19);
    EXPECT_STREQ(zent_param_get("Counter.A"), "");
    EXPECT_STREQ(gen_factorydefaults_page(nullptr, nullptr, &n), "OK\n");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(zent_param_updated(), 1);
}

TEST_F(Pages, PasswordPageWithoutBothParts)
{
    int n = -1;
    const std::string refused = "{\n\t\"success\" : false\n}";
    EXPECT_EQ(std::string(pwdcheck_page(nullptr, "user=root", &n)), refused);
    EXPECT_EQ(n, 22);
    EXPECT_EQ(logged(), std::vector<std::string>{"7 pwdcheck: Could not parse password string"});
    syslog_capture::clear();
    // The password is looked for after the user name only.
    EXPECT_EQ(std::string(pwdcheck_page(nullptr, "pass=x&user=root", &n)), refused);
    EXPECT_EQ(logged(), std::vector<std::string>{"7 pwdcheck: Could not parse password string"});
    syslog_capture::clear();
    EXPECT_EQ(std::string(pwdcheck_page(nullptr, nullptr, &n)), refused);
    EXPECT_EQ(logged(), (std::vector<std::string>{"7 pwdcheck: Could not parse user string.",
                                                  "7 pwdcheck: Could not parse password string"}));
    // Nothing was run for them.
    EXPECT_FALSE(fs::exists(root / "tmp/curl.calls"));
    EXPECT_EQ(pwdcheck(nullptr, "x"), -1);
    EXPECT_EQ(pwdcheck("root", nullptr), -1);
}

TEST_F(Pages, HostedVideoUserReply)
{
    int n = -1;
    set("root.RemoteService.Enabled", "no");
    setting("Environment0SysAccount", "LumentaCamapi");
    setting("Environment0SysPwd", "pw\"x");
    EXPECT_STREQ(show_hostra_user(nullptr, nullptr, &n), "");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(zent_param_get_using_hostra(), 0);
    set("root.RemoteService.Enabled", "yes-managed");
    EXPECT_EQ(zent_param_get_using_hostra(), 1);
    const char *expected = "{\"user\": \"LumentaCamapi\",\"password\": \"pw\\\"x\"}";
    EXPECT_STREQ(show_hostra_user(nullptr, nullptr, &n), expected);
    EXPECT_EQ(n, static_cast<int>(std::strlen(expected)));
    // One that would not fit its reply is not sent cut.
    zent_param_cleanup();
    setting("Environment0SysPwd", std::string(80, 'p').c_str());
    EXPECT_STREQ(show_hostra_user(nullptr, nullptr, &n), "");
    EXPECT_EQ(n, 0);
}

// The recording thread takes its private copy of the page while the web pages use the
// shared buffer: neither may see the other's text.
TEST_F(Pages, PageCopiesAreWholeBesideTheErrorsPage)
{
    setting("Counter0Zoom", "5000");
    zent_param_set_error(ERROR_NO_NTP);
    const std::string reference = settings_section(zent_allparams_text());
    ASSERT_EQ(reference.substr(0, 14), "{\n  \"Counter\":");
    std::atomic<bool> stop{false};
    std::atomic<int> bad_errors{0};
    std::thread web([&] {
        while (!stop.load()) {
            int n = 0;
            gen_errors_page(nullptr, nullptr, &n);
            if (n < 40)
                ++bad_errors;
        }
    });
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(settings_section(zent_allparams_text()), reference);
    stop = true;
    web.join();
    EXPECT_EQ(bad_errors.load(), 0);
}

} // namespace
