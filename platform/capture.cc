// Capture channels on "/dev/cam%d": the transfer table, window and scaler, frame buffers
// shared with the driver through their header's state word, and left/right pairing.
#include "capture.h"

#include "frame_header.h"
#include "log.h"
#include "low_alloc.h"
#include "param.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

// Written by cap_stop/cap_start from any thread, read by the waiting thread between waits.
std::atomic<int> g_stopped{0};
std::atomic<int> g_buffer_warnings{0};

constexpr int kWaitMs = 50;

using zent_frame::header_int;
using zent_frame::header_word;
using zent_frame::store_word;

uint32_t load_state(const frm &f)
{
    return zent_frame::load_state(f.header);
}

void store_state(frm &f, uint32_t state)
{
    zent_frame::store_state(f.header, state);
}

std::size_t mapping_length(const cap &c)
{
    return static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height) + CAP_HEADER_SIZE;
}

cap *new_channel(int buffers, int width, int height, int stored_value)
{
    auto *c = static_cast<cap *>(std::calloc(1, sizeof(cap)));
    if (c == nullptr) {
        l_printf_file(__FILE__, LOG_ERR, "Cannot allocate a capture channel\n");
        return nullptr;
    }
    c->width = width;
    c->height = height;
    c->stored_value = stored_value;
    c->buffer_count = 0; // counts the buffers actually mapped
    c->fd = -1;
    (void)buffers;
    return c;
}

// Sizes the record and the mappings can hold; the message says why not.
bool usable_size(int channel, int buffers, int width, int height)
{
    if (buffers > CAP_MAX_BUFFERS) {
        l_printf_file(__FILE__, LOG_ERR,
                      "Channel %d: %d buffers refused, at most %d are supported\n", channel,
                      buffers, CAP_MAX_BUFFERS);
        return false;
    }
    if (width <= 0 || height <= 0 ||
        static_cast<int64_t>(width) * height > INT32_MAX - CAP_HEADER_SIZE) {
        l_printf_file(__FILE__, LOG_ERR, "Channel %d: output size %dx%d refused\n", channel, width,
                      height);
        return false;
    }
    return true;
}

void close_fd(cap &c)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
}

bool request(cap &c, int channel, unsigned long number, const char *name, void *arg)
{
    if (ioctl(c.fd, number, arg) < 0) {
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "/dev/cam%d: %s failed: %s\n", channel - 1, name,
                      std::strerror(err));
        return false;
    }
    return true;
}

// Opens the node and programs the transfer table and the window; on failure the channel is
// left without a device.
bool open_and_program(cap &c, int channel, const uint32_t window[7])
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/cam%d", channel - 1);
    c.fd = open(path, O_RDWR | O_CLOEXEC);
    if (c.fd < 0) {
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "Cannot open %s: %s\n", path, std::strerror(err));
        return false;
    }
    const uint16_t *table = cap_transfer_table();
    uint32_t set_table[6] = {3,
                             static_cast<uint32_t>(channel - 1) * 256u,
                             CAM_TABLE_ENTRIES * 2,
                             zent_addr_word(table),
                             1,
                             0};
    uint32_t set_window[7];
    std::memcpy(set_window, window, sizeof set_window);
    if (table == nullptr) {
        l_printf_file(__FILE__, LOG_ERR, "%s: no memory for the transfer table\n", path);
        close_fd(c);
        return false;
    }
    if (!request(c, channel, CAM_SET_TABLE, "CAM_SET_TABLE", set_table) ||
        !request(c, channel, CAM_SET_WINDOW, "CAM_SET_WINDOW", set_window)) {
        close_fd(c);
        return false;
    }
    return true;
}

// Adds and maps `count` buffers; stops at the first that cannot be had, keeping those mapped.
void add_buffers(cap &c, int channel, int count, const uint32_t add_block[8])
{
    std::size_t len = mapping_length(c);
    for (int i = 0; i < count; ++i) {
        uint32_t block[32] = {};
        std::memcpy(block, add_block, 8 * sizeof(uint32_t));
        int offset = ioctl(c.fd, CAM_ADD_BUFFER, block);
        if (offset < 0) {
            int err = errno;
            l_printf_file(__FILE__, LOG_ERR, "/dev/cam%d: CAM_ADD_BUFFER %d failed: %s\n",
                          channel - 1, i, std::strerror(err));
            return;
        }
        void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, c.fd, offset);
        if (map == MAP_FAILED) {
            int err = errno;
            l_printf_file(__FILE__, LOG_ERR, "/dev/cam%d: mapping buffer %d failed: %s\n",
                          channel - 1, i, std::strerror(err));
            ioctl(c.fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(offset));
            return;
        }
        frm &f = c.buffers[i];
        f.map_offset = offset;
        f.header = static_cast<uint8_t *>(map);
        f.in_use = 0;
        store_word(f.header, CAP_HDR_CHANNEL_TAG, static_cast<uint32_t>(channel - 1) * 256u);
        store_state(f, CAP_STATE_DRIVER);
        c.buffer_count = i + 1;
    }
}

