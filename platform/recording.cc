// Local MJPEG recording into "/mnt/flash/recording" (settings part, then one part per JPEG
// image), its upload when timed, and JPEG snapshots from the capture library.
#include "recording.h"

#include "camera_props.h"
#include "capture_stream.h"
#include "log.h"
#include "pages.h"
#include "param.h"
#include "zent_root.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <spawn.h>
#include <stdio_ext.h>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Messages of the capture side carry its source name.
constexpr const char *kSource = "capture.c";

constexpr const char *kMediaType = "image/jpeg";
constexpr const char *kRecordingProperties = "fps=4&resolution=160x120&compression=80";
constexpr const char *kBoundary = "\r\n--myboundary\r\n";
constexpr std::size_t kMaxCommand = 500;
// A resolution item longer than this is no resolution; it is cut rather than copied whole.
constexpr std::size_t kMaxFragment = 63;

local_mjpg_record_t g_record = {nullptr, nullptr, 0, 0};

std::atomic_ref<int> running_flag(local_mjpg_record_t &r)
{
    return std::atomic_ref<int>(r.running);
}

std::string part_header(const char *type, std::size_t length)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%sContent-Type: %s\r\nContent-Length: %zu\r\n\r\n", kBoundary,
                  type, length);
    return buf;
}

// Writes a whole part (its header `head`, then the body) at `start`, the file's position, and
// pushes it to the file, so that a failure shows at once. A part that cannot be written whole
// is taken back out: the file always ends with complete parts.
bool write_part(FILE *f, long start, const std::string &head, const void *body, std::size_t length)
{
    if (std::fwrite(head.data(), 1, head.size(), f) == head.size() &&
        (length == 0 || std::fwrite(body, 1, length, f) == length) && std::fflush(f) == 0)
        return true;
    if (start >= 0) {
        __fpurge(f); // what stdio still holds of the part must not reach the file later
        if (ftruncate(fileno(f), start) == 0)
            std::fseek(f, start, SEEK_SET);
    }
    std::clearerr(f);
    return false;
}

bool write_part(FILE *f, const char *type, const void *body, std::size_t length)
{
    return write_part(f, std::ftell(f), part_header(type, length), body, length);
}

void close_slot(pthread_mutex_t *lock, FILE **slot)
{
    pthread_mutex_lock(lock);
    if (*slot != nullptr) {
        std::fclose(*slot);
        *slot = nullptr;
    }
    pthread_mutex_unlock(lock);
}

double monotonic_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string upload_endpoint()
{
    const char *e = std::getenv("ZENT_UPLOAD_ENDPOINT");
    return (e != nullptr && e[0] != '\0') ? e : ZENT_UPLOAD_ENDPOINT_DEFAULT;
}

// Runs `command` with /bin/sh and waits; the exit status, or -1 when it could not run or
// ended by a signal. posix_spawn leaves the process's signal dispositions alone, which
// system() would change under the application's other threads.
int run_shell(const std::string &command)
{
    pid_t pid;
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), environ) !=
        0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Uploads the finished recording; it is removed only once the upload succeeded.
void upload_recording()
{
    const std::string file = zent_path(ZENT_RECORDING_PATH);
    const char *serial = zent_param_get_serialno();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(std::time(nullptr)));
    // Every value is one quoted word: the serial number comes from a writable parameter.
    const std::string command =
        zent_tool("skyput") + " -s -T 604800 -p " + zent_shell_quote(upload_endpoint()) + " -l " +
        zent_shell_quote(file) + " -c /incoming/ -d " +
        zent_shell_quote(std::string("recording-") + (serial ? serial : "") + "-" + stamp);
    if (command.size() > kMaxCommand) {
        // A cut command would run something else: run nothing and keep the file.
        l_printf_file(kSource, LOG_WARNING,
                      "Upload command of %zu characters exceeds %zu; keeping %s\n", command.size(),
                      kMaxCommand, file.c_str());
        return;
    }
    l_printf_file(kSource, LOG_INFO, "%s", command.c_str());
    int status = run_shell(command);
    if (status != 0) {
        l_printf_file(kSource, LOG_WARNING, "Upload of %s failed (status %d); keeping it\n",
                      file.c_str(), status);
        return;
    }
    if (unlink(file.c_str()) != 0 && errno != ENOENT)
        l_printf_file(kSource, LOG_WARNING, "Cannot remove %s: %s\n", file.c_str(),
                      std::strerror(errno));
}

