// Start-up, the main loop, the stop sequence on a signal, and the final clean-up.
#include "main.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glib-unix.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "api.h"
#include "app.h"
#include "export.h"
#include "manifest.h"
#include "parameter.h"
#include "zent_root.h"

extern "C" {
ZENT_EXPORT char **runtime_argv = nullptr;
ZENT_EXPORT const char *default_download_url = nullptr;
ZENT_EXPORT GMainLoop *app_loop = nullptr;
ZENT_EXPORT Worker *api_worker = nullptr;
ZENT_EXPORT zent_version firmware_version = {{-1, -1, -1, -1}};
ZENT_EXPORT zent_version *FIRMWARE_VERSION = &firmware_version;
const zent_version pellum_version = {{1, 6, 0, -1}};
const zent_version *PELLUM_VERSION = &pellum_version;
}

static const char *const default_argv[] = {"", "--fps", "1000"};
// A second stop signal must find the worker already gone and do nothing more.
static std::atomic<bool> stopping{false};

unsigned pellum_test_tick_ms()
{
    static const unsigned tick = [] {
        const char *v = std::getenv("PELLUM_TEST_TICK_MS");
        if (v == nullptr || v[0] == '\0')
            return 0U;
        char *end = nullptr;
        errno = 0;
        unsigned long n = std::strtoul(v, &end, 10);
        if (errno != 0 || end == v || *end != '\0' || n < 10 || n > 5000)
            return 0U; // not a sane period: keep the real ones
        return static_cast<unsigned>(n);
    }();
    return tick;
}

CommandOutput::CommandOutput(std::function<void(std::string_view)> emit) : emit_(std::move(emit)) {}

void CommandOutput::feed(const char *data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        char c = data[i];
        if (c == '\n') {
            flush();
        } else if (c == '\r') {
            // The next character redraws the line, as on a terminal.
            restart_ = true;
        } else {
            if (restart_) {
                line_.clear();
                restart_ = false;
            }
            if (line_.size() == max_line)
                flush();
            line_.push_back(c);
        }
    }
}

void CommandOutput::finish()
{
    flush();
}

void CommandOutput::flush()
{
    if (!line_.empty())
        emit_(line_);
    line_.clear();
    restart_ = false;
}

std::string command_label(std::string_view command)
{
    size_t start = command.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return "sh";
    std::string_view word;
    if (command[start] == '\'') {
        size_t end = command.find('\'', start + 1);
        word = command.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
    } else {
        word = command.substr(start, command.find_first_of(" \t;|&", start) - start);
    }
    size_t slash = word.rfind('/');
    if (slash != std::string_view::npos)
        word.remove_prefix(slash + 1);
    return word.empty() ? std::string("sh") : std::string(word);
}

int run_shell(const char *command, const char *label)
{
    const std::string name = label != nullptr ? std::string(label) : command_label(command);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        syslog(LOG_ERR, "Could not run %s: %s", name.c_str(), g_strerror(errno));
        return -1;
    }
    // The command reads nothing, writes both its streams into the log, and starts with the
    // default signal handling whichever thread runs it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        syslog(LOG_ERR, "Could not run %s: %s", name.c_str(), g_strerror(rc));
        return -1;
    }

    CommandOutput output([&name](std::string_view line) {
        syslog(LOG_INFO, "%s: %.*s", name.c_str(), static_cast<int>(line.size()), line.data());
    });
    int status = 0;
    bool reaped = false;
    // Something the command left running in the background may hold the pipe open: once the
    // command itself has ended, only what is already there is read.
    int reads_after_exit = 0;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, reaped ? 0 : 100);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0) {
            if (reaped)
                break;
            if (waitpid(pid, &status, WNOHANG) == pid)
                reaped = true;
            continue;
        }
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.feed(buf, static_cast<size_t>(n));
        if (reaped && ++reads_after_exit >= 16)
            break;
    }
    output.finish();
    close(fds[0]);
    while (!reaped) {
        pid_t w = waitpid(pid, &status, 0);
        if (w == pid)
            reaped = true;
        else if (!(w < 0 && errno == EINTR))
            break;
    }
    if (!reaped) {
        syslog(LOG_ERR, "Lost track of %s", name.c_str());
        return -1;
    }
    if (WIFEXITED(status)) {
        int code = WEXITSTATUS(status);
        syslog(code == 0 ? LOG_DEBUG : LOG_INFO, "%s exited with status %d", name.c_str(), code);
    } else if (WIFSIGNALED(status)) {
        syslog(LOG_INFO, "%s ended by signal %d", name.c_str(), WTERMSIG(status));
    }
    return status;
}

