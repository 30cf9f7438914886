// Starts the counting application, copies its output into syslog, and keeps it alive.
#include "app.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <unistd.h>

#include "export.h"
#include "main.h"
#include "manifest.h"
#include "parameter.h"
#include "zent_root.h"

std::atomic<int> application_state{NOTHING};
std::atomic<int> manifest_state{1};
std::atomic<GPid> process_pid{-1};
std::atomic<guint> status_source{0};
std::atomic<guint> flask_source{0};

static const char *const state_log_names[] = {
    "NOTHING",        "DOWNLOADING",       "DOWNLOAD_FAILED", "PACKAGE_DOWNLOADED", "INSTALLING",
    "INSTALL_FAILED", "PACKAGE_INSTALLED", "STARTING",        "PACKAGE_RUNNING",    "RUN_FAILED"};
static const char *const state_page_names[] = {
    "not_present",    "downloading", "download_failed", "downloaded", "installing",
    "install_failed", "installed",   "starting",        "running",    "error"};

extern "C" ZENT_EXPORT const char *state_to_string(int state)
{
    return state >= 0 && state <= 9 ? state_log_names[state] : "NOTHING";
}

extern "C" ZENT_EXPORT const char *state_to_page_name(int state)
{
    return state >= 0 && state <= 9 ? state_page_names[state] : "not_present";
}

void set_application_state(const char *op, int state)
{
    application_state.store(state);
    syslog(LOG_DEBUG, "%s::Setting state to %s", op, state_to_string(state));
}

void set_manifest_state(const char *op, int state)
{
    manifest_state.store(state);
    syslog(LOG_DEBUG, "%s::Setting manifest state to %s", op, manifest_state_to_string(state));
}

extern "C" ZENT_EXPORT int get_current_application_state(void)
{
    return application_state.load();
}
extern "C" ZENT_EXPORT int get_current_manifest_state(void)
{
    return manifest_state.load();
}

static bool file_exists(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0;
}

extern "C" ZENT_EXPORT int determine_startup_state(void)
{
    if (file_exists(zent_path(PACKAGE_DIR "/./pyrun"))) {
        syslog(LOG_DEBUG, "Found a package executable - setting state to PACKAGE_INSTALLED");
        return PACKAGE_INSTALLED;
    }
    if (file_exists(zent_path(PACKAGE_ARCHIVE))) {
        syslog(LOG_DEBUG, "Found a downloaded package - setting state to PACKAGE_DOWNLOADED");
        return PACKAGE_DOWNLOADED;
    }
    syslog(LOG_DEBUG, "Found nothing - setting state to NOTHING");
    return NOTHING;
}

extern "C" ZENT_EXPORT int is_alive(GPid pid)
{
    if (pid <= 0 || kill(pid, 0) != 0)
        return 0;
    // A child that has exited but is not yet reaped still takes signals; it is not alive.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        return 1;
    char buf[512];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The state letter follows the last ')' of the command name.
    const char *close = std::strrchr(buf, ')');
    if (close != nullptr && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X'))
        return 0;
    return 1;
}

extern "C" ZENT_EXPORT gboolean pipe_to_log(GIOChannel *channel, GIOCondition condition,
                                            gpointer user_data)
{
    (void)condition;
    int priority = GPOINTER_TO_INT(user_data);
    // The pipe is non-blocking: a line the child has not finished stays buffered instead of
    // stalling the main loop. Every complete line that is there is copied, up to a bound that
    // keeps a chatty child from holding the loop.
    for (int n = 0; n < 1000; ++n) {
        gchar *line = nullptr;
        gsize length = 0;
        GError *error = nullptr;
        GIOStatus status = g_io_channel_read_line(channel, &line, &length, nullptr, &error);
        if (status == G_IO_STATUS_NORMAL && line != nullptr)
            syslog(priority, "%s: %s", "counter", line);
        g_free(line);
        if (status == G_IO_STATUS_ERROR) {
            g_clear_error(&error);
            return FALSE;
        }
        // The child closed its end (it exited): end the watch instead of polling a dead pipe.
        if (status == G_IO_STATUS_EOF)
            return FALSE;
        if (status == G_IO_STATUS_AGAIN)
            return TRUE;
    }
    return TRUE;
}

static void watch_pipe(int fd, int priority)
{
    GIOChannel *channel = g_io_channel_unix_new(fd);
    g_io_channel_set_close_on_unref(channel, TRUE);
    // Output is copied as bytes: a stray non-UTF-8 byte must not end the copy.
    g_io_channel_set_encoding(channel, nullptr, nullptr);
    g_io_channel_set_flags(channel, G_IO_FLAG_NONBLOCK, nullptr);
    g_io_add_watch(channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), pipe_to_log,
                   GINT_TO_POINTER(priority));
    // The watch holds the channel; it closes the pipe when the watch ends.
    g_io_channel_unref(channel);
}