// One frame into the file under the caller's lock: false when the recording ends here.
bool record_frame(local_mjpg_record_t &r, const void *data, std::size_t size)
{
    pthread_mutex_lock(r.lock);
    bool go_on = true;
    FILE *f = *r.file_slot;
    if (f == nullptr) {
        go_on = false; // the caller stopped the recording
    } else {
        const long pos = std::ftell(f);
        const std::string head = part_header(kMediaType, size);
        // The file stays within the limit: a part that would cross it is not written.
        const bool fits = pos >= 0 && static_cast<unsigned long>(pos) + head.size() + size <=
                                          static_cast<unsigned long>(ZENT_RECORDING_MAX_BYTES);
        if (!fits || !write_part(f, pos, head, data, size)) {
            long at = std::ftell(f);
            l_printf_file(kSource, LOG_DEBUG, "Aborting recording after %d bytes.",
                          static_cast<int>(at >= 0 ? at : pos));
            go_on = false;
        }
    }
    pthread_mutex_unlock(r.lock);
    return go_on;
}

} // namespace

extern "C" {

ZENT_EXPORT int mjpg_frame_count(void)
{
    return -1;
}

ZENT_EXPORT void *main_local_mjpg_record(void *arg)
{
    auto *rec = static_cast<local_mjpg_record_t *>(arg);
    if (rec == nullptr)
        return nullptr;
    capture_stream *stream = capture_open_stream(kMediaType, kRecordingProperties);
    if (stream == nullptr) {
        l_printf_file(kSource, LOG_WARNING, "Failed to open video stream.");
        running_flag(*rec).store(0);
        return nullptr;
    }
    const bool timed = rec->duration >= 1;
    const double deadline = timed ? monotonic_seconds() + rec->duration : 0.0;
    for (;;) {
        capture_frame *frame = capture_get_frame(stream);
        if (frame == nullptr) {
            l_printf_file(kSource, LOG_WARNING, "Video stream gave no frame; recording ends.\n");
            break;
        }
        const void *data = capture_frame_data(frame);
        const std::size_t size = capture_frame_size(frame);
        // An empty frame is no image: skipped, so that every part holds one.
        const bool go_on = (data == nullptr || size == 0) ? true : record_frame(*rec, data, size);
        const bool expired = timed && monotonic_seconds() >= deadline;
        capture_frame_free(frame);
        if (!go_on || expired)
            break;
    }
    capture_close_stream(stream);
    close_slot(rec->lock, rec->file_slot);
    if (timed)
        upload_recording();
    running_flag(*rec).store(0);
    return nullptr;
}

ZENT_EXPORT int start_local_mjpg_record(FILE **file_slot, pthread_mutex_t *lock, int duration)
{
    if (file_slot == nullptr || lock == nullptr) {
        l_printf_file(kSource, LOG_ERR, "Local mjpg recording needs a file slot and a lock.\n");
        return 1;
    }
    // Test and set in one step: of two starts at once only one records.
    int idle = 0;
    if (!running_flag(g_record).compare_exchange_strong(idle, 1)) {
        l_printf_file(kSource, LOG_WARNING, "Local mjpg recordning already running.");
        return ZENT_RECORDING_BUSY;
    }
    const std::string path = zent_path(ZENT_RECORDING_PATH);
    pthread_mutex_lock(lock);
    if (*file_slot != nullptr)
        std::fclose(*file_slot);
    *file_slot = std::fopen(path.c_str(), "we");
    const int open_errno = errno;
    pthread_mutex_unlock(lock);
    if (*file_slot == nullptr) {
        l_printf_file(kSource, LOG_ERR, "Cannot open %s: %s\n", path.c_str(),
                      std::strerror(open_errno));
        running_flag(g_record).store(0);
        return 1;
    }

    // A private copy: the shared page buffer belongs to the web pages' thread.
    const std::string settings = zent_allparams_text();
    pthread_mutex_lock(lock);
    if (*file_slot != nullptr &&
        !write_part(*file_slot, "text/plain", settings.data(), settings.size()))
        l_printf_file(kSource, LOG_DEBUG, "Failed to write config.");
    pthread_mutex_unlock(lock);

    g_record.file_slot = file_slot;
    g_record.lock = lock;
    g_record.duration = duration;
    pthread_attr_t attr;
    pthread_t thread;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        err = pthread_create(&thread, &attr, main_local_mjpg_record, &g_record);
        pthread_attr_destroy(&attr);
    }
    if (err != 0) {
        l_printf_file(kSource, LOG_ERR, "Cannot start the recording thread: %s\n",
                      std::strerror(err));
        close_slot(lock, file_slot);
        running_flag(g_record).store(0);
        return 1;
    }
    return 0;
}

} // extern "C"

