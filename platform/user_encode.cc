// The coordinate-table resampler: its control block, data buffer and two tables shared with
// the driver, the table format, and one frame through the unit.
#include "user_encode.h"

#include "log.h"
#include "low_alloc.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

constexpr const char *kDevice = "/dev/camuser0";

void put_word(uint8_t *block, int offset, uint32_t value)
{
    std::memcpy(block + offset, &value, sizeof value);
}

// Logs and reports a failed request; by-value requests pass the number itself.
bool request(int fd, unsigned long number, const char *name, unsigned long arg, long *result)
{
    long r = ioctl(fd, number, arg);
    if (r < 0) {
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "%s: %s failed: %s\n", kDevice, name, std::strerror(err));
        return false;
    }
    if (result)
        *result = r;
    return true;
}

bool request_block(int fd, unsigned long number, const char *name, void *block)
{
    return request(fd, number, name, reinterpret_cast<unsigned long>(block), nullptr);
}

uint8_t *map_at(int fd, long offset, std::size_t length, const char *what)
{
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (p == MAP_FAILED) {
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "%s: mapping the %s failed: %s\n", kDevice, what,
                      std::strerror(err));
        return nullptr;
    }
    return static_cast<uint8_t *>(p);
}

// Source coordinate in 1/8 pixel as the table's 16-bit field: truncated toward zero,
// saturated rather than wrapped (NaN counts as 0).
int16_t eighths(double v)
{
    double e = v * 8.0;
    if (std::isnan(e))
        return 0;
    if (e >= 32767.0)
        return INT16_MAX;
    if (e <= -32768.0)
        return INT16_MIN;
    return static_cast<int16_t>(static_cast<int>(e));
}

// Releases whatever `create_user_encode` obtained, in reverse order; safe on a partial unit.
void release(user_encode *ue)
{
    user_encode_internal *u = ue->uc_int;
    if (u != nullptr) {
        if (u->data != nullptr)
            munmap(u->data, u->data_length);
        if (u->data_offset >= 0 && u->fd >= 0)
            ioctl(u->fd, UE_FREE_DATA, static_cast<unsigned long>(u->data_offset));
        zent_low_free(u->scale, 6 * sizeof(uint32_t));
        zent_low_free(u->sharpness, 3 * sizeof(uint32_t));
        if (u->ctl != nullptr)
            munmap(u->ctl, UE_CONTROL_SIZE);
        if (u->ctl_offset >= 0 && u->fd >= 0)
            ioctl(u->fd, UE_UNMAP_CONTROL, static_cast<unsigned long>(u->ctl_offset));
        for (int t = 0; t < 2; ++t)
            if (u->table[t] != nullptr)
                munmap(u->table[t], ue->tab_size);
        for (int t = 0; t < 2; ++t)
            if (u->table_offset[t] >= 0 && u->fd >= 0)
                ioctl(u->fd, UE_FREE_TABLE, static_cast<unsigned long>(u->table_offset[t]));
        if (u->fd >= 0)
            close(u->fd);
        std::free(u);
    }
    std::free(ue);
}

bool multiple_of_16(int v)
{
    return v > 0 && v % 16 == 0;
}

} // namespace

