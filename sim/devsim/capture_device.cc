// Simulated capture driver behind "/dev/cam0" (left sensor) and "/dev/cam1" (right sensor).
//
// Protocol: CAM_SET_TABLE and CAM_SET_WINDOW program the channel, each CAM_ADD_BUFFER hands
// out one frame buffer (the ioctl result is its page-aligned mapping offset, at most 40 per
// open), the application maps it MAP_SHARED at that offset and owns it while its header
// `state` word (byte 32) reads 3; writing 2 hands it back. The driver fills only buffers in
// state 2: pixels, user and capture stamps (bytes 44-56), then `state` = 3 with a release
// store, then the descriptor becomes readable. It stays readable while any buffer of the open
// is in state 3 (a watcher drains it within about a millisecond after the last one goes
// back; spurious readiness is possible). CAM_RELEASE_BUFFER forgets a buffer.
//
// Header words the application must leave alone (all but state, the channel tag at byte 40
// and the stamps) are pre-filled with 0xD5C0DE00 + word index; a changed one is logged at
// the next fill ("application wrote header word N") and restored.
//
// Frame geometry. Window block {scale, en, left, top, wf, hf, 0}, buffer block {3, shift,
// en, crop, cx, cy, cwf, chf}:
//   W = wf + 1, H = hf + 1, mid_w = W * 1024 / (1024 + scale), mid_h likewise;
//   tw, th = cwf + 1, chf + 1 when crop is 1, else mid_w, mid_h (and cx = cy = 0);
//   out_w = tw >> shift, out_h = th >> shift;
//   pixel (ox, oy) = sensor(clamp(left + (((cx + (ox << shift)) * (1024 + scale)) >> 10)),
//                           clamp(top + (((cy + (oy << shift)) * (1024 + scale)) >> 10)))
//   with clamp to the sensor. Full-frame channel (window all zero, buffer {3, n, 0, ...}):
//   out = (sensor_w >> n) x (sensor_h >> n), pixel (ox, oy) = sensor(ox << n, oy << n),
//   written packed and cut at the end of the application's mapping.
// Sensor: an image set through devsim_cam_set_sensor, or the synthetic scene of frame f (f
// counts the fills since the open): ((x + y) >> 3) % 200, with a square of side
// min(64, w, h) at ((16 f) mod (w - side + 1), (8 f) mod (h - side + 1)) set to 255.
//
// Environment, read at each open: DEVSIM_CAM_MISSING=0,1 (nodes that do not exist),
// DEVSIM_CAM_FAIL=<REQUEST>[:N],... (that request fails with EIO on its Nth call from the
// open, every call without N), DEVSIM_CAM_FAIL_MMAP=N (the Nth mmap fails with ENOMEM),
// DEVSIM_CAM_SENSOR=WxH (size of the synthetic scene; default 1920x1080).
#include "cam_abi.h"
#include "devsim_control.h"
#include "devsim_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace devsim
{
namespace
{

constexpr int node_count = 2;
constexpr uint32_t header_pattern = 0xD5C0DE00u;

const char *const node_path[node_count] = {"/dev/cam0", "/dev/cam1"};

struct request_name {
    uint32_t request;
    const char *name;
};
const request_name cam_requests[] = {
    {CAM_SET_TABLE, "CAM_SET_TABLE"},
    {CAM_SET_WINDOW, "CAM_SET_WINDOW"},
    {CAM_ADD_BUFFER, "CAM_ADD_BUFFER"},
    {CAM_RELEASE_BUFFER, "CAM_RELEASE_BUFFER"},
};

const char *name_of(uint32_t request)
{
    for (const request_name &r : cam_requests)
        if (r.request == request)
            return r.name;
    return nullptr;
}

struct sensor_image {
    int width = 1920;
    int height = 1080;
    std::vector<uint8_t> pixels; // empty: the synthetic scene
    bool sized = false;          // size set by the control interface (beats DEVSIM_CAM_SENSOR)
};

int synthetic(const sensor_image &s, int x, int y, uint64_t frame)
{
    int side = std::min({64, s.width, s.height});
    long qx = static_cast<long>((frame * 16) % static_cast<uint64_t>(s.width - side + 1));
    long qy = static_cast<long>((frame * 8) % static_cast<uint64_t>(s.height - side + 1));
    if (x >= qx && x < qx + side && y >= qy && y < qy + side)
        return 255;
    return ((x + y) >> 3) % 200;
}

// What outlives an open of a node: its sensor, its counters (read after the close), the
// automatic refill switch.
struct node_data {
    std::shared_ptr<const sensor_image> sensor = std::make_shared<sensor_image>();
    std::map<uint32_t, int> requests;
    int dropped = 0;
    bool auto_fill = false;
};

// Never destroyed: a watcher or producer thread may still run while the process exits.
std::mutex node_mu;
node_data *const nodes = new node_data[node_count];

struct geometry {
    bool full = false;
    int shift = 0, scale = 0, left = 0, top = 0, crop_x = 0, crop_y = 0;
    int out_w = 0, out_h = 0;
};

struct cam_buffer {
    uint32_t off = 0;
    size_t region = 0;
    uint8_t *view = nullptr; // the driver's own mapping
    size_t mapped_len = 0;   // the application's latest mapping
    bool released = false;
    geometry g;

    std::atomic_ref<uint32_t> word(int i) const
    {
        return std::atomic_ref<uint32_t>(reinterpret_cast<uint32_t *>(view)[i]);
    }
};

struct cam_open {
    int node = 0;
    int efd = -1;
    int memfd = -1;
    size_t next_off = 0;
    std::mutex mu;
    bool closed = false;
    bool ready = false; // the descriptor has been made readable

    // Programming
    bool table_set = false;
    bool window_set = false;
    uint32_t window[cam_window_words] = {};
    std::vector<cam_buffer> bufs;
    uint64_t frame = 0;

    // Faults
    std::map<std::string, long> fail; // request name -> Nth call (0: every call)
    std::map<std::string, long> calls;
    long fail_mmap = 0;
    long mmaps = 0;

    // Watcher
    std::thread watcher;
    std::condition_variable cv;
    bool stop = false;

    ~cam_open()
    {
        for (cam_buffer &b : bufs)
            if (b.view != nullptr)
                ::munmap(b.view, b.region);
        if (memfd >= 0)
            ::close(memfd);
    }
};

std::mutex reg_mu;
std::shared_ptr<cam_open> *const current = new std::shared_ptr<cam_open>[node_count];

std::shared_ptr<cam_open> open_of(int node)
{
    if (node < 0 || node >= node_count)
        return nullptr;
    std::lock_guard<std::mutex> lock(reg_mu);
    return current[node];
}

int live_buffers(const cam_open &o)
{
    int n = 0;
    for (const cam_buffer &b : o.bufs)
        n += !b.released;
    return n;
}

// Level readiness: readable while some buffer is the application's.
void update_ready(cam_open &o)
{
    bool any = false;
    for (const cam_buffer &b : o.bufs)
        if (!b.released &&
            b.word(cam_word_state).load(std::memory_order_acquire) == cam_state_ready)
            any = true;
    if (any && !o.ready)
        ready_set(o.efd);
    else if (!any && o.ready)
        ready_clear(o.efd);
    o.ready = any;
}

void check_header(cam_open &o, int slot, cam_buffer &b)
{
    for (int i = 0; i < static_cast<int>(cam_header_bytes / 4); i++) {
        if (i == cam_word_state || (i >= cam_word_user_sec && i <= cam_word_cap_usec))
            continue;
        uint32_t v = b.word(i).load(std::memory_order_relaxed);
        if (i == cam_word_tag) {
            if (v != static_cast<uint32_t>(o.node) * 256)
                log_line("header %s slot=%d word=%d value=%u: channel tag is not %d\n",
                         node_path[o.node], slot, i, v, o.node * 256);
            continue;
        }
        if (v != header_pattern + i) {
            log_line("header %s slot=%d word=%d value=%u: application wrote header word %d\n",
                     node_path[o.node], slot, i, v, i);
            b.word(i).store(header_pattern + i, std::memory_order_relaxed);
        }
    }
}

void produce(const cam_open &o, cam_buffer &b, const sensor_image &s)
{
    const geometry &g = b.g;
    size_t visible = (b.mapped_len > cam_header_bytes ? b.mapped_len : b.region) - cam_header_bytes;
    visible = std::min(visible, b.region - cam_header_bytes);
    size_t total = std::min(static_cast<size_t>(g.out_w) * g.out_h, visible);
    uint8_t *out = b.view + cam_header_bytes;
    auto sample = [&](int x, int y) -> uint8_t {
        x = std::clamp(x, 0, s.width - 1);
        y = std::clamp(y, 0, s.height - 1);
        if (!s.pixels.empty())
            return s.pixels[static_cast<size_t>(y) * s.width + x];
        return static_cast<uint8_t>(synthetic(s, x, y, o.frame));
    };
    const long step = 1024 + g.scale;
    std::vector<int> xs(g.out_w);
    for (int ox = 0; ox < g.out_w; ox++)
        xs[ox] = g.full
                     ? ox << g.shift
                     : g.left + static_cast<int>(
                                    ((g.crop_x + (static_cast<long>(ox) << g.shift)) * step) >> 10);
    size_t n = 0;
    for (int oy = 0; oy < g.out_h && n < total; oy++) {
        int sy = g.full
                     ? oy << g.shift
                     : g.top + static_cast<int>(
                                   ((g.crop_y + (static_cast<long>(oy) << g.shift)) * step) >> 10);
        for (int ox = 0; ox < g.out_w && n < total; ox++)
            out[n++] = sample(xs[ox], sy);
    }
}

// One frame into a free buffer (slot -1: the lowest free one). Called with o.mu held.
int fill_locked(cam_open &o, int slot, int user_sec, int user_usec, int cap_sec, int cap_usec)
{
    if (o.closed)
        return -1;
    if (slot < 0) {
        for (size_t i = 0; i < o.bufs.size() && slot < 0; i++)
            if (!o.bufs[i].released &&
                o.bufs[i].word(cam_word_state).load(std::memory_order_acquire) == cam_state_driver)
                slot = static_cast<int>(i);
    } else if (slot >= static_cast<int>(o.bufs.size()) || o.bufs[slot].released ||
               o.bufs[slot].word(cam_word_state).load(std::memory_order_acquire) !=
                   cam_state_driver) {
        slot = -1;
    }
    if (slot < 0) {
        int dropped;
        {
            std::lock_guard<std::mutex> lock(node_mu);
            dropped = ++nodes[o.node].dropped;
        }
        log_line("drop %s frame=%llu dropped=%d\n", node_path[o.node],
                 static_cast<unsigned long long>(o.frame), dropped);
        o.frame++;
        return -1;
    }
    std::shared_ptr<const sensor_image> s;
    {
        std::lock_guard<std::mutex> lock(node_mu);
        s = nodes[o.node].sensor;
    }
    cam_buffer &b = o.bufs[slot];
    check_header(o, slot, b);
    produce(o, b, *s);
    b.word(cam_word_user_sec).store(static_cast<uint32_t>(user_sec), std::memory_order_relaxed);
    b.word(cam_word_user_usec).store(static_cast<uint32_t>(user_usec), std::memory_order_relaxed);
    b.word(cam_word_cap_sec).store(static_cast<uint32_t>(cap_sec), std::memory_order_relaxed);
    b.word(cam_word_cap_usec).store(static_cast<uint32_t>(cap_usec), std::memory_order_relaxed);
    b.word(cam_word_state).store(cam_state_ready, std::memory_order_release);
    log_line("fill %s slot=%d frame=%llu user_sec=%d user_usec=%d cap_sec=%d cap_usec=%d\n",
             node_path[o.node], slot, static_cast<unsigned long long>(o.frame), user_sec, user_usec,
             cap_sec, cap_usec);
    o.frame++;
    if (!o.ready) {
        ready_set(o.efd);
        o.ready = true;
    }
    return slot;
}

void now_stamp(int &sec, int &usec, long offset_us = 0)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    long long us = static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 + offset_us;
    sec = static_cast<int>(us / 1000000);
    usec = static_cast<int>(us % 1000000);
}

void watch(cam_open *o)
{
    std::unique_lock<std::mutex> lock(o->mu);
    while (!o->stop) {
        bool auto_fill;
        {
            std::lock_guard<std::mutex> nl(node_mu);
            auto_fill = nodes[o->node].auto_fill;
        }
        if (auto_fill) {
            for (size_t i = 0; i < o->bufs.size(); i++) {
                cam_buffer &b = o->bufs[i];
                if (!b.released &&
                    b.word(cam_word_state).load(std::memory_order_acquire) == cam_state_driver) {
                    int s, us;
                    now_stamp(s, us);
                    fill_locked(*o, static_cast<int>(i), s, us, s, us);
                }
            }
        }
        update_ready(*o);
        o->cv.wait_for(lock, std::chrono::microseconds(auto_fill ? 100 : 1000));
    }
}

// Counts the call and answers whether the fault switches make it fail.
bool injected(cam_open &o, const char *name)
{
    long n = ++o.calls[name];
    auto it = o.fail.find(name);
    return it != o.fail.end() && (it->second == 0 || it->second == n);
}

void log_request(const cam_open &o, const char *name, const uint32_t *w, int n, long result,
                 const char *why = nullptr)
{
    char res[32];
    if (result < 0)
        std::snprintf(res, sizeof res, "%s", err_name(static_cast<int>(-result)));
    else
        std::snprintf(res, sizeof res, "%ld", result);
    log_line("ioctl %s %s words=%s result=%s%s%s\n", node_path[o.node], name,
             words_text(w, n).c_str(), res, why ? " why=" : "", why ? why : "");
}

long refuse(const cam_open &o, const char *name, const uint32_t *w, int n, int err, const char *why)
{
    log_request(o, name, w, n, -err, why);
    return -err;
}

long set_table(cam_open &o, const uint32_t *w)
{
    const char *name = "CAM_SET_TABLE";
    if (w[0] != 3 || w[1] != static_cast<uint32_t>(o.node) * 256 || w[2] != cam_table_bytes ||
        w[4] != 1 || w[5] != 0)
        return refuse(o, name, w, cam_table_words, EINVAL, "block");
    uint16_t table[cam_table_entries];
    if (copy_from_user(table, w[3], sizeof table) != 0)
        return refuse(o, name, w, cam_table_words, EFAULT, "table address unreadable");
    for (int i = 0; i < cam_table_entries; i++) {
        uint16_t want = i < cam_table_entries - 1 ? static_cast<uint16_t>(7 * i) : 4095;
        if (table[i] != want) {
            char why[64];
            std::snprintf(why, sizeof why, "table entry %d is %u", i, table[i]);
            return refuse(o, name, w, cam_table_words, EINVAL, why);
        }
    }
    o.table_set = true;
    log_request(o, name, w, cam_table_words, 0);
    return 0;
}

long set_window(cam_open &o, const uint32_t *w)
{
    const char *name = "CAM_SET_WINDOW";
    if (live_buffers(o) > 0)
        return refuse(o, name, w, cam_window_words, EBUSY, "buffers added");
    bool full = std::all_of(w, w + cam_window_words, [](uint32_t v) { return v == 0; });
    if (!full && (w[0] > 1024 || w[1] != (w[0] != 0 ? 1u : 0u) || w[6] != 0 || w[4] >= 65536 ||
                  w[5] >= 65536 || w[2] >= 65536 || w[3] >= 65536))
        return refuse(o, name, w, cam_window_words, EINVAL, "block");
    std::copy(w, w + cam_window_words, o.window);
    o.window_set = true;
    log_request(o, name, w, cam_window_words, 0);
    return 0;
}

long add_buffer(cam_open &o, const uint32_t *w)
{
    const char *name = "CAM_ADD_BUFFER";
    if (!o.table_set || !o.window_set)
        return refuse(o, name, w, cam_buffer_words, EINVAL, "channel not programmed");
    if (w[0] != 3 || w[1] > 15 ||
        std::any_of(w + 8, w + cam_buffer_words, [](uint32_t v) { return v != 0; }))
        return refuse(o, name, w, cam_buffer_words, EINVAL, "block");
    if (live_buffers(o) >= cam_max_buffers)
        return refuse(o, name, w, cam_buffer_words, ENOSPC, "40 buffers");
    std::shared_ptr<const sensor_image> s;
    {
        std::lock_guard<std::mutex> lock(node_mu);
        s = nodes[o.node].sensor;
    }
    geometry g;
    g.shift = static_cast<int>(w[1]);
    bool full =
        std::all_of(o.window, o.window + cam_window_words, [](uint32_t v) { return v == 0; });
    size_t region_bytes;
    if (full) {
        if (std::any_of(w + 2, w + 8, [](uint32_t v) { return v != 0; }))
            return refuse(o, name, w, cam_buffer_words, EINVAL, "full-frame block");
        g.full = true;
        g.out_w = s->width >> g.shift;
        g.out_h = s->height >> g.shift;
        // The application's buffer may be larger than the decimated frame.
        region_bytes = cam_header_bytes + static_cast<size_t>(s->width) * s->height;
    } else {
        g.scale = static_cast<int>(o.window[0]);
        g.left = static_cast<int>(o.window[2]);
        g.top = static_cast<int>(o.window[3]);
        long mid_w = (static_cast<long>(o.window[4]) + 1) * 1024 / (1024 + g.scale);
        long mid_h = (static_cast<long>(o.window[5]) + 1) * 1024 / (1024 + g.scale);
        if (w[2] != o.window[1] || w[3] > 1)
            return refuse(o, name, w, cam_buffer_words, EINVAL, "block");
        long tw = mid_w, th = mid_h;
        if (w[3] == 1) {
            if (w[6] >= 65536 || w[7] >= 65536 || w[4] >= 65536 || w[5] >= 65536)
                return refuse(o, name, w, cam_buffer_words, EINVAL, "crop");
            tw = static_cast<long>(w[6]) + 1;
            th = static_cast<long>(w[7]) + 1;
            g.crop_x = static_cast<int>(w[4]);
            g.crop_y = static_cast<int>(w[5]);
            if (g.crop_x + tw > mid_w || g.crop_y + th > mid_h)
                return refuse(o, name, w, cam_buffer_words, EINVAL, "crop outside window");
        }
        g.out_w = static_cast<int>(tw >> g.shift);
        g.out_h = static_cast<int>(th >> g.shift);
        region_bytes = cam_header_bytes + static_cast<size_t>(g.out_w) * g.out_h;
    }
    if (g.out_w < 1 || g.out_h < 1)
        return refuse(o, name, w, cam_buffer_words, EINVAL, "empty frame");
    cam_buffer b;
    b.g = g;
    b.region = page_round(region_bytes);
    b.off = static_cast<uint32_t>(o.next_off);
    if (o.next_off + b.region > 0x7fffffffu ||
        ftruncate(o.memfd, static_cast<off_t>(o.next_off + b.region)) != 0)
        return refuse(o, name, w, cam_buffer_words, ENOMEM, "no memory");
    void *p = ::mmap(nullptr, b.region, PROT_READ | PROT_WRITE, MAP_SHARED, o.memfd,
                     static_cast<off_t>(b.off));
    if (p == MAP_FAILED)
        return refuse(o, name, w, cam_buffer_words, ENOMEM, "no memory");
    b.view = static_cast<uint8_t *>(p);
    for (int i = 0; i < static_cast<int>(cam_header_bytes / 4); i++)
        b.word(i).store(i == cam_word_state ? 0 : header_pattern + i, std::memory_order_relaxed);
    o.next_off += b.region;
    o.bufs.push_back(b);
    log_request(o, name, w, cam_buffer_words, b.off);
    return b.off;
}

long release_buffer(cam_open &o, uint32_t off)
{
    const char *name = "CAM_RELEASE_BUFFER";
    for (cam_buffer &b : o.bufs) {
        if (b.released || b.off != off)
            continue;
        b.released = true;
        ::munmap(b.view, b.region);
        b.view = nullptr;
        log_request(o, name, &off, 1, 0);
        return 0;
    }
    return refuse(o, name, &off, 1, EINVAL, "unknown offset");
}

int cam_open_node(int node, int efd, void **state)
{
    log_reopen();
    std::vector<std::string> missing = split(env("DEVSIM_CAM_MISSING"), ',');
    if (std::find(missing.begin(), missing.end(), std::to_string(node)) != missing.end()) {
        log_line("open %s ENOENT\n", node_path[node]);
        return -ENOENT;
    }
    auto o = std::make_shared<cam_open>();
    o->node = node;
    o->efd = efd;
    o->memfd = memfd_create(node_path[node] + 5, MFD_CLOEXEC);
    if (o->memfd < 0)
        return -ENOMEM;
    o->next_off = page_size(); // offsets are positive
    for (const std::string &item : split(env("DEVSIM_CAM_FAIL"), ',')) {
        size_t colon = item.find(':');
        std::string name = item.substr(0, colon);
        long n = colon == std::string::npos ? 0 : parse_num(item.substr(colon + 1), -1);
        if (n >= 0)
            o->fail[name] = n;
    }
    o->fail_mmap = parse_num(env("DEVSIM_CAM_FAIL_MMAP"), 0);
    {
        std::lock_guard<std::mutex> lock(node_mu);
        node_data &d = nodes[node];
        d.requests.clear();
        d.dropped = 0;
        std::string size = env("DEVSIM_CAM_SENSOR");
        int w = 0, h = 0;
        if (!d.sensor->sized && d.sensor->pixels.empty()) {
            auto s = std::make_shared<sensor_image>();
            if (std::sscanf(size.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 16384 &&
                h <= 16384) {
                s->width = w;
                s->height = h;
            }
            d.sensor = s;
        }
    }
    o->watcher = std::thread(watch, o.get());
    {
        std::lock_guard<std::mutex> lock(reg_mu);
        current[node] = o;
    }
    *state = new std::shared_ptr<cam_open>(o);
    log_line("open %s ok\n", node_path[node]);
    return 0;
}

int cam0_open(int efd, int flags, void **state)
{
    (void)flags;
    return cam_open_node(0, efd, state);
}

int cam1_open(int efd, int flags, void **state)
{
    (void)flags;
    return cam_open_node(1, efd, state);
}

cam_open &open_rec(void *state)
{
    return **static_cast<std::shared_ptr<cam_open> *>(state);
}

void cam_release(void *state)
{
    auto *holder = static_cast<std::shared_ptr<cam_open> *>(state);
    cam_open &o = **holder;
    {
        std::lock_guard<std::mutex> lock(o.mu);
        o.stop = true;
        o.closed = true;
    }
    o.cv.notify_all();
    o.watcher.join();
    {
        std::lock_guard<std::mutex> lock(reg_mu);
        if (current[o.node] == *holder)
            current[o.node].reset();
    }
    log_line("close %s\n", node_path[o.node]);
    delete holder;
}

long cam_ioctl(void *state, unsigned long request, unsigned long arg)
{
    cam_open &o = open_rec(state);
    const uint32_t req = static_cast<uint32_t>(request);
    const char *name = name_of(req);
    std::lock_guard<std::mutex> lock(o.mu);
    if (name == nullptr) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", req);
        log_line("ioctl %s %s words= result=ENOTTY\n", node_path[o.node], hex);
        return -ENOTTY;
    }
    {
        std::lock_guard<std::mutex> nl(node_mu);
        nodes[o.node].requests[req]++;
    }
    long r;
    if (req == CAM_RELEASE_BUFFER) {
        uint32_t off = static_cast<uint32_t>(arg);
        r = injected(o, name) ? refuse(o, name, &off, 1, EIO, "injected") : release_buffer(o, off);
    } else {
        int n = req == CAM_SET_TABLE    ? cam_table_words
                : req == CAM_SET_WINDOW ? cam_window_words
                                        : cam_buffer_words;
        uint32_t w[cam_buffer_words] = {};
        if (copy_from_user(w, arg, static_cast<size_t>(n) * 4) != 0)
            return refuse(o, name, w, 0, EFAULT, "record unreadable");
        if (injected(o, name))
            r = refuse(o, name, w, n, EIO, "injected");
        else if (req == CAM_SET_TABLE)
            r = set_table(o, w);
        else if (req == CAM_SET_WINDOW)
            r = set_window(o, w);
        else
            r = add_buffer(o, w);
    }
    update_ready(o);
    return r;
}

int cam_mmap(void *state, size_t len, int prot, int flags, off_t off, int *backing)
{
    (void)prot;
    cam_open &o = open_rec(state);
    std::lock_guard<std::mutex> lock(o.mu);
    o.mmaps++;
    int err = EINVAL;
    const char *why = "unknown offset";
    for (cam_buffer &b : o.bufs) {
        if (b.released || static_cast<off_t>(b.off) != off)
            continue;
        if (len == 0 || len > b.region) {
            why = "length";
        } else if ((flags & MAP_TYPE) != MAP_SHARED && (flags & MAP_TYPE) != MAP_SHARED_VALIDATE) {
            why = "not shared";
        } else if (o.fail_mmap != 0 && o.mmaps == o.fail_mmap) {
            err = ENOMEM;
            why = "injected";
        } else {
            err = 0;
            b.mapped_len = len;
        }
        break;
    }
    if (err != 0) {
        log_line("mmap %s off=%lld len=%zu result=%s why=%s\n", node_path[o.node],
                 static_cast<long long>(off), len, err_name(err), why);
        return -err;
    }
    *backing = o.memfd;
    log_line("mmap %s off=%lld len=%zu result=ok\n", node_path[o.node], static_cast<long long>(off),
             len);
    return 0;
}

void cam_munmap(void *state, off_t off, size_t len)
{
    cam_open &o = open_rec(state);
    log_line("munmap %s off=%lld len=%zu\n", node_path[o.node], static_cast<long long>(off), len);
}

// The producer of devsim_cam_run.
struct producer {
    std::mutex mu;
    std::condition_variable cv;
    std::thread thread;
    std::atomic<bool> stop{false};
};
producer &prod = *new producer;

void produce_loop(int fps, int right_offset_us, int drop_every)
{
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    uint64_t right_frames = 0;
    while (!prod.stop) {
        bool done_any = false;
        for (int node = 0; node < node_count; node++) {
            std::shared_ptr<cam_open> o = open_of(node);
            if (!o)
                continue;
            std::lock_guard<std::mutex> ol(o->mu);
            if (fps == 0) {
                // As fast as buffers come back: wait for a free one instead of dropping.
                bool free_buf = false;
                for (const cam_buffer &b : o->bufs)
                    free_buf |=
                        !b.released &&
                        b.word(cam_word_state).load(std::memory_order_acquire) == cam_state_driver;
                if (!free_buf)
                    continue;
            }
            bool skip = node == 1 && drop_every > 0 && ++right_frames % drop_every == 0;
            if (skip) {
                log_line("skip %s frame=%llu\n", node_path[node],
                         static_cast<unsigned long long>(o->frame));
                o->frame++;
                done_any = true;
                continue;
            }
            int s, us, cs, cus;
            now_stamp(cs, cus);
            now_stamp(s, us, node == 1 ? right_offset_us : 0);
            done_any |= fill_locked(*o, -1, s, us, cs, cus) >= 0;
        }
        std::unique_lock<std::mutex> lock(prod.mu);
        if (fps > 0) {
            next += std::chrono::microseconds(1000000 / fps);
            prod.cv.wait_until(lock, next, [] { return prod.stop.load(); });
        } else if (!done_any) {
            prod.cv.wait_for(lock, std::chrono::microseconds(100), [] { return prod.stop.load(); });
        }
    }
}

} // namespace

