// qlevent: sends events to every process under the camera root that holds an event handler,
// and shows their live subscriptions and the older calls made. The simulated camera's way to
// flip an I/O port by hand.
#include "wire.h"
#include "zent_root.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

int usage()
{
    std::fprintf(
        stderr,
        "usage: qlevent send [--pid PID] ENTRY...   ENTRY is key[@namespace]=T:value,\n"
        "                                           T one of i b d s\n"
        "       qlevent port N on|off [--pid PID]   the camera's I/O port event\n"
        "       qlevent list                        live subscriptions: <pid> <id> <filter>\n"
        "       qlevent calls                       the older calls made (calls.log)\n"
        "Works on the processes under $ZENT_ROOT.\n");
    return 2;
}

std::string run_dir()
{
    return zent_path("/run/qlevent");
}

std::vector<std::string> names_with(const std::string &dir, const std::string &suffix)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > suffix.size() &&
            n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(n);
    }
    closedir(d);
    return names;
}

// Sends `text` to each listening process (or the one with `pid`); drops the files of
// processes that are gone. Returns how many were reached.
int send_all(const std::string &text, const std::string &pid)
{
    std::string dir = run_dir();
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return 0;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int reached = 0;
    for (const std::string &name : names_with(dir, ".sock")) {
        std::string owner = name.substr(0, name.size() - 5);
        if (!pid.empty() && owner != pid)
            continue;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", dir_fd,
                      name.c_str());
        ssize_t n = sendto(sock, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                           sizeof addr);
        if (n == static_cast<ssize_t>(text.size())) {
            ++reached;
        } else if (errno == ECONNREFUSED || errno == ENOENT) {
            unlinkat(dir_fd, name.c_str(), 0);
            unlinkat(dir_fd, (owner + ".subs").c_str(), 0);
        } else {
            std::fprintf(stderr, "qlevent: %s: %s\n", name.c_str(), std::strerror(errno));
        }
    }
    close(sock);
    close(dir_fd);
    return reached;
}

int send_entries(const std::vector<qlevent_wire::Entry> &entries, const std::string &pid)
{
    std::string text;
    for (const auto &e : entries)
        text += qlevent_wire::format({e}, false) + "\n";
    int reached = send_all(text, pid);
    std::printf("%d\n", reached);
    return reached > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    if (zent_root().empty()) {
        std::fprintf(stderr, "qlevent: ZENT_ROOT is not set\n");
        return 2;
    }
    std::string cmd = argv[1];
    std::string pid;
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pid") == 0 && i + 1 < argc)
            pid = argv[++i];
        else
            args.emplace_back(argv[i]);
    }
    if (cmd == "send") {
        std::string text;
        for (const auto &a : args)
            text += a + "\n";
        std::vector<qlevent_wire::Entry> entries;
        if (args.empty() || !qlevent_wire::parse(text, entries)) {
            std::fprintf(stderr, "qlevent: malformed entries\n");
            return 2;
        }
        return send_entries(entries, pid);
    }
    if (cmd == "port") {
        if (args.size() != 2)
            return usage();
        char *end = nullptr;
        long port = std::strtol(args[0].c_str(), &end, 10);
        bool on = args[1] == "on" || args[1] == "1" || args[1] == "true";
        bool off = args[1] == "off" || args[1] == "0" || args[1] == "false";
        if (*end != '\0' || args[0].empty() || (!on && !off))
            return usage();
        return send_entries(qlevent_wire::port_event(static_cast<int>(port), on), pid);
    }
    if (cmd == "list") {
        std::string dir = run_dir();
        for (const std::string &name : names_with(dir, ".subs")) {
            std::ifstream in(dir + "/" + name);
            std::string line;
            while (std::getline(in, line))
                std::printf("%s %s\n", name.substr(0, name.size() - 5).c_str(), line.c_str());
        }
        return 0;
    }
    if (cmd == "calls") {
        std::ifstream in(run_dir() + "/calls.log");
        std::cout << in.rdbuf();
        return 0;
    }
    return usage();
}