extern "C" ZENT_EXPORT int start_app(void)
{
    // The checks (main loop) and an install (worker) may both start the application; one
    // start at a time keeps the argument vector and the process id consistent.
    static std::mutex start_lock;
    std::lock_guard<std::mutex> hold(start_lock);
    int state = application_state.load();
    if (state != PACKAGE_INSTALLED && state != RUN_FAILED) {
        syslog(LOG_DEBUG,
               "Application state must be PACKAGE_INSTALLED or RUN_FAILED to launch application");
        return 1;
    }
    // The script entry points at a string that lives as long as the process.
    static const std::string pyc = zent_path(PACKAGE_DIR "/app.pyc");
    if (runtime_argv != nullptr)
        runtime_argv[1] = const_cast<char *>(
            file_exists(zent_path(PACKAGE_DIR "/app.py")) ? "app.py" : pyc.c_str());
    set_application_state("start_app", STARTING);

    const std::string dir = zent_path(PACKAGE_DIR);
    const std::string mkdir = "mkdir -p " + zent_shell_quote(dir);
    if (run_shell(mkdir.c_str()) != 0) {
        syslog(LOG_ERR, "Failed to create directory %s", PACKAGE_DIR);
        return 1;
    }
    const std::string workdir = zent_path(PACKAGE_DIR "/");
    char env0[] = "RUNNING_ON_TARGET=y";
    char env1[] = "LD_LIBRARY_PATH=.:/";
    char env2[] = "PYTHONPATH=python-site-packages";
    char *envp[] = {env0, env1, env2, nullptr};
    GPid pid = -1;
    gint out_fd = -1;
    gint err_fd = -1;
    GError *error = nullptr;
    if (runtime_argv == nullptr ||
        !g_spawn_async_with_pipes(workdir.c_str(), runtime_argv, envp, G_SPAWN_DEFAULT, nullptr,
                                  nullptr, &pid, nullptr, &out_fd, &err_fd, &error)) {
        syslog(LOG_ERR, "Failed to start application: %s",
               error != nullptr ? error->message : "no argument vector");
        g_clear_error(&error);
        return 1;
    }
    watch_pipe(err_fd, LOG_ERR);
    watch_pipe(out_fd, LOG_INFO);
    syslog(LOG_INFO, "New process spawned (%d)", static_cast<int>(pid));
    process_pid.store(pid);
    return 0;
}

extern "C" ZENT_EXPORT void force_kill_app(void)
{
    GPid pid = process_pid.load();
    g_spawn_close_pid(pid);
    if (pid > 0) {
        if (kill(pid, SIGTERM) != 0 && errno == ESRCH)
            syslog(LOG_INFO, "Process is not running");
        int count = 2;
        while (is_alive(pid) && count > 0) {
            --count;
            syslog(LOG_INFO, "Killing in %d..", count);
            g_usleep(G_USEC_PER_SEC);
        }
        if (is_alive(pid)) {
            syslog(LOG_ERR, "Had to SIGKILL stereo application during shutdown of Pellum.");
            kill(pid, SIGKILL);
        } else {
            syslog(LOG_INFO, "Killed app gracefully.");
        }
    }
    process_pid.store(-1);
}

static guint check_period_ms()
{
    unsigned tick = pellum_test_tick_ms();
    return tick != 0 ? tick : 5000;
}