extern "C" ZENT_EXPORT int found_home(char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return 0;
    ssize_t n = readlink("/proc/self/exe", buf, static_cast<size_t>(size));
    if (n < 0 || n >= size)
        return 0;
    buf[n] = '\0';
    for (ssize_t i = n - 1; i >= 1; --i) {
        if (buf[i] == '/') {
            buf[i] = '\0';
            syslog(LOG_INFO, "Current working directory: %s", buf);
            return 1;
        }
    }
    return 0;
}

extern "C" ZENT_EXPORT void enable_debug(int sig)
{
    if (sig <= 0)
        return;
    openlog("tallyo", LOG_PERROR, LOG_USER);
    setlogmask(0xff);
}

extern "C" ZENT_EXPORT void set_log_level(void)
{
    char home[100];
    if (found_home(home, sizeof home)) {
        char debug[100];
        int w = std::snprintf(debug, sizeof debug, "%s/debug", home);
        struct stat st {
        };
        // Any entry of that name counts, a dangling link too; a cut path names some other
        // entry, so it counts as absent.
        bool present = w > 0 && static_cast<size_t>(w) < sizeof debug && lstat(debug, &st) == 0;
        enable_debug(present ? 1 : 0);
    }
    setlogmask(0xff);
}

extern "C" ZENT_EXPORT void zent_stop(void)
{
    if (stopping.exchange(true))
        return;
    syslog(LOG_INFO, "Stopping application");
    remove_timeouts();
    destroy_worker(&api_worker);
    syslog(LOG_INFO, "Force exiting python");
    force_kill_app();
    syslog(LOG_INFO, "Exiting main loop");
    if (app_loop != nullptr && g_main_loop_is_running(app_loop))
        g_main_loop_quit(app_loop);
}

extern "C" ZENT_EXPORT void signal_callback_handler(int sig)
{
    syslog(LOG_ERR, "Received signal %d, shutting down", sig);
    if (sig > 0)
        zent_stop();
}

// The signals are delivered by the main loop, so the stop sequence (which logs, joins the
// worker and kills the child) never runs inside an asynchronous handler.
static gboolean on_stop_signal(gpointer data)
{
    signal_callback_handler(GPOINTER_TO_INT(data));
    return G_SOURCE_CONTINUE;
}

static gboolean on_debug_signal(gpointer data)
{
    enable_debug(GPOINTER_TO_INT(data));
    return G_SOURCE_CONTINUE;
}

