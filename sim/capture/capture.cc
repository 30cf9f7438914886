// The camera maker's capture library, simulated: JPEG streams of the synthetic scene at the
// size, rate and compression the property text asks for, with faults on request.
#include "capture_sim.h"
#include "capture_stream.h"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

#define CAPTURE_API extern "C" __attribute__((visibility("default")))

struct capture_stream {
    int id = 0;
    int width = 640;
    int height = 480;
    int fps = 30;
    int quality = 70;
    bool paced = true;
    long fail_frame = 0; // the Nth get returns NULL (0: never)
    std::size_t pad = 0;
    std::string log;
    struct timespec start = {};
    uint64_t next = 0; // number of the next frame
    long gets = 0;
    uint64_t delivered = 0;
};

struct capture_frame {
    unsigned char *data = nullptr; // libjpeg's output buffer (malloc)
    std::size_t size = 0;
    int stream = 0;
    uint64_t number = 0;
    std::string log;
};

namespace
{

std::atomic<int> g_streams{0};
std::atomic<int> g_outstanding{0};
std::atomic<int> g_ids{0};
std::atomic<long> g_opens{0};

constexpr int kMaxSide = 4096;
constexpr std::size_t kComMax = 65533; // payload of one comment segment

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? v : "";
}

long env_num(const char *name, long fallback)
{
    std::string v = env(name);
    if (v.empty())
        return fallback;
    char *end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    return (end && *end == '\0' && n >= 0) ? n : fallback;
}

// Control characters and backslashes escaped, so that one call stays one line whatever the
// caller passed.
std::string escaped(std::string_view s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else
            out.push_back(static_cast<char>(c));
    }
    return out;
}

void log_line(const std::string &path, const std::string &line)
{
    if (path.empty())
        return;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string l = line + "\n";
    ssize_t w = write(fd, l.data(), l.size());
    (void)w;
    close(fd);
}

