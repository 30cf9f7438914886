/* The application supervisor: states, the child process, its output in the log, and the two
 * periodic checks that restart it and kill it when memory runs out. */
#ifndef PELLUM_APP_H
#define PELLUM_APP_H

#include <glib.h>

#ifdef __cplusplus
#include <atomic>
#include <string>
#endif

typedef enum {
    NOTHING = 0,
    DOWNLOADING = 1,
    DOWNLOAD_FAILED = 2,
    PACKAGE_DOWNLOADED = 3,
    INSTALLING = 4,
    INSTALL_FAILED = 5,
    PACKAGE_INSTALLED = 6,
    STARTING = 7,
    PACKAGE_RUNNING = 8,
    RUN_FAILED = 9,
} application_state_t;

/* Camera paths of the package, before mapping under the root. */
#define PACKAGE_DIR "/usr/local/packages/tallyo/package/"
#define PACKAGE_ARCHIVE "/tmp/package.tar.gz"
#define RUNNER_MARKER "/tmp/runner_mounted_apps"

/* Both threads read and write these; the last writer wins, but never a torn value. */
extern std::atomic<int> application_state;
extern std::atomic<int> manifest_state;
extern std::atomic<GPid> process_pid;
extern std::atomic<guint> status_source;
extern std::atomic<guint> flask_source;

extern "C" {

int determine_startup_state(void);
const char *state_to_string(int state);
/* The name shown on the status page. */
const char *state_to_page_name(int state);
int get_current_application_state(void);
int get_current_manifest_state(void);
/* 0 when a process was spawned, 1 otherwise. */
int start_app(void);
void force_kill_app(void);
int is_alive(GPid pid);
void add_timeouts(void);
void remove_timeouts(void);
gboolean status_daemon(gpointer user_data);
gboolean flask_daemon(gpointer user_data);
gboolean pipe_to_log(GIOChannel *channel, GIOCondition condition, gpointer user_data);

/* Package tasks: 1 when queued on the worker, 0 when refused. */
int install_task(void);
int download_task(GHashTable *params);
int purge_task(void);
int upgrade_task(void);

void get_proxy_from_config(GHashTable **table);
/* Shell status of the download (0 for success); -1 when a value does not fit the command. */
int unsafe_download(GHashTable *table);
void download_package(GHashTable *table);
void upgrade_package(void);
void install_package(void);
void purge_package(void);
/* 1 when the package was installed and a start was attempted. */
int install(void);
}

/* Builds the download command line (and the same with the password masked, for the log);
 * false when it does not fit the command buffer. */
bool build_download_command(GHashTable *table, std::string &command, std::string &masked);

/* Sets and logs the application state ("<op>::Setting state to <name>"). */
void set_application_state(const char *op, int state);
/* Sets and logs the manifest state. */
void set_manifest_state(const char *op, int state);

#endif