// Snapshots: each function keeps the frame it returned until its next call.
namespace
{

std::mutex g_snapshot_mutex;
capture_stream *g_image_stream = nullptr;
capture_frame *g_image_frame = nullptr;
capture_frame *g_single_frame = nullptr;
char g_empty[1] = "";

void set_size(int *size, std::size_t value)
{
    if (size != nullptr)
        *size = value > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// The query's "&resolution=..." item up to the next '&', or the default; copied, so that the
// caller's text is never written.
std::string resolution_item(const char *query)
{
    static constexpr char kKey[] = "&resolution=";
    const char *at = query ? std::strstr(query, kKey) : nullptr;
    if (at == nullptr)
        return "&resolution=320x240";
    const char *end = std::strchr(at + 1, '&');
    std::size_t n = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
    return std::string(at, n < kMaxFragment ? n : kMaxFragment);
}

} // namespace

extern "C" {

ZENT_EXPORT char *jpeg_image(void *unused, const char *query, int *size)
{
    (void)unused;
    std::lock_guard<std::mutex> guard(g_snapshot_mutex);
    set_size(size, 0);
    if (zent_param_get_anon())
        return nullptr;
    if (g_image_stream == nullptr) {
        const std::string properties = "fps=5&" + resolution_item(query) + "\n";
        g_image_stream = capture_open_stream(kMediaType, properties.c_str());
        if (g_image_stream == nullptr) {
            l_printf_file(kSource, LOG_WARNING, "Failed to open video stream.");
            return nullptr;
        }
    }
    capture_frame_free(g_image_frame);
    g_image_frame = capture_get_frame(g_image_stream);
    if (g_image_frame == nullptr)
        return nullptr;
    set_size(size, capture_frame_size(g_image_frame));
    return static_cast<char *>(capture_frame_data(g_image_frame));
}

ZENT_EXPORT char *jpeg_single_image(void *unused, const char *query, int *size)
{
    (void)unused;
    std::lock_guard<std::mutex> guard(g_snapshot_mutex);
    set_size(size, 0);
    if (zent_param_get_anon())
        return nullptr;
    const bool large = query != nullptr && std::strstr(query, "&resolution=640x480") != nullptr;
    capture_stream *stream = capture_open_stream(kMediaType, large ? "fps=5&resolution=640x480"
                                                                   : "fps=5&resolution=320x240");
    capture_frame_free(g_single_frame);
    g_single_frame = nullptr;
    if (stream == nullptr)
        return g_empty;
    g_single_frame = capture_get_frame(stream);
    capture_close_stream(stream);
    if (g_single_frame == nullptr)
        return g_empty;
    set_size(size, capture_frame_size(g_single_frame));
    return static_cast<char *>(capture_frame_data(g_single_frame));
}

} // extern "C"
