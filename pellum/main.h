/* The launcher's process-wide state and its start-up, stop and clean-up sequence. */
#ifndef PELLUM_MAIN_H
#define PELLUM_MAIN_H

#include <glib.h>

#include <functional>
#include <string>
#include <string_view>

#include "export.h"
#include "worker.h"
#include "zent_version.h"

/* The launcher's build tag, logged at start and shown as "hash" by the version page. */
#define PELLUM_BUILD_TAG "rel/people/1.8.0"
/* Where the package is fetched from when DOWNLOAD_URL is not set; the package name is
 * appended directly. */
#define PELLUM_DEFAULT_DOWNLOAD_URL "https://download.tallyo.invalid/packages/"

extern "C" {

extern char **runtime_argv;
extern const char *default_download_url;
extern GMainLoop *app_loop;
extern Worker *api_worker;
extern zent_version firmware_version;
extern zent_version *FIRMWARE_VERSION;
ZENT_EXPORT extern const zent_version pellum_version;
ZENT_EXPORT extern const zent_version *PELLUM_VERSION;

int zent_init(int argc, char **argv);
int zent_start(void);
void zent_stop(void);
void zent_cleanup(void);
void signal_callback_handler(int sig);
void enable_debug(int sig);
void set_log_level(void);
int found_home(char *buf, int size);

/* The program's entry, kept apart from main() so that tests can link the rest. */
int pellum_main(int argc, char **argv);
}

/* Period override for tests (PELLUM_TEST_TICK_MS, 10..5000 ms); 0 when not set or invalid. */
unsigned pellum_test_tick_ms();

/* Runs a shell command line with its output lines (both streams) copied into the log as
 * "<label>: <line>" and its exit status logged; returns the wait status (0 for success), -1
 * when it could not be run. Without a label the command's first word names it. */
int run_shell(const char *command, const char *label = nullptr);

/* The name a command line's log lines carry: its first word, unquoted, without directories. */
std::string command_label(std::string_view command);

/* Cuts a command's output into the lines a terminal would finally show: a carriage return
 * starts the line over (a progress meter redrawing itself leaves its last state), and a
 * line longer than max_line comes out in pieces. */
class CommandOutput
{
  public:
    static constexpr size_t max_line = 1024;
    explicit CommandOutput(std::function<void(std::string_view)> emit);
    void feed(const char *data, size_t length);
    /* Emits a last line that has no line end. */
    void finish();

  private:
    void flush();
    std::function<void(std::string_view)> emit_;
    std::string line_;
    bool restart_ = false;
};

#endif
