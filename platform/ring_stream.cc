// Ring-buffer streams on "/dev/cam%d": four full-frame buffers per stream, the oldest filled
// one handed out, returned through the header's state word.
#include "ring_stream.h"

#include "capture.h"
#include "frame_header.h"
#include "log.h"
#include "low_alloc.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

// Closed streams hold fd -1, so that closing one that was never opened cannot close fd 0.
ZENT_EXPORT rb_stream vca_chan[RB_STREAMS] = {{-1, 0, {}, {}, {}, {}},
                                              {-1, 0, {}, {}, {}, {}},
                                              {-1, 0, {}, {}, {}, {}},
                                              {-1, 0, {}, {}, {}, {}}};

namespace
{

// Messages of the capture side carry its source name.
constexpr const char *kSource = "capture.c";

bool valid_index(int index)
{
    return index >= 0 && index < RB_STREAMS;
}

bool is_open(int index)
{
    return valid_index(index) && vca_chan[index].fd >= 0;
}

std::size_t mapping_length(const rb_stream &s)
{
    return static_cast<std::size_t>(s.frame[0].size) + CAP_HEADER_SIZE;
}

// Unmaps and releases the first `count` buffers; the result of the last release request.
int release_buffers(rb_stream &s, int count)
{
    int result = 0;
    std::size_t len = mapping_length(s);
    for (int k = 0; k < count; ++k) {
        if (s.header[k] != nullptr)
            munmap(s.header[k], len);
        s.header[k] = nullptr;
        result =
            ioctl(s.fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(s.offset[k])) < 0 ? -1 : 0;
        s.offset[k] = 0;
        s.in_use[k] = 0;
        s.frame[k] = rb_frame{};
    }
    return result;
}

void close_node(rb_stream &s)
{
    if (s.fd >= 0)
        close(s.fd);
    s.fd = -1;
}

rb_frame no_frame()
{
    rb_frame f{};
    f.index = -1;
    return f;
}

int fail_open(rb_stream &s, int buffers, const char *path, const char *what)
{
    int err = errno;
    l_printf_file(kSource, LOG_ERR, "%s: %s failed: %s\n", path, what, std::strerror(err));
    release_buffers(s, buffers);
    close_node(s);
    return -1;
}

zent_frame::Oldest oldest_ready(const rb_stream &s)
{
    return zent_frame::find_oldest(RB_BUFFERS, [&s](int k) -> const uint8_t * {
        if (s.in_use[k] || zent_frame::load_state(s.header[k]) != CAP_STATE_FILLED)
            return nullptr;
        return s.header[k];
    });
}

} // namespace

extern "C" {

ZENT_EXPORT int UNOFFICIAL_rb_open_stream(int index, int width, int height, int shift)
{
    if (!valid_index(index)) {
        l_printf_file(kSource, LOG_ERR, "Ring stream %d does not exist\n", index);
        return -1;
    }
    rb_stream &s = vca_chan[index];
    if (s.fd >= 0) {
        l_printf_file(kSource, LOG_ERR, "Ring stream %d is already open\n", index);
        return -1;
    }
    const int w = (shift >= 0 && shift < 31 && width > 0) ? width >> shift : 0;
    const int h = (shift >= 0 && shift < 31 && height > 0) ? height >> shift : 0;
    if (w <= 0 || h <= 0 || static_cast<int64_t>(w) * h > INT32_MAX - CAP_HEADER_SIZE) {
        l_printf_file(kSource, LOG_ERR, "Ring stream %d: size %dx%d >> %d refused\n", index, width,
                      height, shift);
        return -1;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/dev/cam%d", index);
    s.reserved = 0;
    for (int k = 0; k < RB_BUFFERS; ++k) {
        s.frame[k] = rb_frame{0, 0, w, h, w * h, nullptr, k};
        s.header[k] = nullptr;
        s.in_use[k] = 0;
    }
    s.fd = open(path, O_RDWR | O_CLOEXEC);
    if (s.fd < 0)
        return fail_open(s, 0, path, "open");
    const uint16_t *table = cap_transfer_table();
    if (table == nullptr) {
        errno = ENOMEM;
        return fail_open(s, 0, path, "transfer table");
    }
    uint32_t set_table[6] = {
        3, static_cast<uint32_t>(index) * 256u, CAM_TABLE_ENTRIES * 2, zent_addr_word(table), 1, 0};
    uint32_t set_window[7] = {};
    if (ioctl(s.fd, CAM_SET_TABLE, set_table) < 0)
        return fail_open(s, 0, path, "CAM_SET_TABLE");
    if (ioctl(s.fd, CAM_SET_WINDOW, set_window) < 0)
        return fail_open(s, 0, path, "CAM_SET_WINDOW");
    const std::size_t len = mapping_length(s);
    for (int k = 0; k < RB_BUFFERS; ++k) {
        uint32_t block[32] = {3, static_cast<uint32_t>(shift)};
        int offset = ioctl(s.fd, CAM_ADD_BUFFER, block);
        if (offset < 0)
            return fail_open(s, k, path, "CAM_ADD_BUFFER");
        s.offset[k] = offset;
        void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, s.fd, offset);
        if (map == MAP_FAILED)
            return fail_open(s, k + 1, path, "mapping a buffer");
        s.header[k] = static_cast<uint8_t *>(map);
        zent_frame::store_word(s.header[k], CAP_HDR_CHANNEL_TAG,
                               static_cast<uint32_t>(index) * 256u);
        zent_frame::store_state(s.header[k], CAP_STATE_DRIVER);
    }
    return 0;
}

ZENT_EXPORT rb_frame UNOFFICIAL_rb_request_frame(int index)
{
    if (!is_open(index))
        return no_frame();
    rb_stream &s = vca_chan[index];
    bool woke = false;
    for (;;) {
        int held = 0;
        for (int k = 0; k < RB_BUFFERS; ++k)
            held += s.in_use[k] != 0;
        // Nothing can come while the application holds every buffer.
        if (held == RB_BUFFERS)
            return no_frame();
        const zent_frame::Oldest oldest = oldest_ready(s);
        if (oldest.index >= 0) {
            const int k = oldest.index;
            rb_frame &f = s.frame[k];
            f.sec = oldest.sec;
            f.usec = oldest.usec;
            f.data = s.header[k] + CAP_HEADER_SIZE;
            s.in_use[k] = 1;
            return f;
        }
        // The node stays readable while a held buffer is filled: after a wake-up that gave
        // nothing, pause a millisecond rather than spin on the same readiness.
        if (woke) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
        struct pollfd p = {s.fd, POLLIN, 0};
        int r = poll(&p, 1, -1);
        if (r < 0 && errno != EINTR)
            return no_frame();
        woke = r > 0;
    }
}

ZENT_EXPORT void UNOFFICIAL_rb_return_frame(int index, rb_frame frame)
{
    if (!is_open(index) || frame.index < 0 || frame.index >= RB_BUFFERS)
        return;
    rb_stream &s = vca_chan[index];
    // Only a held buffer goes back: the driver may already be refilling any other.
    if (!s.in_use[frame.index])
        return;
    s.in_use[frame.index] = 0;
    zent_frame::store_state(s.header[frame.index], CAP_STATE_DRIVER);
}

ZENT_EXPORT int UNOFFICIAL_rb_close_stream(int index)
{
    if (!is_open(index))
        return -1;
    rb_stream &s = vca_chan[index];
    int result = release_buffers(s, RB_BUFFERS);
    close_node(s);
    return result;
}

} // extern "C"