const sim_device capture_device_0 = {"/dev/cam0", cam0_open,  cam_release, cam_ioctl,
                                     cam_mmap,    cam_munmap, nullptr,     nullptr};
const sim_device capture_device_1 = {"/dev/cam1", cam1_open,  cam_release, cam_ioctl,
                                     cam_mmap,    cam_munmap, nullptr,     nullptr};

} // namespace devsim

using namespace devsim;

extern "C" {

ZENT_EXPORT int devsim_cam_set_sensor(int node, int width, int height, const unsigned char *pixels)
{
    if (node >= 0 && node < node_count && width == 0 && height == 0 && pixels == nullptr) {
        // Back to the default: the synthetic scene sized by DEVSIM_CAM_SENSOR at each open.
        std::lock_guard<std::mutex> lock(node_mu);
        nodes[node].sensor = std::make_shared<sensor_image>();
        return 0;
    }
    if (node < 0 || node >= node_count || width < 1 || height < 1 || width > 16384 ||
        height > 16384)
        return -1;
    auto s = std::make_shared<sensor_image>();
    s->width = width;
    s->height = height;
    s->sized = true;
    if (pixels != nullptr)
        s->pixels.assign(pixels, pixels + static_cast<size_t>(width) * height);
    std::lock_guard<std::mutex> lock(node_mu);
    nodes[node].sensor = s;
    return 0;
}

ZENT_EXPORT int devsim_cam_fill(int node, int slot, int user_sec, int user_usec, int cap_sec,
                                int cap_usec)
{
    std::shared_ptr<cam_open> o = open_of(node);
    if (!o)
        return -1;
    std::lock_guard<std::mutex> lock(o->mu);
    return fill_locked(*o, slot, user_sec, user_usec, cap_sec, cap_usec);
}

ZENT_EXPORT int devsim_cam_state(int node, int slot)
{
    std::shared_ptr<cam_open> o = open_of(node);
    if (!o)
        return -1;
    std::lock_guard<std::mutex> lock(o->mu);
    if (slot < 0 || slot >= static_cast<int>(o->bufs.size()) || o->bufs[slot].released)
        return -1;
    return static_cast<int>(o->bufs[slot].word(cam_word_state).load(std::memory_order_acquire));
}

ZENT_EXPORT int devsim_cam_buffers(int node)
{
    std::shared_ptr<cam_open> o = open_of(node);
    if (!o)
        return 0;
    std::lock_guard<std::mutex> lock(o->mu);
    return live_buffers(*o);
}

ZENT_EXPORT int devsim_cam_dropped(int node)
{
    if (node < 0 || node >= node_count)
        return 0;
    std::lock_guard<std::mutex> lock(node_mu);
    return nodes[node].dropped;
}

ZENT_EXPORT int devsim_cam_requests(int node, unsigned int request)
{
    if (node < 0 || node >= node_count)
        return 0;
    std::lock_guard<std::mutex> lock(node_mu);
    auto it = nodes[node].requests.find(request);
    return it == nodes[node].requests.end() ? 0 : it->second;
}

ZENT_EXPORT void devsim_cam_auto(int node, int on)
{
    if (node < 0 || node >= node_count)
        return;
    {
        std::lock_guard<std::mutex> lock(node_mu);
        nodes[node].auto_fill = on != 0;
    }
    if (std::shared_ptr<cam_open> o = open_of(node))
        o->cv.notify_all();
}

namespace
{
std::mutex run_mu; // one caller at a time starts or stops the producer
}

static void halt_locked()
{
    {
        std::lock_guard<std::mutex> lock(prod.mu);
        prod.stop = true;
    }
    prod.cv.notify_all();
    if (prod.thread.joinable())
        prod.thread.join();
}

ZENT_EXPORT void devsim_cam_halt(void)
{
    std::lock_guard<std::mutex> lock(run_mu);
    halt_locked();
}

ZENT_EXPORT int devsim_cam_run(int fps, int right_user_offset_us, int drop_every)
{
    std::lock_guard<std::mutex> lock(run_mu);
    halt_locked();
    prod.stop = false;
    prod.thread =
        std::thread(produce_loop, std::max(0, fps), right_user_offset_us, std::max(0, drop_every));
    return 0;
}

} // extern "C"
