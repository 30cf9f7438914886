// Simulated coordinate-table resampler behind "/dev/camuser0".
//
// Protocol: UE_SET_INPUT {w, h, 0} and UE_SET_OUTPUT (712 bytes: word 0 = 2, word 1 = 1,
// word 4 = out_w, word 5 = out_h, the rest zero) describe the frame; UE_MAP_CONTROL (2) hands
// out the 604-byte control block, UE_ALLOC_DATA (2 * out_w * out_h) the output buffer and
// UE_ALLOC_TABLE (length) a coordinate table (each entry x, y as s16 in 1/8 px and a control
// word; fresh tables hold control words 0xFFFFFFFF, which the module must turn into
// 0xC0FFFE80). UE_SET_ENCODE {1, 0, 0, w, h, table offset, tab_dim_x, table length} selects a
// table; UE_START (control offset) checks the control block (word 0 = 2, word 20 = -1,
// words 556/560 = data offset/length, word 592 = 2, the scale record {k, 0, 0, k, 0, 0} and
// the sharpness record {x, x, 127} read through the addresses in words 24 and 28); then one
// write() of w * h source bytes runs the frame, clears word 592 and makes the descriptor
// readable until the next UE_START.
//
// Output sample (ox, oy), with S = 65536 / k, i = ox / S, fx = ox % S, j = oy / S,
// fy = oy % S, i1 = i + 1 and j1 = j + 1 (all grid indices clamped to the table), and the
// entry coordinates X, Y in 1/8 px:
//   XS = (S - fx)(S - fy) X[j][i] + fx (S - fy) X[j][i1] + (S - fx) fy X[j1][i] + fx fy X[j1][i1]
//   sx = floor((XS + 4 S^2) / (8 S^2)), clamped to 0 ... w - 1; sy likewise from Y;
//   sample = (source[sy][sx] << 8) | 0xA5, stored little-endian, row stride out_w samples
// (the low byte is filler, so a module that copies it out shows).
//
// Environment, read at each open: DEVSIM_UE_MISSING=1 (ENOENT), DEVSIM_UE_FAIL=<REQUEST>[:N],...
// (EIO on the Nth call from the open, every call without N), DEVSIM_UE_FAIL_MMAP=N (the Nth
// mmap fails with ENOMEM), DEVSIM_UE_FAIL_WRITE=1 (the write is short and runs nothing),
// DEVSIM_UE_HANG=1 (the frame never completes).
#include "devsim_control.h"
#include "devsim_internal.h"
#include "ue_abi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace devsim
{
namespace
{

const char *const path = "/dev/camuser0";
constexpr int max_tables = 8;
constexpr uint32_t max_dim = 8192;

const struct {
    uint32_t request;
    const char *name;
} ue_requests[] = {
    {UE_SET_INPUT, "UE_SET_INPUT"},     {UE_SET_OUTPUT, "UE_SET_OUTPUT"},
    {UE_MAP_CONTROL, "UE_MAP_CONTROL"}, {UE_UNMAP_CONTROL, "UE_UNMAP_CONTROL"},
    {UE_ALLOC_DATA, "UE_ALLOC_DATA"},   {UE_FREE_DATA, "UE_FREE_DATA"},
    {UE_ALLOC_TABLE, "UE_ALLOC_TABLE"}, {UE_FREE_TABLE, "UE_FREE_TABLE"},
    {UE_SET_ENCODE, "UE_SET_ENCODE"},   {UE_START, "UE_START"},
};

const char *name_of(uint32_t request)
{
    for (const auto &r : ue_requests)
        if (r.request == request)
            return r.name;
    return nullptr;
}

std::atomic<int> frames_done{0};

enum class kind { control, data, table };

struct region {
    kind k;
    uint32_t off = 0;
    size_t len = 0;  // as asked for
    size_t size = 0; // page-rounded
    uint8_t *view = nullptr;
};

struct ue_open {
    int efd = -1;
    int memfd = -1;
    size_t next_off = 0;
    std::mutex mu;

    bool input_set = false, output_set = false;
    uint32_t w = 0, h = 0, ow = 0, oh = 0;
    std::vector<region> regions;
    bool encode_set = false;
    uint32_t encode[8] = {};
    bool started = false;

    std::map<std::string, long> fail, calls;
    long fail_mmap = 0, mmaps = 0;
    bool fail_write = false, hang = false;

    ~ue_open()
    {
        for (region &r : regions)
            if (r.view != nullptr)
                ::munmap(r.view, r.size);
        if (memfd >= 0)
            ::close(memfd);
    }

    region *find(kind k, uint32_t off)
    {
        for (region &r : regions)
            if (r.k == k && r.off == off)
                return &r;
        return nullptr;
    }
    region *first(kind k)
    {
        for (region &r : regions)
            if (r.k == k)
                return &r;
        return nullptr;
    }
};

void log_request(const char *name, const uint32_t *w, int n, long result, const char *why)
{
    char res[32];
    if (result < 0)
        std::snprintf(res, sizeof res, "%s", err_name(static_cast<int>(-result)));
    else
        std::snprintf(res, sizeof res, "%ld", result);
    log_line("ioctl %s %s words=%s result=%s%s%s\n", path, name, words_text(w, n).c_str(), res,
             why ? " why=" : "", why ? why : "");
}

long answer(const char *name, const uint32_t *w, int n, long result, const char *why = nullptr)
{
    log_request(name, w, n, result, why);
    return result;
}

uint32_t ctl_word(const region &ctl, uint32_t byte)
{
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(ctl.view + byte))
        .load(std::memory_order_acquire);
}

long add_region(ue_open &o, kind k, size_t len)
{
    region r;
    r.k = k;
    r.len = len;
    r.size = page_round(len);
    r.off = static_cast<uint32_t>(o.next_off);
    if (o.next_off + r.size > 0x7fffffffu ||
        ftruncate(o.memfd, static_cast<off_t>(o.next_off + r.size)) != 0)
        return -ENOMEM;
    void *p = ::mmap(nullptr, r.size, PROT_READ | PROT_WRITE, MAP_SHARED, o.memfd,
                     static_cast<off_t>(r.off));
    if (p == MAP_FAILED)
        return -ENOMEM;
    r.view = static_cast<uint8_t *>(p);
    if (k == kind::table)
        for (size_t e = 0; e + ue_entry_bytes <= len; e += ue_entry_bytes) {
            uint32_t fresh = ue_fresh_control;
            std::memset(r.view + e, 0, 4);
            std::memcpy(r.view + e + 4, &fresh, 4);
        }
    o.next_off += r.size;
    o.regions.push_back(r);
    return r.off;
}

void drop_region(ue_open &o, region *r)
{
    ::munmap(r->view, r->size);
    o.regions.erase(o.regions.begin() + (r - o.regions.data()));
}

// The bad table entries (control words the module left wrong) of the selected table.
void check_table(const region &t)
{
    int bad = 0, first = -1;
    uint32_t first_word = 0;
    for (size_t e = 0; e + ue_entry_bytes <= t.len; e += ue_entry_bytes) {
        uint32_t c;
        std::memcpy(&c, t.view + e + 4, 4);
        if (c != ue_good_control) {
            if (bad++ == 0) {
                first = static_cast<int>(e / ue_entry_bytes);
                first_word = c;
            }
        }
    }
    if (bad > 0)
        log_line("table %s off=%u bad_entries=%d first=%d control=0x%08X expected=0x%08X\n", path,
                 t.off, bad, first, first_word, ue_good_control);
}

long start(ue_open &o, uint32_t off)
{
    const char *name = "UE_START";
    region *ctl = o.first(kind::control);
    if (ctl == nullptr || ctl->off != off)
        return answer(name, &off, 1, -EINVAL, "not the control block");
    if (!o.encode_set)
        return answer(name, &off, 1, -EINVAL, "no encode request");
    region *data = o.first(kind::data);
    region *table = o.find(kind::table, o.encode[5]);
    if (data == nullptr || table == nullptr)
        return answer(name, &off, 1, -EINVAL, "data buffer or table gone");
    if (ctl_word(*ctl, ue_ctl_mode) != 2)
        return answer(name, &off, 1, -EINVAL, "control word 0");
    if (ctl_word(*ctl, ue_ctl_minus_one) != 0xFFFFFFFFu)
        return answer(name, &off, 1, -EINVAL, "control word 20");
    if (ctl_word(*ctl, ue_ctl_data_off) != data->off ||
        ctl_word(*ctl, ue_ctl_data_len) != data->len)
        return answer(name, &off, 1, -EINVAL, "control words 556/560");
    if (ctl_word(*ctl, ue_ctl_go) != 2)
        return answer(name, &off, 1, -EINVAL, "control word 592");
    uint32_t scale[6], sharp[3];
    if (copy_from_user(scale, ctl_word(*ctl, ue_ctl_scale), sizeof scale) != 0)
        return answer(name, &off, 1, -EFAULT, "scale record unreadable");
    if (copy_from_user(sharp, ctl_word(*ctl, ue_ctl_sharp), sizeof sharp) != 0)
        return answer(name, &off, 1, -EFAULT, "sharpness record unreadable");
    if (scale[0] == 0 || scale[0] > 65536 || scale[3] != scale[0] || scale[1] || scale[2] ||
        scale[4] || scale[5])
        return answer(name, &off, 1, -EINVAL, "scale record");
    if (sharp[0] != sharp[1] || sharp[2] != 127)
        return answer(name, &off, 1, -EINVAL, "sharpness record");
    check_table(*table);
    ready_clear(o.efd);
    o.started = true;
    return answer(name, &off, 1, 0);
}

// Runs one frame; UE_START has checked the block, the records and that all regions exist.
void resample(ue_open &o, const uint8_t *src)
{
    const region &ctl = *o.first(kind::control);
    const region &data = *o.first(kind::data);
    const region &table = *o.find(kind::table, o.encode[5]);
    uint32_t k = 0;
    copy_from_user(&k, ctl_word(ctl, ue_ctl_scale), sizeof k); // checked at UE_START
    const long long S = std::max<long long>(1, 65536 / std::max<uint32_t>(1, k));
    const long long dim_x = o.encode[6];
    const long long dim_y = static_cast<long long>(table.len / ue_entry_bytes) / dim_x;
    auto entry = [&](long long i, long long j, int c) {
        i = std::min(i, dim_x - 1);
        j = std::min(j, dim_y - 1);
        int16_t v;
        std::memcpy(&v, table.view + (j * dim_x + i) * ue_entry_bytes + 2 * c, 2);
        return static_cast<long long>(v);
    };
    auto floordiv = [](long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    const long long den = 8 * S * S;
    for (uint32_t oy = 0; oy < o.oh; oy++) {
        long long j = oy / S, fy = oy % S;
        for (uint32_t ox = 0; ox < o.ow; ox++) {
            long long i = ox / S, fx = ox % S;
            long long pos[2];
            for (int c = 0; c < 2; c++) {
                long long v = (S - fx) * (S - fy) * entry(i, j, c) +
                              fx * (S - fy) * entry(i + 1, j, c) +
                              (S - fx) * fy * entry(i, j + 1, c) + fx * fy * entry(i + 1, j + 1, c);
                pos[c] = floordiv(v + 4 * S * S, den);
            }
            long long sx = std::clamp<long long>(pos[0], 0, o.w - 1);
            long long sy = std::clamp<long long>(pos[1], 0, o.h - 1);
            uint16_t sample = static_cast<uint16_t>((src[sy * o.w + sx] << 8) | 0xA5);
            uint8_t *d = data.view + (static_cast<size_t>(oy) * o.ow + ox) * 2;
            d[0] = static_cast<uint8_t>(sample & 0xff);
            d[1] = static_cast<uint8_t>(sample >> 8);
        }
    }
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(ctl.view + ue_ctl_go))
        .store(0, std::memory_order_release);
}

bool injected(ue_open &o, const char *name)
{
    long n = ++o.calls[name];
    auto it = o.fail.find(name);
    return it != o.fail.end() && (it->second == 0 || it->second == n);
}

long by_value(ue_open &o, uint32_t req, const char *name, uint32_t v)
{
    switch (req) {
    case UE_MAP_CONTROL: {
        if (v != 2)
            return answer(name, &v, 1, -EINVAL, "argument");
        if (o.first(kind::control) != nullptr)
            return answer(name, &v, 1, -EBUSY, "mapped already");
        return answer(name, &v, 1, add_region(o, kind::control, ue_control_bytes));
    }
    case UE_UNMAP_CONTROL: {
        region *r = o.find(kind::control, v);
        if (r == nullptr)
            return answer(name, &v, 1, -EINVAL, "unknown offset");
        drop_region(o, r);
        return answer(name, &v, 1, 0);
    }
    case UE_ALLOC_DATA: {
        if (!o.output_set)
            return answer(name, &v, 1, -EINVAL, "no output size");
        if (v != 2 * o.ow * o.oh)
            return answer(name, &v, 1, -EINVAL, "length");
        if (o.first(kind::data) != nullptr)
            return answer(name, &v, 1, -EBUSY, "allocated already");
        return answer(name, &v, 1, add_region(o, kind::data, v));
    }
    case UE_FREE_DATA: {
        region *r = o.find(kind::data, v);
        if (r == nullptr)
            return answer(name, &v, 1, -EINVAL, "unknown offset");
        drop_region(o, r);
        return answer(name, &v, 1, 0);
    }
    case UE_ALLOC_TABLE: {
        if (v == 0 || v % ue_entry_bytes != 0 || v > (16u << 20))
            return answer(name, &v, 1, -EINVAL, "length");
        int n = 0;
        for (const region &r : o.regions)
            n += r.k == kind::table;
        if (n >= max_tables)
            return answer(name, &v, 1, -ENOSPC, "tables");
        return answer(name, &v, 1, add_region(o, kind::table, v));
    }
    case UE_FREE_TABLE: {
        region *r = o.find(kind::table, v);
        if (r == nullptr)
            return answer(name, &v, 1, -EINVAL, "unknown offset");
        drop_region(o, r);
        return answer(name, &v, 1, 0);
    }
    default:
        return start(o, v);
    }
}

long by_block(ue_open &o, uint32_t req, const char *name, unsigned long arg)
{
    uint32_t w[ue_output_bytes / 4] = {};
    int n = req == UE_SET_INPUT    ? ue_input_bytes / 4
            : req == UE_SET_OUTPUT ? ue_output_bytes / 4
                                   : ue_encode_bytes / 4;
    if (copy_from_user(w, arg, static_cast<size_t>(n) * 4) != 0)
        return answer(name, w, 0, -EFAULT, "record unreadable");
    if (injected(o, name))
        return answer(name, w, n, -EIO, "injected");
    if (req == UE_SET_INPUT) {
        if (w[0] == 0 || w[1] == 0 || w[0] > max_dim || w[1] > max_dim || w[2] != 0)
            return answer(name, w, n, -EINVAL, "block");
        o.w = w[0];
        o.h = w[1];
        o.input_set = true;
        return answer(name, w, n, 0);
    }
    if (req == UE_SET_OUTPUT) {
        bool ok =
            w[0] == 2 && w[1] == 1 && w[4] > 0 && w[5] > 0 && w[4] <= max_dim && w[5] <= max_dim;
        for (int i = 0; i < n && ok; i++)
            ok = i == 0 || i == 1 || i == 4 || i == 5 || w[i] == 0;
        if (!ok)
            return answer(name, w, n, -EINVAL, "block");
        if (o.first(kind::data) != nullptr && (w[4] != o.ow || w[5] != o.oh))
            return answer(name, w, n, -EBUSY, "data buffer allocated");
        o.ow = w[4];
        o.oh = w[5];
        o.output_set = true;
        return answer(name, w, n, 0);
    }
    // UE_SET_ENCODE
    region *t = o.find(kind::table, w[5]);
    if (!o.input_set || w[0] != 1 || w[1] != 0 || w[2] != 0 || w[3] != o.w || w[4] != o.h)
        return answer(name, w, n, -EINVAL, "block");
    if (t == nullptr)
        return answer(name, w, n, -EINVAL, "unknown table");
    if (w[6] == 0 || w[7] != t->len || w[7] % (ue_entry_bytes * w[6]) != 0)
        return answer(name, w, n, -EINVAL, "table geometry");
    std::copy(w, w + 8, o.encode);
    o.encode_set = true;
    return answer(name, w, n, 0);
}

int ue_open_hook(int efd, int flags, void **state)
{
    (void)flags;
    log_reopen();
    std::string missing = env("DEVSIM_UE_MISSING");
    if (!missing.empty() && missing != "0") {
        log_line("open %s ENOENT\n", path);
        return -ENOENT;
    }
    auto *o = new ue_open;
    o->efd = efd;
    o->memfd = memfd_create("camuser0", MFD_CLOEXEC);
    if (o->memfd < 0) {
        delete o;
        return -ENOMEM;
    }
    o->next_off = page_size();
    std::string list = env("DEVSIM_UE_FAIL");
    size_t start_pos = 0;
    while (start_pos < list.size()) {
        size_t comma = list.find(',', start_pos);
        std::string item = list.substr(start_pos, comma == std::string::npos ? std::string::npos
                                                                             : comma - start_pos);
        start_pos = comma == std::string::npos ? list.size() : comma + 1;
        size_t colon = item.find(':');
        long n = colon == std::string::npos ? 0 : parse_num(item.substr(colon + 1), -1);
        if (!item.empty() && n >= 0)
            o->fail[item.substr(0, colon)] = n;
    }
    o->fail_mmap = parse_num(env("DEVSIM_UE_FAIL_MMAP"), 0);
    o->fail_write = parse_num(env("DEVSIM_UE_FAIL_WRITE"), 0) != 0;
    o->hang = parse_num(env("DEVSIM_UE_HANG"), 0) != 0;
    *state = o;
    log_line("open %s ok\n", path);
    return 0;
}

void ue_release(void *state)
{
    log_line("close %s\n", path);
    delete static_cast<ue_open *>(state);
}

long ue_ioctl(void *state, unsigned long request, unsigned long arg)
{
    auto &o = *static_cast<ue_open *>(state);
    const uint32_t req = static_cast<uint32_t>(request);
    const char *name = name_of(req);
    std::lock_guard<std::mutex> lock(o.mu);
    if (name == nullptr) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", req);
        log_line("ioctl %s %s words= result=ENOTTY\n", path, hex);
        return -ENOTTY;
    }
    if (req == UE_SET_INPUT || req == UE_SET_OUTPUT || req == UE_SET_ENCODE)
        return by_block(o, req, name, arg);
    uint32_t v = static_cast<uint32_t>(arg);
    if (injected(o, name))
        return answer(name, &v, 1, -EIO, "injected");
    return by_value(o, req, name, v);
}