bool parse_int(std::string_view text, int lo, int hi, int *out)
{
    if (text.empty() || text.size() > 9)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// Applies the property text to the stream; the reason when it cannot.
const char *apply_properties(capture_stream &s, std::string_view props)
{
    while (!props.empty()) {
        std::size_t amp = props.find('&');
        std::string_view item = props.substr(0, amp);
        props = amp == std::string_view::npos ? std::string_view{} : props.substr(amp + 1);
        while (!item.empty() && (item.back() == '\n' || item.back() == '\r'))
            item.remove_suffix(1);
        if (item.empty())
            continue;
        std::size_t eq = item.find('=');
        std::string_view key = item.substr(0, eq);
        std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        if (key == "fps") {
            if (!parse_int(value, 1, 60, &s.fps))
                return "bad fps";
        } else if (key == "resolution") {
            std::size_t x = value.find('x');
            if (x == std::string_view::npos ||
                !parse_int(value.substr(0, x), 1, kMaxSide, &s.width) ||
                !parse_int(value.substr(x + 1), 1, kMaxSide, &s.height))
                return "bad resolution";
        } else if (key == "compression") {
            int c = 0;
            if (!parse_int(value, 0, 100, &c))
                return "bad compression";
            s.quality = c >= 100 ? 1 : 100 - c;
        }
    }
    return nullptr;
}

struct jpeg_error {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void on_jpeg_error(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<jpeg_error *>(c->err)->jump, 1);
}

void no_jpeg_message(j_common_ptr) {}

// The synthetic scene of frame n, one RGB row.
void scene_row(const capture_stream &s, uint64_t n, int y, unsigned char *rgb)
{
    int side = s.width < s.height ? s.width : s.height;
    if (side > 64)
        side = 64;
    long qx = static_cast<long>((n * 16) % static_cast<uint64_t>(s.width - side + 1));
    long qy = static_cast<long>((n * 8) % static_cast<uint64_t>(s.height - side + 1));
    bool in_rows = y >= qy && y < qy + side;
    for (int x = 0; x < s.width; ++x) {
        int v = (in_rows && x >= qx && x < qx + side) ? 255 : ((x + y) >> 3) % 200;
        rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = static_cast<unsigned char>(v);
    }
}

// Encodes frame n; only plain locals live across the error jump.
bool encode(const capture_stream &s, uint64_t n, unsigned char *row, unsigned char **out,
            unsigned long *out_len)
{
    jpeg_compress_struct c;
    jpeg_error err;
    unsigned char *buf = nullptr;
    unsigned long len = 0;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_jpeg_error;
    err.mgr.output_message = no_jpeg_message;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        std::free(buf);
        return false;
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &buf, &len);
    c.image_width = static_cast<JDIMENSION>(s.width);
    c.image_height = static_cast<JDIMENSION>(s.height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    char note[128];
    int nl = std::snprintf(note, sizeof note, "frame=%llu stream=%d resolution=%dx%d quality=%d",
                           static_cast<unsigned long long>(n), s.id, s.width, s.height, s.quality);
    jpeg_write_marker(&c, JPEG_COM, reinterpret_cast<const JOCTET *>(note),
                      static_cast<unsigned>(nl));
    static const std::vector<JOCTET> filler(kComMax, 'p');
    for (std::size_t left = s.pad; left > 0;) {
        std::size_t chunk = left < kComMax ? left : kComMax;
        jpeg_write_marker(&c, JPEG_COM, filler.data(), static_cast<unsigned>(chunk));
        left -= chunk;
    }
    for (int y = 0; y < s.height; ++y) {
        scene_row(s, n, y, row);
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    *out = buf;
    *out_len = len;
    return true;
}

int64_t ns_of(const struct timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct timespec ts_of(int64_t ns)
{
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

// Waits for the stream's next frame time; the number of the frame that is due.
uint64_t pace(capture_stream &s)
{
    uint64_t n = s.next;
    if (s.paced) {
        const int64_t period = 1000000000 / s.fps;
        const int64_t t0 = ns_of(s.start);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t elapsed = ns_of(now) - t0;
        if (elapsed < static_cast<int64_t>(n) * period) {
            struct timespec due = ts_of(t0 + static_cast<int64_t>(n) * period);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
        } else if (elapsed >= static_cast<int64_t>(n + 1) * period) {
            // More than a frame late: the frames in between were never captured.
            n = static_cast<uint64_t>(elapsed / period);
        }
    }
    s.next = n + 1;
    return n;
}

} // namespace

CAPTURE_API capture_stream *capture_open_stream(const char *media_type, const char *properties)
{
    const std::string log = env("CAPTURE_LOG");
    const long nth = g_opens.fetch_add(1) + 1;
    std::string tail = std::string(" media=") + escaped(media_type ? media_type : "(null)") +
                       " props=" + escaped(properties ? properties : "(null)");
    auto refuse = [&](const char *why) -> capture_stream * {
        log_line(log, std::string("open fail why=") + why + tail);
        return nullptr;
    };
    if (media_type == nullptr || properties == nullptr)
        return refuse("null argument");
    if (std::strcmp(media_type, "image/jpeg") != 0)
        return refuse("unsupported media type");
    const std::string fail = env("CAPTURE_FAIL_OPEN");
    if (fail == "all" || (!fail.empty() && env_num("CAPTURE_FAIL_OPEN", -1) == nth))
        return refuse("requested");
    auto *s = new capture_stream;
    if (const char *why = apply_properties(*s, properties)) {
        delete s;
        return refuse(why);
    }
    s->id = g_ids.fetch_add(1) + 1;
    s->paced = env("CAPTURE_UNPACED").empty() || env("CAPTURE_UNPACED") == "0";
    s->fail_frame = env_num("CAPTURE_FAIL_FRAME", 0);
    s->pad = static_cast<std::size_t>(env_num("CAPTURE_PAD_BYTES", 0));
    s->log = log;
    clock_gettime(CLOCK_MONOTONIC, &s->start);
    g_streams.fetch_add(1);
    char head[160];
    std::snprintf(head, sizeof head, "open stream=%d fps=%d resolution=%dx%d quality=%d", s->id,
                  s->fps, s->width, s->height, s->quality);
    log_line(log, head + tail);
    return s;
}

CAPTURE_API capture_frame *capture_get_frame(capture_stream *s)
{
    if (s == nullptr)
        return nullptr;
    ++s->gets;
    if (s->fail_frame > 0 && s->gets == s->fail_frame) {
        log_line(s->log, "frame stream=" + std::to_string(s->id) + " fail why=requested");
        return nullptr;
    }
    uint64_t n = pace(*s);
    std::vector<unsigned char> row(static_cast<std::size_t>(s->width) * 3);
    unsigned char *data = nullptr;
    unsigned long len = 0;
    if (!encode(*s, n, row.data(), &data, &len)) {
        log_line(s->log, "frame stream=" + std::to_string(s->id) + " fail why=encoder");
        return nullptr;
    }
    auto *f = new capture_frame;
    f->data = data;
    f->size = len;
    f->stream = s->id;
    f->number = n;
    f->log = s->log;
    ++s->delivered;
    g_outstanding.fetch_add(1);
    log_line(s->log, "frame stream=" + std::to_string(s->id) + " n=" + std::to_string(n) +
                         " size=" + std::to_string(len));
    return f;
}

CAPTURE_API void *capture_frame_data(const capture_frame *f)
{
    return f ? f->data : nullptr;
}

CAPTURE_API size_t capture_frame_size(const capture_frame *f)
{
    return f ? f->size : 0;
}

CAPTURE_API void capture_frame_free(capture_frame *f)
{
    if (f == nullptr)
        return;
    log_line(f->log,
             "free stream=" + std::to_string(f->stream) + " n=" + std::to_string(f->number));
    std::free(f->data);
    delete f;
    g_outstanding.fetch_sub(1);
}

CAPTURE_API int capture_close_stream(capture_stream *s)
{
    if (s == nullptr)
        return -1;
    log_line(s->log,
             "close stream=" + std::to_string(s->id) + " frames=" + std::to_string(s->delivered));
    delete s;
    g_streams.fetch_sub(1);
    return 0;
}

CAPTURE_API int capture_sim_frames_outstanding(void)
{
    return g_outstanding.load();
}

CAPTURE_API int capture_sim_streams_open(void)
{
    return g_streams.load();
}
