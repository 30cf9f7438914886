// Linking and concatenation of log files in a private directory, run through the real shell.
#include "concat_log.h"
#include "log.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

const std::string kRule = " ===========================================";

std::string banner(const std::string &title)
{
    return kRule + "\n    " + title + "\n" + kRule + "\n\n";
}

void write_file(const fs::path &p, const std::string &text)
{
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConcatLogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string tmpl = (fs::path(::testing::TempDir()) / "concat_log.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        setenv("ZENT_ROOT", root_.c_str(), 1);
        log_cleanup();
        syslog_capture::clear();
    }
    void TearDown() override
    {
        log_cleanup();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path make_dir(const std::string &name)
    {
        fs::path d = root_ / name;
        fs::create_directories(d);
        return d;
    }
    fs::path root_;
};

std::string slash(const fs::path &p)
{
    return p.string() + "/";
}

TEST_F(ConcatLogTest, TitleAndFilterAndOrder)
{
    auto title = [](const char *name) {
        char *t = logfix_title(name);
        std::string s = t ? t : "<null>";
        std::free(t);
        return s;
    };
    EXPECT_EQ(title("param.log.1"), "Param");
    EXPECT_EQ(title("capture.log"), "Capture");
    EXPECT_EQ(title("syslog"), "syslog");
    EXPECT_EQ(title(".log"), "");
    EXPECT_EQ(title("Zent.x.log"), "Zent");

    struct dirent a {
    }, b{};
    std::snprintf(a.d_name, sizeof a.d_name, "%s", "param.log");
    std::snprintf(b.d_name, sizeof b.d_name, "%s", "param.log.1");
    EXPECT_NE(logfix_filter_files(&a), 0);
    std::snprintf(a.d_name, sizeof a.d_name, "%s", "messages");
    EXPECT_EQ(logfix_filter_files(&a), 0);
    std::snprintf(a.d_name, sizeof a.d_name, "%s", "param.log");
    const struct dirent *pa = &a, *pb = &b;
    EXPECT_GT(logfix_sort_wrapper(&pa, &pb), 0); // descending: the longer name first
    EXPECT_LT(logfix_sort_wrapper(&pb, &pa), 0);
    EXPECT_EQ(logfix_sort_wrapper(&pa, &pa), 0);
}

TEST_F(ConcatLogTest, LinksOnlyLogFiles)
{
    fs::path src = make_dir("src"), dst = make_dir("dst");
    write_file(src / "a.log", "A\n");
    write_file(src / "b.log.1", "B\n");
    write_file(src / "notes.txt", "N\n");
    EXPECT_EQ(link_log_files(slash(src).c_str(), slash(dst).c_str()), 1);
    EXPECT_TRUE(fs::exists(dst / "a.log"));
    EXPECT_TRUE(fs::exists(dst / "b.log.1"));
    EXPECT_FALSE(fs::exists(dst / "notes.txt"));
    struct stat st {
    };
    ASSERT_EQ(stat((dst / "a.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u); // a hard link, not a copy
    EXPECT_TRUE(fs::equivalent(src / "a.log", dst / "a.log"));
    EXPECT_TRUE(syslog_capture::snapshot().messages.empty());
}

TEST_F(ConcatLogTest, LinkWithNothingToLinkAndMissingSource)
{
    fs::path src = make_dir("empty"), dst = make_dir("dst");
    write_file(src / "readme", "x");
    EXPECT_EQ(link_log_files(slash(src).c_str(), slash(dst).c_str()), 1);
    EXPECT_TRUE(fs::is_empty(dst));
    EXPECT_LT(link_log_files(slash(root_ / "missing").c_str(), slash(dst).c_str()), 0);
}

TEST_F(ConcatLogTest, FailedLinkIsLoggedAndOthersStillLinked)
{
    fs::path src = make_dir("src"), dst = make_dir("dst");
    write_file(src / "a.log", "A");
    write_file(src / "b.log", "B");
    write_file(dst / "a.log", "already here");
    EXPECT_EQ(link_log_files(slash(src).c_str(), slash(dst).c_str()), -1);
    EXPECT_EQ(read_file(dst / "a.log"), "already here");
    EXPECT_TRUE(fs::equivalent(src / "b.log", dst / "b.log"));
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0].priority, LOG_DEBUG);
    EXPECT_EQ(rec.messages[0].text,
              "concat_log: Could not link " + slash(src) + "a.log to " + slash(dst) + "a.log");

    // A target directory that does not exist fails every link.
    syslog_capture::clear();
    EXPECT_EQ(link_log_files(slash(src).c_str(), slash(root_ / "nowhere").c_str()), -1);
    EXPECT_EQ(syslog_capture::snapshot().messages.size(), 2u);
}

TEST_F(ConcatLogTest, MessagesInDescendingOrderWithOneBannerPerTitle)
{
    fs::path d = make_dir("logs");
    write_file(d / "param.log", "param 0\n");
    write_file(d / "param.log.1", "param 1\n");
    write_file(d / "capture.log", "capture 0\n");
    write_file(d / "syslog", "sys\n");
    write_file(d / "core.dump", "not a log\n");
    write_file(d / "messages", "stale\n");
    EXPECT_EQ(generate_messages_file(d.c_str()), 4);
    std::string expected = banner("syslog") + "sys\n" + banner("Param") + "param 1\n" +
                           "param 0\n" + banner("Capture") + "capture 0\n";
    EXPECT_EQ(read_file(d / "messages"), expected);

    // Run again: the first banner replaces the file, so nothing doubles.
    EXPECT_EQ(generate_messages_file(d.c_str()), 4);
    EXPECT_EQ(read_file(d / "messages"), expected);
}

TEST_F(ConcatLogTest, BannerRepeatsWhenTitleReturnsAfterAnother)
{
    fs::path d = make_dir("logs");
    // Descending byte order: "a.log", "B.log", "A.log" -> titles A, B, A.
    write_file(d / "a.log", "lower\n");
    write_file(d / "B.log", "bee\n");
    write_file(d / "A.log", "upper\n");
    write_file(d / "z", "never\n"); // no "log" in the name
    EXPECT_EQ(generate_messages_file(d.c_str()), 3);
    EXPECT_EQ(read_file(d / "messages"),
              banner("A") + "lower\n" + banner("B") + "bee\n" + banner("A") + "upper\n");
}

TEST_F(ConcatLogTest, EmptyDirectoryLeavesMessagesUntouched)
{
    fs::path d = make_dir("logs");
    write_file(d / "messages", "keep me\n");
    EXPECT_EQ(generate_messages_file(d.c_str()), 0);
    EXPECT_EQ(read_file(d / "messages"), "keep me\n");
    EXPECT_LT(generate_messages_file((root_ / "missing").c_str()), 0);
}

TEST_F(ConcatLogTest, HostileNamesStayInert)
{
    fs::path d = make_dir("it's $(touch dir-pwned) `x` \"q\"");
    const char *names[] = {"$(touch pwned1).log",
                           "a'b;touch pwned2;'.log",
                           "`touch pwned3`.log",
                           "back\\c slash.log",
                           "-n.log",
                           "x\" >pwned4 \".log"};
    std::string contents;
    for (const char *n : names)
        write_file(d / n, std::string("content of ") + n + "\n");

    fs::path cwd = fs::current_path();
    fs::current_path(d); // an injected relative `touch` would land here
    int count = generate_messages_file(d.c_str());
    fs::path dst = make_dir("dst 'links' $(touch pwned5)");
    int linked = link_log_files(slash(d).c_str(), slash(dst).c_str());
    fs::current_path(cwd);

    EXPECT_EQ(count, 6);
    EXPECT_EQ(linked, 1);
    for (const fs::path &where : {root_, d, dst, cwd})
        for (const char *p : {"pwned1", "pwned2", "pwned3", "pwned4", "pwned5", "dir-pwned"})
            EXPECT_FALSE(fs::exists(where / p)) << (where / p);
    for (const auto &e : fs::directory_iterator(d)) {
        std::string n = e.path().filename().string();
        EXPECT_TRUE(n == "messages" || n.find(".log") != std::string::npos) << n;
    }
    std::string messages = read_file(d / "messages");
    for (const char *n : names) {
        EXPECT_NE(messages.find(std::string("content of ") + n + "\n"), std::string::npos) << n;
        EXPECT_TRUE(fs::exists(dst / n)) << n;
    }
    // Titles print exactly, backslashes included.
    EXPECT_NE(messages.find("\n    Back\\c slash\n"), std::string::npos);
    EXPECT_NE(messages.find("\n    -n\n"), std::string::npos);
}

} // namespace