int ue_mmap(void *state, size_t len, int prot, int flags, off_t off, int *backing)
{
    (void)prot;
    auto &o = *static_cast<ue_open *>(state);
    std::lock_guard<std::mutex> lock(o.mu);
    o.mmaps++;
    int err = EINVAL;
    const char *why = "unknown offset";
    for (const region &r : o.regions) {
        if (static_cast<off_t>(r.off) != off)
            continue;
        if (len == 0 || len > r.size)
            why = "length";
        else if ((flags & MAP_TYPE) != MAP_SHARED && (flags & MAP_TYPE) != MAP_SHARED_VALIDATE)
            why = "not shared";
        else if (o.fail_mmap != 0 && o.mmaps == o.fail_mmap) {
            err = ENOMEM;
            why = "injected";
        } else
            err = 0;
        break;
    }
    if (err != 0) {
        log_line("mmap %s off=%lld len=%zu result=%s why=%s\n", path, static_cast<long long>(off),
                 len, err_name(err), why);
        return -err;
    }
    *backing = o.memfd;
    log_line("mmap %s off=%lld len=%zu result=ok\n", path, static_cast<long long>(off), len);
    return 0;
}

void ue_munmap(void *state, off_t off, size_t len)
{
    (void)state;
    log_line("munmap %s off=%lld len=%zu\n", path, static_cast<long long>(off), len);
}