bool is_ready(const frm &f)
{
    return f.header != nullptr && load_state(f) == CAP_STATE_FILLED && f.in_use == 0;
}

// Hands a filled frame back to the driver without the application ever holding it.
void drop(frm &f)
{
    f.in_use = 0;
    store_state(f, CAP_STATE_DRIVER);
}

} // namespace

extern "C" {

// The driver reads the table through its address at any time: built once, kept for the
// process, shared by every channel and ring stream.
const uint16_t *cap_transfer_table(void)
{
    static uint16_t *table = [] {
        auto *t = static_cast<uint16_t *>(zent_low_alloc(CAM_TABLE_ENTRIES * sizeof(uint16_t)));
        if (t != nullptr) {
            for (int i = 0; i < CAM_TABLE_ENTRIES - 1; ++i)
                t[i] = static_cast<uint16_t>(7 * i);
            t[CAM_TABLE_ENTRIES - 1] = 4095;
        }
        return t;
    }();
    return table;
}

ZENT_EXPORT void _cap_calculate_scales(int in, int out, int *shift, int *scale, int *offset)
{
    int s = 0, k = 0;
    if (in > 0 && out > 0) {
        float ratio = static_cast<float>(in) / static_cast<float>(out);
        float l = std::log2(ratio);
        // Enlarging (ratio below 1) has no shift; the hardware cannot decimate by 2^31.
        s = l <= 0.0f ? 0 : (l >= 30.0f ? 30 : static_cast<int>(l));
        int64_t v = ((static_cast<int64_t>(in >> s) * 1024 + 1 - out) / out) - 1024;
        k = v < 0 ? 0 : (v > 1024 ? 1024 : static_cast<int>(v));
    }
    if (shift)
        *shift = s;
    if (scale)
        *scale = k;
    if (offset)
        *offset = 0;
}

ZENT_EXPORT cap_t _cap_open_channel_roi(int channel, int buffers, int width, int height, int left,
                                        int right, int top, int bottom, int stored_value,
                                        int unused1, int unused2, int unused3)
{
    (void)unused1;
    (void)unused2;
    (void)unused3;
    cap *c = new_channel(buffers, width, height, stored_value);
    if (c == nullptr)
        return nullptr;
    int W = right - left, H = bottom - top;
    if (width <= 0 || height <= 0) {
        // No output size can be supplied: the same end as a window too small for it.
        l_printf_file(__FILE__, LOG_ERR, "Invalid output size: %dx%d\n", width, height);
        std::free(c);
        std::exit(1);
    }
    int shift = 0, scale = 0, offset = 0;
    float wr = static_cast<float>(W) / static_cast<float>(width);
    float hr = static_cast<float>(H) / static_cast<float>(height);
    if (wr < hr)
        _cap_calculate_scales(W, width, &shift, &scale, &offset);
    else
        _cap_calculate_scales(H, height, &shift, &scale, &offset);
    int64_t mid_w = static_cast<int64_t>(W) * 1024 / (1024 + scale);
    int64_t mid_h = static_cast<int64_t>(H) * 1024 / (1024 + scale);
    int64_t tw = static_cast<int64_t>(width) << shift;
    int64_t th = static_cast<int64_t>(height) << shift;

    if (!usable_size(channel, buffers, width, height))
        return c;
    uint32_t window[7] = {static_cast<uint32_t>(scale),
                          scale != 0 ? 1u : 0u,
                          static_cast<uint32_t>(left),
                          static_cast<uint32_t>(top),
                          static_cast<uint32_t>(W - 1),
                          static_cast<uint32_t>(H - 1),
                          0};
    bool programmed = open_and_program(*c, channel, window);
    if (mid_w < tw || mid_h < th) {
        l_printf_file(__FILE__, LOG_ERR,
                      "Target width is larger than input width: midw:%d tgt_midw:%d\n",
                      static_cast<int>(mid_w), static_cast<int>(tw));
        l_printf_file(__FILE__, LOG_ERR,
                      "Target height is larger than input height: midh:%d tgt_midh:%d\n",
                      static_cast<int>(mid_h), static_cast<int>(th));
        std::exit(1);
    }
    if (!programmed)
        return c;
    uint32_t crop_enabled = (mid_w == tw && mid_h == th) ? 0u : 1u;
    uint32_t add[8] = {3,
                       static_cast<uint32_t>(shift),
                       scale != 0 ? 1u : 0u,
                       crop_enabled,
                       static_cast<uint32_t>((mid_w - tw) / 2),
                       static_cast<uint32_t>((mid_h - th) / 2),
                       static_cast<uint32_t>(tw - 1),
                       static_cast<uint32_t>(th - 1)};
    add_buffers(*c, channel, buffers, add);
    return c;
}

ZENT_EXPORT cap_t _cap_open_channel(int channel, int buffers, int width, int height,
                                    int stored_value, int input_width, int unused1, int unused2)
{
    (void)unused1;
    (void)unused2;
    cap *c = new_channel(buffers, width, height, stored_value);
    if (c == nullptr)
        return nullptr;
    if (!usable_size(channel, buffers, width, height))
        return c;
    // The smallest decimation whose rows fit the output width.
    int n = 0;
    while (n < 30 && static_cast<int64_t>(input_width) > (static_cast<int64_t>(width) << n))
        ++n;
    const uint32_t window[7] = {};
    if (!open_and_program(*c, channel, window))
        return c;
    const uint32_t add[8] = {3, static_cast<uint32_t>(n), 0, 0, 0, 0, 0, 0};
    add_buffers(*c, channel, buffers, add);
    return c;
}

// A setting read as a base-10 number; text that is not one counts as 0.
static int int_setting(const char *name)
{
    const char *text = zent_param_get(name);
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v > INT32_MAX || v < INT32_MIN)
        return 0;
    return static_cast<int>(v);
}