extern "C" ZENT_EXPORT void add_timeouts(void)
{
    if (status_source.load() == 0)
        status_source.store(g_timeout_add(check_period_ms(), status_daemon, app_loop));
    if (flask_source.load() == 0)
        flask_source.store(g_timeout_add(check_period_ms(), flask_daemon, app_loop));
}

extern "C" ZENT_EXPORT void remove_timeouts(void)
{
    guint id = status_source.exchange(0);
    if (id != 0)
        g_source_remove(id);
    id = flask_source.exchange(0);
    if (id != 0)
        g_source_remove(id);
}

// Free RAM in kilobytes: the kernel counts in units of mem_unit bytes.
static unsigned long free_ram_kb()
{
    struct sysinfo info {
    };
    if (sysinfo(&info) != 0)
        return ~0UL;
    unsigned long long bytes =
        static_cast<unsigned long long>(info.freeram) * (info.mem_unit != 0 ? info.mem_unit : 1);
    return static_cast<unsigned long>(bytes / 1024);
}

extern "C" ZENT_EXPORT gboolean status_daemon(gpointer user_data)
{
    (void)user_data;
    unsigned long kb = free_ram_kb();
    if (kb < 10000) {
        syslog(LOG_ERR, "Almost no memory left (%lu kb), killing all pyrun.", kb);
        run_shell("killall -9 pyrun");
    }
    GPid pid = process_pid.load();
    bool alive = is_alive(pid) != 0;
    syslog(LOG_DEBUG, "Watching process: %d (%s)", static_cast<int>(pid), alive ? "alive" : "died");
    if (!alive) {
        syslog(LOG_ERR, "Stereo application (%d) died for some strange reason.",
               static_cast<int>(pid));
        set_application_state("status_daemon", RUN_FAILED);
        syslog(LOG_INFO, "Starting new instance of Stereo application.");
        start_app();
    }
    return TRUE;
}

extern "C" ZENT_EXPORT gboolean flask_daemon(gpointer user_data)
{
    (void)user_data;
    int state = application_state.load();
    if ((state == STARTING || state == RUN_FAILED) && is_alive(process_pid.load()) &&
        file_exists(zent_path(RUNNER_MARKER)))
        set_application_state("flask_daemon", PACKAGE_RUNNING);
    return TRUE;
}

// ---- Package operations: download, install, upgrade and purge, run on the worker thread.

#define PACKAGE_NAME "vendle_tallyo_5_v1-6plus"
#define PASSWORD_MASK "*****"

static const char *table_value(GHashTable *table, const char *key)
{
    if (table == nullptr)
        return "";
    auto *v = static_cast<const char *>(g_hash_table_lookup(table, key));
    return v != nullptr ? v : "";
}

static const char *masked(const char *password)
{
    return password[0] != '\0' ? PASSWORD_MASK : "";
}

extern "C" ZENT_EXPORT void get_proxy_from_config(GHashTable **table)
{
    char *url = nullptr;
    char *user = nullptr;
    char *password = nullptr;
    if (get_param("root.Tallyo.ProxyUrl", &url) != 0)
        url = nullptr;
    if (get_param("root.Tallyo.ProxyUsername", &user) != 0)
        user = nullptr;
    if (get_param("root.Tallyo.ProxyPassword", &password) != 0)
        password = nullptr;
    const char *u = url != nullptr ? url : "";
    const char *n = user != nullptr ? user : "";
    const char *p = password != nullptr ? password : "";
    syslog(LOG_DEBUG, "GOT proxy_url: %s", u);
    syslog(LOG_DEBUG, "GOT proxy_username: %s", n);
    syslog(LOG_DEBUG, "GOT proxy_password: %s", masked(p));
    if (u[0] != '\0') {
        // The table owns neither keys nor values by its contract; these copies are released
        // with it through the destroy functions so that no caller has to know.
        *table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
        g_hash_table_insert(*table, const_cast<char *>("proxy-url"), g_strdup(u));
        g_hash_table_insert(*table, const_cast<char *>("proxy-username"), g_strdup(n));
        g_hash_table_insert(*table, const_cast<char *>("proxy-password"), g_strdup(p));
    } else {
        syslog(LOG_DEBUG, "Proxy url empty!");
        *table = nullptr;
    }
    g_free(url);
    g_free(user);
    g_free(password);
}