long ue_write(void *state, const void *buf, size_t n)
{
    auto &o = *static_cast<ue_open *>(state);
    std::lock_guard<std::mutex> lock(o.mu);
    auto done = [&](long r, const char *why) {
        if (r < 0)
            log_line("write %s len=%zu result=%s why=%s\n", path, n, err_name(static_cast<int>(-r)),
                     why);
        else
            log_line("write %s len=%zu result=%ld%s%s\n", path, n, r, why ? " why=" : "",
                     why ? why : "");
        return r;
    };
    if (!o.started)
        return done(-EINVAL, "not started");
    if (n != static_cast<size_t>(o.w) * o.h)
        return done(-EINVAL, "length");
    if (o.fail_write)
        return done(static_cast<long>(n / 2), "injected short write");
    std::vector<uint8_t> src(n);
    if (copy_from_user(src.data(), reinterpret_cast<uintptr_t>(buf), n) != 0)
        return done(-EFAULT, "source unreadable");
    o.started = false;
    if (o.hang)
        return done(static_cast<long>(n), "hang");
    resample(o, src.data());
    int frames = ++frames_done;
    log_line("frame %s table=%u frames=%d\n", path, o.encode[5], frames);
    ready_set(o.efd);
    return done(static_cast<long>(n), nullptr);
}

} // namespace

const sim_device user_encode_device = {path,    ue_open_hook, ue_release, ue_ioctl,
                                       ue_mmap, ue_munmap,    nullptr,    ue_write};

} // namespace devsim

extern "C" ZENT_EXPORT int devsim_ue_frames(void)
{
    return devsim::frames_done.load();
}