extern "C" {

ZENT_EXPORT user_encode_t create_user_encode(int width, int height, int out_width, int out_height,
                                             unsigned int tab_stride, unsigned int xysharp)
{
    if (!multiple_of_16(width) || !multiple_of_16(height) || !multiple_of_16(out_width) ||
        !multiple_of_16(out_height) || tab_stride == 0)
        return nullptr;
    uint64_t dim_x = ((static_cast<uint64_t>(width) + tab_stride - 1) / tab_stride + 1 + 3) / 4 * 4;
    uint64_t dim_y = (static_cast<uint64_t>(height) + tab_stride - 1) / tab_stride + 1;
    uint64_t tab_size = 8 * dim_x * dim_y;
    uint64_t data_length = 2ull * static_cast<uint64_t>(out_width) * out_height;
    if (tab_size > INT32_MAX || data_length > INT32_MAX ||
        static_cast<uint64_t>(width) * height > INT32_MAX)
        return nullptr;

    auto *ue = static_cast<user_encode *>(std::calloc(1, sizeof(user_encode)));
    auto *u = static_cast<user_encode_internal *>(std::calloc(1, sizeof(user_encode_internal)));
    if (ue == nullptr || u == nullptr) {
        std::free(ue);
        std::free(u);
        return nullptr;
    }
    ue->uc_int = u;
    u->fd = -1;
    u->ctl_offset = u->data_offset = u->table_offset[0] = u->table_offset[1] = -1;
    ue->tab_size = static_cast<unsigned>(tab_size);

    u->fd = open(kDevice, O_RDWR | O_CLOEXEC);
    if (u->fd < 0) {
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "Cannot open %s: %s\n", kDevice, std::strerror(err));
        release(ue);
        return nullptr;
    }
    uint32_t input[3] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), 0};
    uint8_t output[UE_OUTPUT_BLOCK_SIZE] = {};
    put_word(output, 0, 2);
    put_word(output, 4, 1);
    put_word(output, 16, static_cast<uint32_t>(out_width));
    put_word(output, 20, static_cast<uint32_t>(out_height));
    u->frame_bytes = width * height;
    u->out_width = out_width;
    u->out_height = out_height;
    if (!request_block(u->fd, UE_SET_INPUT, "UE_SET_INPUT", input) ||
        !request_block(u->fd, UE_SET_OUTPUT, "UE_SET_OUTPUT", output)) {
        release(ue);
        return nullptr;
    }

    // The unit reads these two records through the 32-bit addresses in the control block.
    u->scale = static_cast<uint32_t *>(zent_low_alloc(6 * sizeof(uint32_t)));
    u->sharpness = static_cast<uint32_t *>(zent_low_alloc(3 * sizeof(uint32_t)));
    if (u->scale == nullptr || u->sharpness == nullptr) {
        l_printf_file(__FILE__, LOG_ERR, "No memory for the resampler's records\n");
        release(ue);
        return nullptr;
    }
    uint32_t step = 65536u / tab_stride;
    const uint32_t scale[6] = {step, 0, 0, step, 0, 0};
    const uint32_t sharp[3] = {xysharp, xysharp, 127};
    std::memcpy(u->scale, scale, sizeof scale);
    std::memcpy(u->sharpness, sharp, sizeof sharp);

    long offset = 0;
    if (!request(u->fd, UE_MAP_CONTROL, "UE_MAP_CONTROL", 2, &offset)) {
        release(ue);
        return nullptr;
    }
    u->ctl_offset = static_cast<int>(offset);
    if ((u->ctl = map_at(u->fd, offset, UE_CONTROL_SIZE, "control block")) == nullptr) {
        release(ue);
        return nullptr;
    }
    std::memset(u->ctl, 0, UE_CONTROL_SIZE);
    put_word(u->ctl, 24, zent_addr_word(u->scale));
    put_word(u->ctl, 28, zent_addr_word(u->sharpness));
    put_word(u->ctl, 20, 0xffffffffu);
    put_word(u->ctl, 0, 2);

    u->data_length = static_cast<uint32_t>(data_length);
    if (!request(u->fd, UE_ALLOC_DATA, "UE_ALLOC_DATA", u->data_length, &offset)) {
        release(ue);
        return nullptr;
    }
    u->data_offset = static_cast<int>(offset);
    if ((u->data = map_at(u->fd, offset, u->data_length, "data buffer")) == nullptr) {
        release(ue);
        return nullptr;
    }
    put_word(u->ctl, 556, static_cast<uint32_t>(u->data_offset));
    put_word(u->ctl, 560, u->data_length);

    ue->xysharp = xysharp;
    ue->tab_stride = tab_stride;
    ue->tab_dim_x = static_cast<unsigned>(dim_x);
    ue->tab_dim_y = static_cast<unsigned>(dim_y);
    for (int t = 0; t < 2; ++t) {
        if (!request(u->fd, UE_ALLOC_TABLE, "UE_ALLOC_TABLE", ue->tab_size, &offset)) {
            release(ue);
            return nullptr;
        }
        u->table_offset[t] = static_cast<int>(offset);
        if ((u->table[t] = map_at(u->fd, offset, ue->tab_size, "coordinate table")) == nullptr) {
            release(ue);
            return nullptr;
        }
    }
    const uint32_t encode[8] = {1,
                                0,
                                0,
                                static_cast<uint32_t>(width),
                                static_cast<uint32_t>(height),
                                0,
                                ue->tab_dim_x,
                                ue->tab_size};
    std::memcpy(u->encode_request, encode, sizeof encode);
    return ue;
}