ZENT_EXPORT cap_t _cap_open(int buffers, int width, int height, int stored_value, int unused)
{
    (void)unused;
    if (int_setting("Counter.CropEnabled") == 0)
        return _cap_open_channel(1, buffers, width, height, stored_value, 1920, 1080, 0);
    int l = int_setting("Counter.CropLeft");
    int r = int_setting("Counter.CropRight");
    int t = int_setting("Counter.CropTop");
    int b = int_setting("Counter.CropBottom");
    return _cap_open_channel_roi(1, buffers, width, height, l, r, t, b, stored_value, 0, 0, 0);
}

ZENT_EXPORT cap_t _cap_open_roi(int buffers, int width, int height, int left, int right, int top,
                                int bottom, int stored_value, int unused)
{
    (void)unused;
    return _cap_open_channel_roi(1, buffers, width, height, left, right, top, bottom, stored_value,
                                 0, 0, 0);
}

ZENT_EXPORT void cap_close(cap_t c)
{
    if (c == nullptr)
        return;
    std::size_t len = mapping_length(*c);
    for (int i = 0; i < c->buffer_count; ++i) {
        frm &f = c->buffers[i];
        if (f.header != nullptr)
            munmap(f.header, len);
        f.header = nullptr;
        if (c->fd >= 0)
            ioctl(c->fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(f.map_offset));
    }
    close_fd(*c);
    std::free(c);
}

ZENT_EXPORT int find_oldest_frame(cap_t c)
{
    if (c == nullptr)
        return -1;
    const zent_frame::Oldest oldest = zent_frame::find_oldest(c->buffer_count, [c](int i) {
        const frm &f = c->buffers[i];
        return is_ready(f) ? f.header : nullptr;
    });
    c->filled_count = oldest.ready;
    return oldest.index;
}

ZENT_EXPORT frm_t cap_get_frame(cap_t c)
{
    if (c == nullptr)
        return nullptr;
    int i;
    while ((i = find_oldest_frame(c)) < 0) {
        struct pollfd p = {c->fd, POLLIN, 0};
        // A channel without a device has nothing to wait for: it waits for ever, as asked.
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return nullptr;
    }
    c->buffers[i].in_use = 1;
    return &c->buffers[i];
}

ZENT_EXPORT int cap_return_frame(cap_t c, frm_t f)
{
    (void)c;
    // Only a frame the application holds goes back: a second return would hand the driver a
    // buffer it may already have refilled.
    if (f == nullptr || f->header == nullptr || f->in_use == 0)
        return 0;
    f->in_use = 0;
    store_state(*f, CAP_STATE_DRIVER);
    return 0;
}

ZENT_EXPORT int cap_return_stereo_frame(cap_t left, cap_t right, frm_pair_t pair)
{
    if (pair == nullptr)
        return 0;
    cap_return_frame(left, pair->left);
    cap_return_frame(right, pair->right);
    return 0;
}

