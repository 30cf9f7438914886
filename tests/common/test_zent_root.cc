// Camera-root mapping and shell quoting: every path and shell word of the system passes here.
#include "zent_root.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>

namespace
{

class RootEnv : public ::testing::Test
{
  protected:
    void TearDown() override { unsetenv("ZENT_ROOT"); }
};

std::string run_shell_echo(const std::string &word)
{
    std::string cmd = "printf '%s' " + word;
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "<popen failed>";
    std::array<char, 256> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    pclose(p);
    return out;
}

} // namespace

TEST_F(RootEnv, UnsetOrEmptyRootLeavesCameraPaths)
{
    unsetenv("ZENT_ROOT");
    EXPECT_EQ(zent_path("/tmp/package.tar.gz"), "/tmp/package.tar.gz");
    setenv("ZENT_ROOT", "", 1);
    EXPECT_EQ(zent_path("/usr/local/packages/tallyo/package/"),
              "/usr/local/packages/tallyo/package/");
    EXPECT_EQ(zent_root(), "");
}

TEST_F(RootEnv, RootIsPrependedAndTrailingSlashesDropped)
{
    setenv("ZENT_ROOT", "/var/tmp/cam//", 1);
    EXPECT_EQ(zent_path("/tmp/watchme"), "/var/tmp/cam/tmp/watchme");
    // Doubled separators inside camera paths are the camera's own and stay.
    EXPECT_EQ(zent_path("/usr/local/packages/tallyo/package//app.py"),
              "/var/tmp/cam/usr/local/packages/tallyo/package//app.py");
    setenv("ZENT_ROOT", "/", 1);
    EXPECT_EQ(zent_path("/anon.lock"), "//anon.lock");
}

TEST_F(RootEnv, CFormCutsAndReportsFullLength)
{
    setenv("ZENT_ROOT", "/r", 1);
    char buf[8];
    int need = zent_path_c("/tmp/package.tar.gz", buf, sizeof buf);
    EXPECT_EQ(need, 21);
    EXPECT_STREQ(buf, "/r/tmp/");
    char big[64];
    EXPECT_EQ(zent_path_c("/x", big, sizeof big), 4);
    EXPECT_STREQ(big, "/r/x");
}

TEST(ShellQuote, HostileWordsArriveUnchanged)
{
    const char *words[] = {"plain", "",         "a b",    "it's",         "$(touch /nonexistent/x)",
                           "`id`",  "a;b&&c|d", "'\"'\"", "line1\nline2", "\\",
                           "*",     "-x"};
    for (const char *w : words)
        EXPECT_EQ(run_shell_echo(zent_shell_quote(w)), w) << "word: " << w;
}

namespace
{

int run_shell_status(const std::string &cmd)
{
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(RootEnv, CameraToolsResolveInsideTheRootOnly)
{
    unsetenv("ZENT_ROOT");
    EXPECT_EQ(zent_tool("reboot"), "reboot");

    char dir[] = "/tmp/zent-tool-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    setenv("ZENT_ROOT", dir, 1);
    // The root has no copy: the host's own tool of that name must not run (the shell finds
    // nothing and says 127), whatever PATH holds.
    EXPECT_EQ(run_shell_status(zent_tool("true") + " 2>/dev/null"), 127);
    EXPECT_EQ(run_shell_status(zent_tool("reboot") + " 2>/dev/null"), 127);
    EXPECT_EQ(run_shell_status(zent_tool("/bin/true") + " 2>/dev/null"), 127);

    // The root's copy in usr/sbin runs; one in usr/bin is preferred to it.
    ASSERT_EQ(run_shell_status("mkdir -p " + root + "/usr/sbin " + root + "/usr/bin"), 0);
    const std::string sbin = root + "/usr/sbin/knobctl", bin = root + "/usr/bin/knobctl";
    ASSERT_EQ(run_shell_status("printf '#!/bin/sh\\nexit 7\\n' > " + sbin + " && chmod +x " + sbin),
              0);
    EXPECT_EQ(zent_tool("knobctl"), zent_shell_quote(sbin));
    EXPECT_EQ(run_shell_status(zent_tool("knobctl")), 7);
    ASSERT_EQ(run_shell_status("printf '#!/bin/sh\\nexit 5\\n' > " + bin), 0);
    EXPECT_EQ(run_shell_status(zent_tool("knobctl")), 7) << "a copy that cannot run is passed over";
    ASSERT_EQ(run_shell_status("chmod +x " + bin), 0);
    EXPECT_EQ(run_shell_status(zent_tool("knobctl")), 5);
    run_shell_status("rm -rf " + root);
}