ZENT_EXPORT void set_user_encode_table(user_encode_t ue, int table, double *xs, double *ys)
{
    if (ue == nullptr || ue->uc_int == nullptr || xs == nullptr || ys == nullptr)
        return;
    uint8_t *t = ue->uc_int->table[table != 0 ? 1 : 0];
    if (t == nullptr)
        return;
    std::size_t n = static_cast<std::size_t>(ue->tab_dim_x) * ue->tab_dim_y;
    for (std::size_t i = 0; i < n; ++i) {
        uint8_t *e = t + 8 * i;
        int16_t x = eighths(xs[i]), y = eighths(ys[i]);
        uint32_t control;
        std::memcpy(&control, e + 4, sizeof control);
        control = (control & ~0x1ffu & ~(0x3fu << 24)) | 128u;
        std::memcpy(e, &x, sizeof x);
        std::memcpy(e + 2, &y, sizeof y);
        std::memcpy(e + 4, &control, sizeof control);
    }
}

ZENT_EXPORT void cpy_frame(user_encode_internal_t u, uint8_t *dst, int copy_width, int copy_height)
{
    if (u == nullptr || u->data == nullptr || dst == nullptr)
        return;
    // Never past the unit's buffer, whatever the caller asks for.
    int cw = copy_width < 0 ? 0 : (copy_width > u->out_width ? u->out_width : copy_width);
    int ch = copy_height < 0 ? 0 : (copy_height > u->out_height ? u->out_height : copy_height);
    const int groups = cw / 8 * 8;
    for (int y = 0; y < ch; ++y) {
        const uint8_t *row = u->data + 2 * static_cast<std::size_t>(y) * u->out_width;
        uint8_t *out = dst + static_cast<std::size_t>(y) * cw;
        int x = 0;
        for (; x < groups; x += 8)
            for (int k = 0; k < 8; ++k)
                out[x + k] = row[2 * (x + k) + 1];
        for (; x < cw; ++x)
            out[x] = row[2 * x + 1];
    }
}

ZENT_EXPORT void user_encode_frame(user_encode_t ue, int table, uint8_t *source,
                                   uint8_t *destination, int copy_width, int copy_height)
{
    if (ue == nullptr || ue->uc_int == nullptr || source == nullptr)
        return;
    user_encode_internal *u = ue->uc_int;
    int t = table != 0 ? 1 : 0;
    u->encode_request[5] = static_cast<uint32_t>(u->table_offset[t]);
    if (!request_block(u->fd, UE_SET_ENCODE, "UE_SET_ENCODE", u->encode_request))
        return;
    // Mapped afresh for every frame, so the unit's output is seen whole.
    if (u->data != nullptr)
        munmap(u->data, u->data_length);
    u->data = map_at(u->fd, u->data_offset, u->data_length, "data buffer");
    if (u->data == nullptr)
        return;
    put_word(u->ctl, 592, 2);
    if (!request(u->fd, UE_START, "UE_START", static_cast<unsigned long>(u->ctl_offset), nullptr))
        return;
    ssize_t n = write(u->fd, source, static_cast<std::size_t>(u->frame_bytes));
    if (n != u->frame_bytes) {
        // The unit has no whole frame and will never finish it: do not wait for ever.
        int err = errno;
        l_printf_file(__FILE__, LOG_ERR, "%s: frame write failed (%ld of %d bytes): %s\n", kDevice,
                      static_cast<long>(n), u->frame_bytes,
                      n < 0 ? std::strerror(err) : "short write");
        return;
    }
    struct pollfd p = {u->fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    cpy_frame(u, destination, copy_width, copy_height);
}

ZENT_EXPORT void free_user_encode(user_encode_t ue)
{
    if (ue == nullptr)
        return;
    release(ue);
}

} // extern "C"