ZENT_EXPORT frm_pair_t try_to_get_pair(cap_t left, cap_t right)
{
    if (left == nullptr || right == nullptr)
        return nullptr;
    bool first = true;
    int kept_left = 0, kept_right = 0;
    for (;;) {
        int li = find_oldest_frame(left);
        int ri = find_oldest_frame(right);
        if (first) {
            kept_left = left->filled_count;
            kept_right = right->filled_count;
            first = false;
        }
        if (li < 0 || ri < 0) {
            left->filled_count = kept_left;
            right->filled_count = kept_right;
            return nullptr;
        }
        frm &lf = left->buffers[li];
        frm &rf = right->buffers[ri];
        // 64-bit: clocks far apart must not wrap into the pairing window.
        int64_t dt = (static_cast<int64_t>(header_int(lf.header, CAP_HDR_USER_SEC)) -
                      header_int(rf.header, CAP_HDR_USER_SEC)) *
                         1000000 +
                     (static_cast<int64_t>(header_int(lf.header, CAP_HDR_USER_USEC)) -
                      header_int(rf.header, CAP_HDR_USER_USEC));
        if (dt > CAP_PAIR_WINDOW_USEC) {
            drop(rf);
            continue;
        }
        if (dt < -CAP_PAIR_WINDOW_USEC) {
            drop(lf);
            continue;
        }
        lf.in_use = 1;
        rf.in_use = 1;
        frm_pair &p = left->pairs[li];
        p.left = &lf;
        p.right = &rf;
        return &p;
    }
}

ZENT_EXPORT int buffer_full(cap_t c)
{
    int driver = 0, ready = 0;
    if (c != nullptr) {
        for (int i = 0; i < c->buffer_count; ++i) {
            const frm &f = c->buffers[i];
            if (f.header == nullptr)
                continue;
            if (load_state(f) != CAP_STATE_FILLED)
                ++driver;
            else if (f.in_use == 0)
                ++ready;
        }
    }
    if (driver >= 2)
        return 0;
    if (ready >= 1)
        return 1;
    if (g_buffer_warnings.fetch_add(1) % 1000 == 0)
        l_printf_file(__FILE__, LOG_DEBUG, "Need more buffers in capture_vca!\n");
    return 1;
}

ZENT_EXPORT frm_pair_t cap_get_stereo_frame(cap_t left, cap_t right)
{
    if (left == nullptr || right == nullptr)
        return nullptr;
    frm_pair_t pair = try_to_get_pair(left, right);
    int filled_left = left->filled_count;
    int filled_right = right->filled_count;
    while (pair == nullptr) {
        if (g_stopped.load())
            return nullptr;
        // poll, not select: descriptors past FD_SETSIZE or absent (-1) stay harmless.
        struct pollfd p[2] = {{left->fd, POLLIN, 0}, {right->fd, POLLIN, 0}};
        poll(p, 2, kWaitMs);
        pair = try_to_get_pair(left, right);
    }
    // The driver is short of buffers: drop pairs until it is not, keeping the first extra one
    // so that the next call has a pair at once.
    frm_pair_t held = nullptr;
    while (buffer_full(left) || buffer_full(right)) {
        frm_pair_t extra = try_to_get_pair(left, right);
        if (extra == nullptr)
            break;
        if (held == nullptr)
            held = extra;
        else
            cap_return_stereo_frame(left, right, extra);
    }
    if (held != nullptr) {
        held->left->in_use = 0;
        held->right->in_use = 0;
    }
    pair->buffers_filled_left = filled_left;
    pair->buffers_filled_right = filled_right;
    return pair;
}

ZENT_EXPORT uint8_t *cap_get_data(cap_t c, frm_t f)
{
    (void)c;
    if (f == nullptr || f->header == nullptr)
        return nullptr;
    return f->header + CAP_HEADER_SIZE;
}

ZENT_EXPORT int *cap_get_timestamp(int *out, cap_t c, frm_t f)
{
    (void)c;
    if (out == nullptr)
        return out;
    out[0] = f && f->header ? header_int(f->header, CAP_HDR_CAPTURE_SEC) : 0;
    out[1] = f && f->header ? header_int(f->header, CAP_HDR_CAPTURE_USEC) : 0;
    return out;
}

ZENT_EXPORT int *cap_get_timestamp_user(int *out, frm_t f)
{
    if (out == nullptr)
        return out;
    out[0] = f && f->header ? header_int(f->header, CAP_HDR_USER_SEC) : 0;
    out[1] = f && f->header ? header_int(f->header, CAP_HDR_USER_USEC) : 0;
    return out;
}

ZENT_EXPORT char *cap_get_jpeg(cap_t c, frm_t f, int *size)
{
    (void)c;
    (void)f;
    static char empty[1];
    if (size != nullptr)
        *size = 0;
    return empty;
}

ZENT_EXPORT int cap_get_luminance(void)
{
    return 100;
}

ZENT_EXPORT void cap_start(void)
{
    g_stopped.store(0);
}

ZENT_EXPORT void cap_stop(void)
{
    g_stopped.store(1);
}

} // extern "C"