extern "C" ZENT_EXPORT int zent_init(int argc, char **argv)
{
    syslog(LOG_INFO, "Starting Initialization of Stereo Pellum.");
    syslog(LOG_DEBUG, "Using arguments:");
    const char *const *user_args;
    int nuser;
    if (argc < 2) {
        syslog(LOG_DEBUG, "Using default arguments (%d)", 3);
        user_args = default_argv + 1;
        nuser = 2;
    } else {
        for (int i = 1; i < argc; ++i)
            syslog(LOG_INFO, "\t%s", argv[i]);
        user_args = argv + 1;
        nuser = argc - 1;
    }
    static const std::string pyc = zent_path(PACKAGE_DIR "/app.pyc");
    struct stat st {
    };
    bool have_py = stat(zent_path(PACKAGE_DIR "/app.py").c_str(), &st) == 0;
    runtime_argv = g_new0(char *, static_cast<gsize>(nuser) + 3);
    runtime_argv[0] = const_cast<char *>("./pyrun");
    runtime_argv[1] = const_cast<char *>(have_py ? "app.py" : pyc.c_str());
    for (int i = 0; i < nuser; ++i)
        runtime_argv[2 + i] = const_cast<char *>(user_args[i]);
    runtime_argv[2 + nuser] = nullptr;
    syslog(LOG_DEBUG, "Setting runtime parameters:");
    for (int i = 0; runtime_argv[i] != nullptr; ++i)
        syslog(LOG_DEBUG, "runtime_argv[%d] = '%s'", i, runtime_argv[i]);

    syslog(LOG_INFO, "Killing old processes...");
    if (run_shell("killall -9 pyrun") == 0) {
        syslog(LOG_INFO, "Killed lingering process. Waiting 10s...");
        g_usleep(10 * G_USEC_PER_SEC);
    }

    const char *env_url = std::getenv("DOWNLOAD_URL");
    default_download_url = env_url != nullptr ? env_url : PELLUM_DEFAULT_DOWNLOAD_URL;

    char text[20];
    syslog(LOG_INFO, "Running version %s",
           zent_version_stringify_r(text, sizeof text, PELLUM_VERSION));
    app_loop = g_main_loop_new(nullptr, FALSE);

    syslog(LOG_INFO, "Initializing web api.");
    init_web_api();
    syslog(LOG_INFO, "Initializing parameters.");
    init_param();

    char *fw = nullptr;
    if (get_param("root.Properties.Firmware.Version", &fw) != 0 ||
        zent_version_scan(fw, &firmware_version) != 0) {
        syslog(LOG_ERR, "Failed to determine firmware version!");
        g_free(fw);
        std::exit(1);
    }
    g_free(fw);
    syslog(LOG_INFO, "Running firmware %s\n",
           zent_version_stringify_r(text, sizeof text, FIRMWARE_VERSION));

    syslog(LOG_INFO, "Starting worker thread.");
    api_worker = create_worker("Api-worker");

    set_application_state("zent_init", determine_startup_state());
    set_manifest_state("zent_init", eval_manifest_state());
    if (application_state.load() == PACKAGE_INSTALLED) {
        syslog(LOG_DEBUG, "Package already exists!");
        start_app();
        add_timeouts();
    }
    return 0;
}

extern "C" ZENT_EXPORT int zent_start(void)
{
    const std::string inner = "QUERY_STRING=\"action=remove&package=Trelk3\" " +
                              zent_shell_quote(zent_path("/usr/sbin/control.cgi"));
    const std::string command = "sh -c " + zent_shell_quote(inner);
    run_shell(command.c_str(), "control.cgi");
    set_exposure_params();
    start_app();
    g_main_loop_run(app_loop);
    return 0;
}

extern "C" ZENT_EXPORT void zent_cleanup(void)
{
    cleanup_web_api();
    cleanup_param();
    g_free(runtime_argv);
    runtime_argv = nullptr;
    if (app_loop != nullptr) {
        g_main_loop_unref(app_loop);
        app_loop = nullptr;
    }
    syslog(LOG_INFO, "Pellum is shutting down...");
}

extern "C" ZENT_EXPORT int pellum_main(int argc, char **argv)
{
    // Every thread allocates from the one heap: a second arena per thread would keep its own
    // free memory (and reserve its own address space) for the few small blocks that the worker
    // and the main loop's helper thread use.
    mallopt(M_ARENA_MAX, 1);
    syslog(LOG_INFO, "Opening Pellum Version %s", PELLUM_BUILD_TAG);
    set_log_level();
    g_unix_signal_add(SIGINT, on_stop_signal, GINT_TO_POINTER(SIGINT));
    g_unix_signal_add(SIGTERM, on_stop_signal, GINT_TO_POINTER(SIGTERM));
    g_unix_signal_add(SIGUSR1, on_debug_signal, GINT_TO_POINTER(SIGUSR1));
    if (zent_init(argc, argv) != 0)
        syslog(LOG_ERR, "Failed to initialize application.");
    if (zent_start() != 0)
        syslog(LOG_ERR, "Failed to start application.");
    zent_cleanup();
    return 0;
}
