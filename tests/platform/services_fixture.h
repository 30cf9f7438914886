// Shared by the platform services tests: a fresh camera root per test with the parameter
// stand-in's call trace, the warning registry and the recorded system log emptied, and a way
// to run a case in a child process (the firmware record and the zoom answer are cached for
// the life of a process).
#pragma once

#include "camera_props.h"
#include "param.h"
#include "qlparameter.h"
#include "syslog_capture.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace services_test
{

namespace fs = std::filesystem;

class ServicesTest : public ::testing::Test
{
  protected:
    fs::path root;
    fs::path trace;

    void SetUp() override
    {
        // The build's scratch directory (the test registration cannot always pass an
        // environment); never a host directory.
        const char *tmp = std::getenv("TEST_TMPDIR");
        if (tmp == nullptr)
            tmp = ZENT_TEST_SCRATCH;
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::path(tmp) / ("svc-" + std::to_string(getpid()) + "-" + info->test_suite_name() +
                                "-" + info->name());
        fs::remove_all(root);
        fs::create_directories(root / "tmp");
        trace = root / "calls.log";
        setenv("ZENT_ROOT", root.c_str(), 1);
        setenv("QLPARAMETER_LOG", trace.c_str(), 1);
        unsetenv("QLPARAMETER_FAIL");
        unsetenv("ZENT_TEST_BUILD_DATE");
        zent_param_cleanup();
        while (zent_param_updated()) {
        }
        for (zent_error_t &e : errorset)
            e.name = e.message = nullptr;
        syslog_capture::clear();
    }

    void TearDown() override
    {
        unsetenv("QLPARAMETER_LOG");
        unsetenv("QLPARAMETER_FAIL");
        unsetenv("ZENT_TEST_BUILD_DATE");
        fs::remove_all(root);
    }

    // Writes a camera parameter (full name) straight into the store.
    static void set(const char *name, const char *value)
    {
        ASSERT_EQ(param_set(name, value, 1), 0) << name;
    }

    std::vector<std::string> calls() const { return test_files::file_lines(trace); }
    void forget_calls() { fs::remove(trace); }

    // Logged messages as "<priority> <text>".
    static std::vector<std::string> logged()
    {
        std::vector<std::string> out;
        for (const auto &m : syslog_capture::snapshot().messages)
            out.push_back(std::to_string(m.priority) + " " + m.text);
        return out;
    }

    // Identifiers of the occupied registry entries, in index order.
    static std::vector<std::string> warnings()
    {
        std::vector<std::string> out;
        for (const zent_error_t &e : errorset)
            if (e.name != nullptr)
                out.push_back(e.name);
        return out;
    }

    // Installs knobctl (the parameter tool's command) into the root.
    void install_knobctl() const
    {
        const char *qlparam = ZENT_TEST_QLPARAM;
        fs::create_directories(root / "usr/bin");
        fs::path tool = root / "usr/bin/knobctl";
        std::ofstream(tool) << "#!/bin/sh\nexec '" << qlparam << "' knobctl \"$@\"\n";
        fs::permissions(tool,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    }

    // Runs `body` in a child process and returns what it produced; a child that does not end
    // normally yields "child failed: <status>".
    static std::string in_child(const std::function<std::string()> &body)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return "pipe failed";
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string out = body();
            std::size_t off = 0;
            while (off < out.size()) {
                ssize_t n = write(fds[1], out.data() + off, out.size() - off);
                if (n <= 0)
                    break;
                off += static_cast<std::size_t>(n);
            }
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<std::size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return "child failed: " + std::to_string(status);
        return out;
    }
};

} // namespace services_test