bool build_download_command(GHashTable *table, std::string &command, std::string &masked_command)
{
    const char *url = table_value(table, "proxy-url");
    const char *user = table_value(table, "proxy-username");
    const char *password = table_value(table, "proxy-password");
    // Every value is one quoted shell word: nothing in it can end the word or run anything.
    // Without a proxy URL there is no proxy, whatever user name and password came along: a
    // "-x user:password@" alone is no proxy address at all.
    std::string option;
    std::string masked_option;
    if (url[0] != '\0' && user[0] != '\0' && password[0] != '\0') {
        option = "-x " + zent_shell_quote(std::string(user) + ":" + password + "@" + url);
        masked_option =
            "-x " + zent_shell_quote(std::string(user) + ":" + PASSWORD_MASK + "@" + url);
    } else if (url[0] != '\0') {
        option = "-x " + zent_shell_quote(url);
        masked_option = option;
    }
    const std::string tail =
        " -L " +
        zent_shell_quote(std::string(default_download_url != nullptr ? default_download_url : "") +
                         PACKAGE_NAME) +
        " -o " + zent_shell_quote(zent_path(PACKAGE_ARCHIVE));
    const std::string head = "curl --fail --connect-timeout 10 --insecure ";
    command = head + option + tail;
    masked_command = head + masked_option + tail;
    // The option and the command keep the sizes of their fixed buffers (500 and 1000 bytes,
    // terminator included): a longer value is refused rather than cut into another meaning.
    return option.size() < 500 && command.size() < 1000;
}

extern "C" ZENT_EXPORT int unsafe_download(GHashTable *table)
{
    std::string command;
    std::string masked_command;
    if (!build_download_command(table, command, masked_command)) {
        syslog(LOG_ERR, "Download command too long, refusing to run it");
        return -1;
    }
    syslog(LOG_DEBUG, "Command '%s'", masked_command.c_str());
    return run_shell(command.c_str(), "curl");
}

extern "C" ZENT_EXPORT void download_package(GHashTable *table)
{
    set_application_state("download_package", DOWNLOADING);
    int status;
    if (table != nullptr) {
        set_param("root.Tallyo.ProxyUrl", table_value(table, "proxy-url"), 0);
        set_param("root.Tallyo.ProxyUsername", table_value(table, "proxy-username"), 0);
        set_param("root.Tallyo.ProxyPassword", table_value(table, "proxy-password"), 1);
        status = unsafe_download(table);
    } else {
        GHashTable *config = nullptr;
        get_proxy_from_config(&config);
        status = unsafe_download(config);
        if (config != nullptr)
            g_hash_table_unref(config);
    }
    set_application_state("download_package", status != 0 ? DOWNLOAD_FAILED : PACKAGE_DOWNLOADED);
}

// An install that cannot go ahead leaves a running application as it is; only with nothing
// running does the state say that the install failed.
static int refuse_install()
{
    if (!is_alive(process_pid.load()))
        set_application_state("install", INSTALL_FAILED);
    return 0;
}

// The whole archive reads as a gzip-compressed tar. A damaged download would otherwise pass
// as "manifest missing" and be unpacked over the installed package after the running
// application was stopped.
static bool archive_readable()
{
    const std::string command =
        "tar -tzf " + zent_shell_quote(zent_path(PACKAGE_ARCHIVE)) + " > /dev/null";
    return run_shell(command.c_str(), "tar") == 0;
}

