// The launcher's shell commands: their output cut into log lines the way a terminal would
// show it, the label each line carries, the exit status in the log, and the command's
// surroundings (no input, default signals, nothing left behind holding the launcher up).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../platform/syslog_capture.h"
#include "main.h"

namespace
{

std::vector<std::string> cut(const std::string &bytes, size_t step = 0)
{
    std::vector<std::string> lines;
    CommandOutput out([&](std::string_view l) { lines.emplace_back(l); });
    if (step == 0) {
        out.feed(bytes.data(), bytes.size());
    } else {
        for (size_t i = 0; i < bytes.size(); i += step)
            out.feed(bytes.data() + i, std::min(step, bytes.size() - i));
    }
    out.finish();
    return lines;
}

TEST(CommandOutput, LinesAsATerminalShowsThem)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(cut("one\ntwo\n"), (V{"one", "two"}));
    EXPECT_EQ(cut("no end"), (V{"no end"}));
    EXPECT_EQ(cut("\n\n\nx\n\n"), (V{"x"})); // empty lines say nothing
    EXPECT_EQ(cut("dos\r\nline\r\n"), (V{"dos", "line"}));
    EXPECT_EQ(cut("50%\r100%\n"), (V{"100%"})); // a redraw leaves the last state
    EXPECT_EQ(cut("abc\r"), (V{"abc"}));        // nothing drawn over it
    EXPECT_EQ(cut("long line\rok\n"), (V{"ok"}));
}

TEST(CommandOutput, CurlProgressMeterLeavesItsHeaderAndLastState)
{
    const std::string meter = "  % Total    % Received\n"
                              "                                 Dload\n"
                              "\r  0     0    0     0\r 50   100   50    50\r100   100  100   100\n"
                              "curl: (22) The requested URL returned error: 404\n";
    const std::vector<std::string> want = {
        "  % Total    % Received", "                                 Dload", "100   100  100   100",
        "curl: (22) The requested URL returned error: 404"};
    EXPECT_EQ(cut(meter), want);
    // However the bytes arrive from the pipe.
    for (size_t step : {1, 2, 3, 7, 64})
        EXPECT_EQ(cut(meter, step), want) << "step " << step;
}

TEST(CommandOutput, OverlongLinesComeOutInPieces)
{
    const size_t max = CommandOutput::max_line;
    std::string text(max * 2 + 5, 'a');
    text[max] = 'b';
    auto lines = cut(text + "\nz\n", 100);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string(max, 'a'));
    EXPECT_EQ(lines[1][0], 'b');
    EXPECT_EQ(lines[1].size(), max);
    EXPECT_EQ(lines[2].size(), 5u);
    EXPECT_EQ(lines[3], "z");
}

TEST(CommandLabel, FirstWordWithoutQuotesOrDirectories)
{
    EXPECT_EQ(command_label("killall -9 pyrun"), "killall");
    EXPECT_EQ(command_label("  curl --fail -L x"), "curl");
    EXPECT_EQ(command_label("'/r o/usr/local/packages/tallyo/package/update.sh' || tar"),
              "update.sh");
    EXPECT_EQ(command_label("/bin/rm -rf x"), "rm");
    EXPECT_EQ(command_label("true;false"), "true");
    EXPECT_EQ(command_label("'unterminated"), "unterminated");
    EXPECT_EQ(command_label(""), "sh");
    EXPECT_EQ(command_label("'' x"), "sh");
    EXPECT_EQ(command_label("dir/"), "sh");
}

class RunShell : public ::testing::Test
{
  protected:
    void SetUp() override { syslog_capture::clear(); }

    // Messages as "<priority> <text>".
    static std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const auto &m : syslog_capture::snapshot().messages)
            out.push_back(std::to_string(m.priority) + " " + m.text);
        return out;
    }
};

TEST_F(RunShell, OutputOfBothStreamsThenTheStatus)
{
    int status = run_shell("echo out; echo err >&2; printf 'x\\r\\ny'; exit 3", "job");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::vector<std::string> want = {"6 job: out", "6 job: err", "6 job: x", "6 job: y",
                                     "6 job exited with status 3"};
    EXPECT_EQ(messages(), want);
}

TEST_F(RunShell, SuccessIsLoggedAtDebugLevelAndNamedByTheFirstWord)
{
    EXPECT_EQ(run_shell("true"), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"7 true exited with status 0"}));
}

TEST_F(RunShell, ASignalEndingTheCommandIsSaid)
{
    int status = run_shell("kill -TERM $$", "victim");
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(messages(), (std::vector<std::string>{"6 victim ended by signal 15"}));
}

TEST_F(RunShell, TheCommandReadsNothing)
{
    // cat would wait for input forever on an inherited terminal or pipe.
    EXPECT_EQ(run_shell("cat; echo done", "cat"), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"6 cat: done", "7 cat exited with status 0"}));
}

TEST_F(RunShell, SignalsBlockedOrIgnoredByTheCallerDoNotReachTheCommand)
{
    // The worker thread may run with signals blocked and the launcher ignores some; the
    // command must still be stoppable by them.
    struct sigaction ignore = {};
    struct sigaction old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGUSR2, &ignore, &old), 0);
    int status = -1;
    std::thread t([&] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        status = run_shell("kill -USR2 $$; kill -TERM $$; echo survived", "masked");
    });
    t.join();
    sigaction(SIGUSR2, &old, nullptr);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGUSR2);
}

TEST_F(RunShell, ABackgroundChildHoldingTheOutputDoesNotHoldTheLauncher)
{
    char dir[] = "/tmp/pellum-shell-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string pidfile = std::string(dir) + "/pid";
    // The sleeper keeps the output pipe open for a minute after the command has ended.
    const std::string cmd = "sleep 60 & echo $! > " + pidfile + "; echo started";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run_shell(cmd.c_str(), "bg"), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    std::ifstream f(pidfile);
    pid_t sleeper = 0;
    f >> sleeper;
    if (sleeper > 0)
        kill(sleeper, SIGKILL);
    std::system((std::string("rm -rf ") + dir).c_str());
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(messages(), (std::vector<std::string>{"6 bg: started", "7 bg exited with status 0"}));
}

TEST_F(RunShell, TwoThreadsAtOnceKeepTheirLinesApart)
{
    // The main loop (low-memory kill) and the worker (downloads) may run commands together.
    auto job = [](const char *name) {
        std::string cmd =
            std::string("for i in 1 2 3 4 5 6 7 8 9 10; do echo ") + name + " $i; done";
        for (int k = 0; k < 10; ++k)
            EXPECT_EQ(run_shell(cmd.c_str(), name), 0);
    };
    std::thread a(job, "alpha");
    std::thread b(job, "beta");
    a.join();
    b.join();
    int alpha = 0;
    int beta = 0;
    for (const auto &m : messages()) {
        if (m.rfind("6 alpha: alpha ", 0) == 0)
            ++alpha;
        else if (m.rfind("6 beta: beta ", 0) == 0)
            ++beta;
        else
            EXPECT_TRUE(m == "7 alpha exited with status 0" || m == "7 beta exited with status 0")
                << m;
    }
    EXPECT_EQ(alpha, 100);
    EXPECT_EQ(beta, 100);
}

} // namespace
