// Starts and stops a private bus and the image-control service as child processes.
#include "private_bus.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Runs argv with stdout on a pipe (and stderr on /dev/null when `quiet`); returns the pid and
// the pipe's read end.
pid_t spawn(const std::vector<std::string> &args, int *out_fd, bool quiet = false)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    if (quiet)
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    *out_fd = fds[0];
    return pid;
}

// The first line on fd, waiting at most ten seconds.
std::string first_line(int fd)
{
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.empty() || line.back() != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        line += c;
    }
    return line;
}

void end(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

} // namespace

PrivateBus::PrivateBus(std::string conf_template, std::string scratch, std::string service)
    : conf_template_(std::move(conf_template)), scratch_(std::move(scratch)),
      service_(std::move(service))
{
    // libdbus reads the system bus's address once per process, so every bus this process
    // starts uses the same one.
    static const unsigned tag = std::random_device{}();
    char name[64];
    std::snprintf(name, sizeof name, "zent-snr-%d-%08x", static_cast<int>(getpid()), tag);
    address_ = std::string("unix:abstract=") + name;
}

PrivateBus::~PrivateBus()
{
    stop();
}

bool PrivateBus::start()
{
    std::ifstream in(conf_template_);
    std::stringstream text;
    text << in.rdbuf();
    std::string conf = text.str();
    const std::string mark = "@LISTEN@";
    if (conf.find(mark) == std::string::npos)
        return false;
    for (std::size_t at; (at = conf.find(mark)) != std::string::npos;)
        conf.replace(at, mark.size(), address_);
    std::string conf_path = scratch_ + "/bus-" + std::to_string(getpid()) + ".conf";
    std::ofstream(conf_path) << conf;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    int fd = -1;
    daemon_ =
        spawn({"dbus-daemon", "--config-file=" + conf_path, "--nofork", "--print-address=1"}, &fd);
    if (daemon_ < 0)
        return false;
    std::string line = first_line(fd);
    close(fd);
    return line.rfind(address_, 0) == 0;
}

void PrivateBus::stop()
{
    end(daemon_);
    daemon_ = -1;
    for (pid_t s : services_) {
        int status;
        waitpid(s, &status, 0); // a service ends with its bus
    }
    services_.clear();
}

bool PrivateBus::start_service(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{service_};
    argv.insert(argv.end(), args.begin(), args.end());
    int fd = -1;
    pid_t pid = spawn(argv, &fd);
    if (pid < 0)
        return false;
    services_.push_back(pid);
    std::string line = first_line(fd);
    close(fd);
    return line == "ready\n";
}

bool PrivateBus::control(const std::string &method, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"dbus-send",
                                  "--bus=" + address_,
                                  "--print-reply",
                                  "--dest=com.orvex.ImageControl",
                                  "/com/orvex/ImageControl/0/0",
                                  "sim.ImageControl." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    int fd = -1;
    pid_t pid = spawn(argv, &fd);
    if (pid < 0)
        return false;
    char buf[256];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