extern "C" ZENT_EXPORT int install(void)
{
    int verdict = eval_manifest_state();
    set_manifest_state("install", verdict);
    if (verdict != OK && verdict != MISSING)
        return refuse_install();
    if (!archive_readable()) {
        syslog(LOG_ERR, "Package archive %s is missing or damaged, nothing installed.",
               PACKAGE_ARCHIVE);
        return refuse_install();
    }
    const bool was_running = is_alive(process_pid.load()) != 0;
    remove_timeouts();
    force_kill_app();
    set_application_state("install", INSTALLING);
    const std::string command = zent_shell_quote(zent_path(PACKAGE_DIR "update.sh")) +
                                " || tar -xvf " + zent_shell_quote(zent_path(PACKAGE_ARCHIVE)) +
                                " -C " + zent_shell_quote(zent_path("/usr/local/packages/tallyo"));
    const bool unpacked = run_shell(command.c_str(), "install") == 0;
    if (!unpacked) {
        set_application_state("install", INSTALL_FAILED);
        // The unpack failed after the application was stopped: what is installed still
        // runs, so the service comes back rather than staying down until the next install.
        if (!was_running || !file_exists(zent_path(PACKAGE_DIR "/./pyrun")))
            return 0;
        syslog(LOG_WARNING, "Install failed, restarting the installed application.");
    }
    set_application_state("install", PACKAGE_INSTALLED);
    add_timeouts();
    start_app();
    return unpacked ? 1 : 0;
}

extern "C" ZENT_EXPORT void install_package(void)
{
    if (install() == 1)
        syslog(LOG_INFO, "Installed new package successfully.");
    else
        syslog(LOG_WARNING, "Failed to install new package.");
}

extern "C" ZENT_EXPORT void upgrade_package(void)
{
    syslog(LOG_INFO, "Starting upgrade procedure.");
    set_application_state("upgrade_package", DOWNLOADING);
    GHashTable *config = nullptr;
    get_proxy_from_config(&config);
    int status = unsafe_download(config);
    if (config != nullptr)
        g_hash_table_unref(config);
    syslog(LOG_DEBUG, "Download command returned %d", status == 0 ? 1 : 0);
    if (status != 0) {
        set_application_state("upgrade_package", DOWNLOAD_FAILED);
        return;
    }
    set_application_state("upgrade_package", PACKAGE_DOWNLOADED);
    set_manifest_state("upgrade_package", MISSING);
    if (install() == 1)
        syslog(LOG_INFO, "Upgrade complete, starting.");
    else
        syslog(LOG_WARNING, "Failed to upgrade package.");
}

extern "C" ZENT_EXPORT void purge_package(void)
{
    remove_timeouts();
    force_kill_app();
    set_application_state("purge_package", PACKAGE_INSTALLED);
    const std::string command = "rm -rf " + zent_shell_quote(zent_path(PACKAGE_ARCHIVE)) + " " +
                                zent_shell_quote(zent_path(PACKAGE_DIR));
    syslog(LOG_DEBUG, "Executing '%s'", command.c_str());
    if (run_shell(command.c_str()) != 0) {
        syslog(LOG_WARNING, "Failed to purge packages.");
    } else {
        set_application_state("purge_package", NOTHING);
        // The archive is gone, so there is no manifest to judge: the verdict on it goes too,
        // as at a start with no archive.
        set_manifest_state("purge_package", MISSING);
    }
}

static void run_install(gpointer)
{
    install_package();
}
static void run_purge(gpointer)
{
    purge_package();
}
static void run_upgrade(gpointer)
{
    upgrade_package();
}
static void run_download(gpointer argument)
{
    auto *table = static_cast<GHashTable *>(argument);
    download_package(table);
    if (table != nullptr)
        g_hash_table_unref(table);
}

extern "C" ZENT_EXPORT int install_task(void)
{
    return add_worker_task(api_worker, "Install", run_install, nullptr);
}

extern "C" ZENT_EXPORT int purge_task(void)
{
    return add_worker_task(api_worker, "Purge", run_purge, nullptr);
}

extern "C" ZENT_EXPORT int upgrade_task(void)
{
    return add_worker_task(api_worker, "Upgrade", run_upgrade, nullptr);
}

extern "C" ZENT_EXPORT int download_task(GHashTable *params)
{
    // The request's table dies with the request; the task keeps its own reference.
    if (params != nullptr)
        g_hash_table_ref(params);
    int queued = add_worker_task(api_worker, "Download", run_download, params);
    if (!queued && params != nullptr)
        g_hash_table_unref(params);
    return queued;
}
