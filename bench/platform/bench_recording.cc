/* Local recording and snapshots against the capture library stand-in, unpaced: recording
 * throughput beside the stand-in's own frame rate and a plain write loop of the same bytes
 * into the same directory; the time to the 90 MiB stop; how soon a cleared file slot ends a
 * 4 fps recording; snapshots per second beside a raw libjpeg-turbo encode of the same frame.
 * Works in a scratch camera root of its own. */
#include "capture_sim.h"
#include "capture_stream.h"
#include "recording.h"

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

namespace
{

using clk = std::chrono::steady_clock;

double seconds_since(clk::time_point t0)
{
    return std::chrono::duration<double>(clk::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string g_root;
FILE *g_slot = nullptr;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

std::string recording_path()
{
    return g_root + ZENT_RECORDING_PATH;
}

void stop_recording()
{
    pthread_mutex_lock(&g_lock);
    if (g_slot != nullptr)
        std::fclose(g_slot);
    g_slot = nullptr;
    pthread_mutex_unlock(&g_lock);
}

// The thread has left its frame loop once the stream is closed and no frame is held.
void wait_stream_closed()
{
    while (capture_sim_streams_open() != 0 || capture_sim_frames_outstanding() != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// Starts a recording, waiting out the few microseconds in which the previous one still
// clears its running flag.
void start(int duration)
{
    int r;
    while ((r = start_local_mjpg_record(&g_slot, &g_lock, duration)) == ZENT_RECORDING_BUSY)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (r != 0) {
        std::fprintf(stderr, "bench_recording: start failed (%d)\n", r);
        std::exit(1);
    }
}

std::vector<char> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

// The recording's parts, header and body together: (offset, length).
std::vector<std::pair<std::size_t, std::size_t>> parts_of(const std::vector<char> &data)
{
    std::vector<std::pair<std::size_t, std::size_t>> parts;
    std::string_view all(data.data(), data.size());
    std::size_t pos = 0;
    while (pos < all.size()) {
        // Parts are length-delimited: find the header's Content-Length and skip the body.
        std::size_t len_at = all.find("Content-Length: ", pos);
        if (len_at == std::string_view::npos)
            break;
        std::size_t body_at = all.find("\r\n\r\n", len_at) + 4;
        std::size_t end = std::min<std::size_t>(
            all.size(), body_at + std::strtoul(all.data() + len_at + 16, nullptr, 10));
        parts.emplace_back(pos, end - pos);
        pos = end;
    }
    return parts;
}

// Writes the same bytes in the same pieces as a plain stdio loop; seconds.
double plain_write(const std::vector<char> &data)
{
    auto parts = parts_of(data);
    std::string path = g_root + "/mnt/flash/plain";
    auto t0 = clk::now();
    FILE *f = std::fopen(path.c_str(), "w");
    for (auto [at, n] : parts)
        std::fwrite(data.data() + at, 1, n, f);
    std::fclose(f);
    double s = seconds_since(t0);
    unlink(path.c_str());
    return s;
}

// Frames per second of the stand-in alone (encode and hand-out), for `s` seconds.
double capture_rate(const char *props, double s)
{
    capture_stream *st = capture_open_stream("image/jpeg", props);
    long n = 0;
    auto t0 = clk::now();
    while (seconds_since(t0) < s) {
        capture_frame_free(capture_get_frame(st));
        ++n;
    }
    double rate = n / seconds_since(t0);
    capture_close_stream(st);
    return rate;
}

void small_frames()
{
    std::vector<double> fps, mbps, cap, plain;
    std::size_t frame_bytes = 0;
    for (int run = 0; run < 5; ++run) {
        start(0);
        auto t0 = clk::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        stop_recording();
        double s = seconds_since(t0);
        wait_stream_closed();
        auto data = read_file(recording_path());
        auto parts = parts_of(data);
        double frames = static_cast<double>(parts.size() - 1);
        fps.push_back(frames / s);
        mbps.push_back(data.size() / s / 1e6);
        frame_bytes = (data.size() - parts[0].second) / std::max<std::size_t>(1, parts.size() - 1);
        // The same bytes, and the stand-in's own rate, in the same run.
        plain.push_back(data.size() / plain_write(data) / 1e6);
        cap.push_back(capture_rate("fps=4&resolution=160x120&compression=80", 0.4));
    }
    double f = median(fps), c = median(cap), m = median(mbps), p = median(plain);
    std::printf("160x120 frames (%zu bytes a part), 5 runs of 0.8 s, medians:\n", frame_bytes);
    std::printf("  recording        %9.0f frames/s %8.1f MB/s %8.1f us a frame\n", f, m, 1e6 / f);
    std::printf("  stand-in alone   %9.0f frames/s %17s %8.1f us a frame\n", c, "", 1e6 / c);
    std::printf("  plain fwrite     %26.1f MB/s %8.2f us a part\n", p, frame_bytes / p);
    std::printf("  stand-in rate / recording rate: %.2f\n", c / f);
}

void large_frames()
{
    setenv("CAPTURE_PAD_BYTES", "1048576", 1);
    std::vector<double> secs, plain, cap;
    std::size_t size = 0, parts = 0;
    for (int run = 0; run < 3; ++run) {
        auto t0 = clk::now();
        start(0);
        // It ends by itself at the limit, closing the file and clearing the slot.
        for (;;) {
            pthread_mutex_lock(&g_lock);
            bool done = g_slot == nullptr;
            pthread_mutex_unlock(&g_lock);
            if (done)
                break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        secs.push_back(seconds_since(t0));
        wait_stream_closed();
        auto data = read_file(recording_path());
        size = data.size();
        parts = parts_of(data).size() - 1;
        plain.push_back(plain_write(data));
        cap.push_back(capture_rate("fps=4&resolution=160x120&compression=80", 0.3));
    }
    unsetenv("CAPTURE_PAD_BYTES");
    double s = median(secs), p = median(plain), c = median(cap);
    std::printf("1 MiB frames to the 90 MiB stop (%zu images, %zu bytes), 3 runs, medians:\n",
                parts, size);
    std::printf("  recording %.3f s (%.1f MB/s); the stand-in alone makes those images in "
                "%.3f s;\n  plain fwrite of the same bytes %.3f s (%.1f MB/s); recording / "
                "(stand-in + fwrite) %.2f\n",
                s, size / s / 1e6, parts / c, p, size / p / 1e6, s / (parts / c + p));
}

void stop_latency()
{
    unsetenv("CAPTURE_UNPACED");
    std::vector<double> lat;
    for (int run = 0; run < 3; ++run) {
        start(0);
        // Two frames in, then clear the slot and time how soon the stream closes.
        while (capture_sim_streams_open() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto t0 = clk::now();
        stop_recording();
        wait_stream_closed();
        lat.push_back(seconds_since(t0));
    }
    setenv("CAPTURE_UNPACED", "1", 1);
    std::printf("stop latency at 4 fps after the slot is cleared: median %.0f ms (at most one "
                "frame, 250 ms)\n",
                median(lat) * 1e3);
}

// The stand-in's scene rendered and encoded directly with libjpeg-turbo, same settings.
struct jpeg_err {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void raw_error(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<jpeg_err *>(c->err)->jump, 1);
}

unsigned long raw_encode(int w, int h, int n, std::vector<unsigned char> &rgb)
{
    int side = std::min({64, w, h});
    int qx = (16 * n) % (w - side + 1), qy = (8 * n) % (h - side + 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v =
                (x >= qx && x < qx + side && y >= qy && y < qy + side) ? 255 : ((x + y) >> 3) % 200;
            unsigned char *p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            p[0] = p[1] = p[2] = static_cast<unsigned char>(v);
        }
    jpeg_compress_struct c;
    jpeg_err err;
    unsigned char *buf = nullptr;
    unsigned long len = 0;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = raw_error;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        std::free(buf);
        return 0;
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &buf, &len);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 70, TRUE);
    jpeg_start_compress(&c, TRUE);
    for (int y = 0; y < h; ++y) {
        JSAMPROW row = &rgb[static_cast<std::size_t>(y) * w * 3];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::free(buf);
    return len;
}

double rate_of(double s, const std::function<void()> &fn)
{
    long n = 0;
    auto t0 = clk::now();
    while (seconds_since(t0) < s) {
        fn();
        ++n;
    }
    return n / seconds_since(t0);
}

void snapshots()
{
    std::printf("snapshots per second (quality 70), 5 runs of 0.3 s each, medians:\n");
    std::printf("  %-9s %12s %14s %12s %12s\n", "size", "jpeg_image", "single_image", "raw encode",
                "raw/image");
    for (auto [w, h] : {std::pair{320, 240}, std::pair{640, 480}}) {
        std::vector<double> img, single, raw;
        std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
        std::string q = "&resolution=" + std::to_string(w) + "x" + std::to_string(h);
        for (int run = 0; run < 5; ++run) {
            // jpeg_image keeps the stream of its first call: one process-wide size, so the
            // larger size times single images and raw encodes only.
            int size = 0;
            if (w == 320)
                img.push_back(rate_of(0.3, [&] { jpeg_image(nullptr, q.c_str(), &size); }));
            single.push_back(rate_of(0.3, [&] { jpeg_single_image(nullptr, q.c_str(), &size); }));
            int n = 0;
            raw.push_back(rate_of(0.3, [&] { raw_encode(w, h, n++, rgb); }));
        }
        double i = img.empty() ? 0 : median(img), s = median(single), r = median(raw);
        if (w == 320)
            std::printf("  %4dx%-4d %12.0f %14.0f %12.0f %12.2f\n", w, h, i, s, r, r / i);
        else
            std::printf("  %4dx%-4d %12s %14.0f %12.0f %12.2f (raw/single)\n", w, h, "-", s, r,
                        r / s);
    }
}

} // namespace

int main()
{
    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/bench-recording-XXXXXX";
    std::vector<char> buf(dir.begin(), dir.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::perror("bench_recording: mkdtemp");
        return 1;
    }
    g_root = buf.data();
    mkdir((g_root + "/mnt").c_str(), 0755);
    mkdir((g_root + "/mnt/flash").c_str(), 0755);
    // The settings page asks the parameter tool; an empty one keeps the page small and quiet.
    mkdir((g_root + "/usr").c_str(), 0755);
    mkdir((g_root + "/usr/bin").c_str(), 0755);
    if (FILE *tool = std::fopen((g_root + "/usr/bin/knobctl").c_str(), "w")) {
        std::fputs("#!/bin/sh\nexit 0\n", tool);
        std::fclose(tool);
        chmod((g_root + "/usr/bin/knobctl").c_str(), 0755);
    }
    setenv("ZENT_ROOT", g_root.c_str(), 1);
    setenv("CAPTURE_UNPACED", "1", 1);
    unsetenv("CAPTURE_LOG");

    std::printf("recording and snapshots against the capture library stand-in (unpaced)\n");
    small_frames();
    large_frames();
    stop_latency();
    snapshots();

    std::string cmd = "rm -rf '" + g_root + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
