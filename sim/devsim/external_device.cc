// Simulated serializer-link driver behind "/dev/external_device": four links, each with a
// deserializer, a serializer and a 64 KiB I2C EEPROM kept in a file, plus fault injection
// and a transfer log configured from DEVSIM_* environment variables (read at each open):
//   DEVSIM_EEPROM=<file>        image of link 0 (link n: <file>.<n>); default
//                               $ZENT_ROOT/tmp/devsim_eeprom.bin; created erased (0xff)
//   DEVSIM_LOG=<file>           one line per request: kind, device, link, address, length,
//                               tries asked and used, result, bytes
//   DEVSIM_MISSING=1            opening the device fails with ENOENT
//   DEVSIM_LINK_DOWN=0,2|all    links whose cable is out (status bit 7 clear, no answers)
//   DEVSIM_DES_STATUS=<byte>    value of the deserializer's status register 0x04
//   DEVSIM_SER_REGS=r=v,...     power-on values of serializer registers
//   DEVSIM_FAIL_READ=dev[:reg],...  / DEVSIM_FAIL_WRITE=...  transfers that are never
//                               acknowledged (dev: des, ser, eeprom, ... or a number)
//   DEVSIM_FAIL_CTRL=read,write,intp0,intp1  failing control-block requests
//   DEVSIM_FAIL_EEPROM_WRITE=N  the Nth EEPROM write transfer after the open fails
//   DEVSIM_CORRUPT_ADDR=<addr>  that EEPROM byte reads back with its lowest bit flipped
//   DEVSIM_SHRINK_FILE=<len>:<path>  truncate a file at the first EEPROM read (tests of a
//                               file changing under the tool)
//   DEVSIM_EEPROM_TWR_US, DEVSIM_RETRY_US  write-cycle time (5000) and the driver's pause
//                               between tries (1000)
#include "devsim_internal.h"
#include "ext_dev_abi.h"
#include "zent_root.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace devsim
{
namespace
{

using clock_type = std::chrono::steady_clock;

constexpr uint32_t eeprom_size = 65536;
constexpr uint32_t eeprom_page = 128; // page-write buffer of a 512 Kbit part
constexpr uint32_t max_chunk = 16;    // the driver moves at most this much per transfer
constexpr uint32_t flag_no_error_log = 1;

struct fault_match {
    uint32_t dev;
    int reg; // -1: every address of that device
};

struct config {
    bool missing = false;
    std::array<bool, LINK_COUNT> link_down{};
    int des_status = -1; // -1: 0x80 when the link is up, 0x00 when down
    std::array<int, 256> ser_init{};
    std::vector<fault_match> fail_read, fail_write;
    bool fail_ctrl_read = false, fail_ctrl_write = false;
    int fail_ctrl_intp = -1;
    long fail_eeprom_write = 0; // 1-based index of the EEPROM write transfer that fails
    long corrupt_addr = -1;
    long shrink_len = -1;
    std::string shrink_path;
    std::string eeprom_path;
    std::string log_path;
    long twr_us = 5000;
    long retry_us = 1000;
};

struct link_state {
    std::array<uint8_t, 256> des{};
    std::array<uint8_t, 256> ser{};
    ctrl_rec ctrl{};
    int eeprom_fd = -1;
    clock_type::time_point busy_until{};
};

std::mutex mu;
bool loaded = false;
config cfg;
std::array<link_state, LINK_COUNT> links;
int log_fd = -1;
long eeprom_writes = 0;
bool shrink_done = false;

const char *dev_name(uint32_t dev)
{
    static const char *const names[] = {"des",     "ser",     "pld_pri", "pld_sec",
                                        "eeprom",  "imx136",  "ov9715",  "ov2718",
                                        "ads7924", "thermal", "flx6408", "generic"};
    return dev < DEV_COUNT ? names[dev] : "?";
}

long parse_dev(const std::string &s)
{
    for (uint32_t d = 0; d < DEV_COUNT; d++)
        if (s == dev_name(d))
            return d;
    return parse_num(s, -1);
}

// "dev[:reg],..." with dev a name (des, ser, eeprom, ...) or a number.
std::vector<fault_match> parse_faults(const std::string &s)
{
    std::vector<fault_match> out;
    for (const std::string &item : split(s, ',')) {
        size_t colon = item.find(':');
        long dev = parse_dev(item.substr(0, colon));
        long reg = colon == std::string::npos ? -1 : parse_num(item.substr(colon + 1), -2);
        if (dev >= 0 && reg >= -1)
            out.push_back({static_cast<uint32_t>(dev), static_cast<int>(reg)});
    }
    return out;
}

void load_config()
{
    cfg = config{};
    std::string v = env("DEVSIM_MISSING");
    cfg.missing = !v.empty() && v != "0";
    v = env("DEVSIM_LINK_DOWN");
    for (const std::string &item : split(v, ',')) {
        if (item == "all") {
            cfg.link_down.fill(true);
            continue;
        }
        long n = parse_num(item, -1);
        if (n >= 0 && n < static_cast<long>(LINK_COUNT))
            cfg.link_down[n] = true;
    }
    cfg.des_status = static_cast<int>(parse_num(env("DEVSIM_DES_STATUS"), -1));

    // Power-on values of the serializer registers the tool touches; the bits it changes are
    // set (or clear) so that a missing change shows.
    cfg.ser_init.fill(0);
    cfg.ser_init[0x02] = 0x1f;
    cfg.ser_init[0x04] = 0x8f;
    cfg.ser_init[0x05] = 0x01;
    cfg.ser_init[0x0f] = 0xfe;
    for (const std::string &item : split(env("DEVSIM_SER_REGS"), ',')) {
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            continue;
        long reg = parse_num(item.substr(0, eq), -1);
        long val = parse_num(item.substr(eq + 1), -1);
        if (reg >= 0 && reg < 256 && val >= 0 && val < 256)
            cfg.ser_init[reg] = static_cast<int>(val);
    }

    cfg.fail_read = parse_faults(env("DEVSIM_FAIL_READ"));
    cfg.fail_write = parse_faults(env("DEVSIM_FAIL_WRITE"));
    for (const std::string &item : split(env("DEVSIM_FAIL_CTRL"), ',')) {
        if (item == "read")
            cfg.fail_ctrl_read = true;
        else if (item == "write")
            cfg.fail_ctrl_write = true;
        else if (item == "intp0")
            cfg.fail_ctrl_intp = 0;
        else if (item == "intp1")
            cfg.fail_ctrl_intp = 1;
    }
    cfg.fail_eeprom_write = parse_num(env("DEVSIM_FAIL_EEPROM_WRITE"), 0);
    cfg.corrupt_addr = parse_num(env("DEVSIM_CORRUPT_ADDR"), -1);
    v = env("DEVSIM_SHRINK_FILE");
    if (size_t colon = v.find(':'); colon != std::string::npos) {
        cfg.shrink_len = parse_num(v.substr(0, colon), -1);
        cfg.shrink_path = v.substr(colon + 1);
    }
    cfg.eeprom_path = env("DEVSIM_EEPROM");
    if (cfg.eeprom_path.empty())
        cfg.eeprom_path = zent_path("/tmp/devsim_eeprom.bin");
    cfg.log_path = env("DEVSIM_LOG");
    cfg.twr_us = std::max(0L, parse_num(env("DEVSIM_EEPROM_TWR_US"), 5000));
    cfg.retry_us = std::max(0L, parse_num(env("DEVSIM_RETRY_US"), 1000));
}

void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void log_line(const char *fmt, ...)
{
    if (log_fd < 0)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof line - 1);
    if (len == sizeof line - 1)
        line[len - 1] = '\n'; // a cut line still ends its line
    // One write per line on an O_APPEND descriptor keeps lines whole across processes.
    ssize_t w = ::write(log_fd, line, len);
    (void)w;
}

std::string eeprom_file(uint32_t instance)
{
    if (instance == 0)
        return cfg.eeprom_path;
    return cfg.eeprom_path + "." + std::to_string(instance);
}

// Opens (and on first use creates, erased to 0xff) the EEPROM image of one link.
int eeprom_image(uint32_t instance)
{
    link_state &l = links[instance];
    if (l.eeprom_fd >= 0)
        return l.eeprom_fd;
    std::string path = eeprom_file(instance);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st {
    };
    if (fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(eeprom_size)) {
        std::vector<uint8_t> blank(eeprom_size - st.st_size, 0xff);
        if (pwrite(fd, blank.data(), blank.size(), st.st_size) !=
            static_cast<ssize_t>(blank.size())) {
            ::close(fd);
            return -1;
        }
    }
    l.eeprom_fd = fd;
    return fd;
}

// Power-on state of the simulated chips, once per process: like the hardware, it outlives
// the descriptors opened on it.
void power_on_links()
{
    for (uint32_t i = 0; i < LINK_COUNT; i++) {
        link_state &l = links[i];
        l = link_state{};
        for (int r = 0; r < 256; r++)
            l.ser[r] = static_cast<uint8_t>(cfg.ser_init[r]);
        l.ctrl.instance = i;
        l.ctrl.intp = 1;
        l.ctrl.pwr_12v_en = 1;
        l.ctrl.sersel = 1; // MAX9271
    }
}

void close_eeprom_images()
{
    for (link_state &l : links) {
        if (l.eeprom_fd >= 0)
            ::close(l.eeprom_fd);
        l.eeprom_fd = -1;
        l.busy_until = {};
    }
}

// The deserializer's link-status register follows the simulated cable.
uint8_t des_register(uint32_t instance, uint32_t reg)
{
    if (reg != 0x04)
        return links[instance].des[reg];
    if (cfg.des_status >= 0)
        return static_cast<uint8_t>(cfg.des_status);
    return cfg.link_down[instance] ? 0x00 : 0x80;
}

bool powered = false;

void ensure_loaded()
{
    if (loaded)
        return;
    std::string old_image = cfg.eeprom_path;
    load_config();
    if (!powered) {
        power_on_links();
        powered = true;
    } else if (old_image != cfg.eeprom_path) {
        close_eeprom_images();
    }
    if (log_fd >= 0)
        ::close(log_fd);
    log_fd = -1;
    if (!cfg.log_path.empty())
        log_fd = ::open(cfg.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    loaded = true;
}

bool matches(const std::vector<fault_match> &faults, uint32_t dev, uint32_t reg)
{
    for (const fault_match &f : faults)
        if (f.dev == dev && (f.reg < 0 || static_cast<uint32_t>(f.reg) == reg))
            return true;
    return false;
}

std::string hex(const uint8_t *p, uint32_t n)
{
    std::string s;
    char b[3];
    for (uint32_t i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

const char *errno_name(int err)
{
    switch (err) {
    case 0:
        return "ok";
    case EIO:
        return "EIO";
    case ETIMEDOUT:
        return "ETIMEDOUT";
    case EINVAL:
        return "EINVAL";
    case EFAULT:
        return "EFAULT";
    case ENOTTY:
        return "ENOTTY";
    default:
        return "error";
    }
}

// Checks of a transfer record that a real driver makes before touching the bus.
int validate(const xfer_rec &r)
{
    if (r.instance >= LINK_COUNT || r.dev_type >= DEV_COUNT)
        return EINVAL;
    if (r.data == nullptr)
        return EFAULT;
    // No device takes more than one chunk per transfer, so the bounce buffer always holds it.
    if (r.data_len == 0 || r.data_len > max_chunk || r.tries == 0 || r.opcode_len != 0 ||
        (r.flags & ~flag_no_error_log))
        return EINVAL;
    if (r.dev_type == DEV_EEPROM)
        return r.reg_address >= eeprom_size ? EINVAL : 0;
    if (r.dev_type == DEV_DES || r.dev_type == DEV_SER)
        return (r.data_len != 1 || r.reg_address > 0xff) ? EINVAL : 0;
    return 0;
}

// The EEPROM acknowledges nothing during its internal write cycle; the driver retries after
// a short pause, up to the record's try count. Returns the tries used, or 0 when all NACKed.
uint32_t wait_eeprom_ready(link_state &l, uint32_t tries)
{
    for (uint32_t t = 1; t <= tries; t++) {
        if (clock_type::now() >= l.busy_until)
            return t;
        if (t < tries)
            std::this_thread::sleep_for(std::chrono::microseconds(cfg.retry_us));
    }
    return 0;
}

int eeprom_read(const xfer_rec &r, uint8_t *out)
{
    int fd = eeprom_image(r.instance);
    if (fd < 0)
        return EIO;
    // Sequential reads roll over from the last byte to the first.
    uint32_t first = std::min(r.data_len, eeprom_size - r.reg_address);
    if (pread(fd, out, first, r.reg_address) != static_cast<ssize_t>(first))
        return EIO;
    if (first < r.data_len &&
        pread(fd, out + first, r.data_len - first, 0) != static_cast<ssize_t>(r.data_len - first))
        return EIO;
    if (cfg.corrupt_addr >= 0)
        for (uint32_t i = 0; i < r.data_len; i++)
            if ((r.reg_address + i) % eeprom_size == static_cast<uint32_t>(cfg.corrupt_addr))
                out[i] ^= 0x01;
    return 0;
}

int eeprom_write(link_state &l, const xfer_rec &r, const uint8_t *in)
{
    int fd = eeprom_image(r.instance);
    if (fd < 0)
        return EIO;
    // A page write that runs past the end of its page wraps to the page's start.
    uint32_t page = r.reg_address & ~(eeprom_page - 1);
    uint32_t first = std::min(r.data_len, page + eeprom_page - r.reg_address);
    if (pwrite(fd, in, first, r.reg_address) != static_cast<ssize_t>(first))
        return EIO;
    if (first < r.data_len && pwrite(fd, in + first, r.data_len - first, page) !=
                                  static_cast<ssize_t>(r.data_len - first))
        return EIO;
    l.busy_until = clock_type::now() + std::chrono::microseconds(cfg.twr_us);
    return 0;
}

int do_transfer(bool is_write, xfer_rec *rec)
{
    std::lock_guard<std::mutex> lock(mu);
    ensure_loaded();
    const xfer_rec r = *rec;
    const char *kind = is_write ? "write" : "read";
    int err = validate(r);
    if (err != 0) {
        log_line("%s %s inst=%u addr=0x%04x len=%u tries=%u used=0 %s\n", kind,
                 dev_name(r.dev_type), r.instance, r.reg_address, r.data_len, r.tries,
                 errno_name(err));
        return err;
    }
    link_state &l = links[r.instance];
    const int bus_err = is_write ? ETIMEDOUT : EIO;
    uint32_t used = r.tries;
    uint8_t buf[max_chunk] = {};
    if (is_write)
        std::memcpy(buf, r.data, r.data_len);

    bool remote = r.dev_type != DEV_DES;
    bool injected = matches(is_write ? cfg.fail_write : cfg.fail_read, r.dev_type, r.reg_address);
    if (is_write && r.dev_type == DEV_EEPROM) {
        eeprom_writes++;
        if (eeprom_writes == cfg.fail_eeprom_write)
            injected = true;
    }
    if (injected || (remote && cfg.link_down[r.instance])) {
        err = bus_err;
    } else if (r.dev_type == DEV_DES || r.dev_type == DEV_SER) {
        used = 1;
        std::array<uint8_t, 256> &regs = r.dev_type == DEV_DES ? l.des : l.ser;
        if (is_write)
            regs[r.reg_address] = buf[0];
        else
            buf[0] = r.dev_type == DEV_DES ? des_register(r.instance, r.reg_address)
                                           : regs[r.reg_address];
    } else if (r.dev_type == DEV_EEPROM) {
        if (!is_write && !shrink_done && cfg.shrink_len >= 0) {
            // Test hook: the input file shrinks while the tool is talking to the head.
            shrink_done = true;
            if (truncate(cfg.shrink_path.c_str(), cfg.shrink_len) != 0)
                log_line("shrink %s failed\n", cfg.shrink_path.c_str());
        }
        used = wait_eeprom_ready(l, r.tries);
        if (used == 0)
            err = bus_err;
        else
            err = is_write ? eeprom_write(l, r, buf) : eeprom_read(r, buf);
        if (used == 0)
            used = r.tries;
    } else {
        err = bus_err; // nothing answers at that address on this head
    }
    if (err == 0 && !is_write)
        std::memcpy(r.data, buf, r.data_len);
    log_line("%s %s inst=%u addr=0x%04x len=%u tries=%u used=%u %s data=%s\n", kind,
             dev_name(r.dev_type), r.instance, r.reg_address, r.data_len, r.tries, used,
             errno_name(err), hex(buf, r.data_len).c_str());
    return err;
}

int do_ctrl(bool is_write, ctrl_rec *rec)
{
    std::lock_guard<std::mutex> lock(mu);
    ensure_loaded();
    const char *kind = is_write ? "ctrl_write" : "ctrl_read";
    if (rec->instance >= LINK_COUNT) {
        log_line("%s inst=%u EINVAL\n", kind, rec->instance);
        return EINVAL;
    }
    link_state &l = links[rec->instance];
    int err = 0;
    if (is_write) {
        if (cfg.fail_ctrl_write || static_cast<int>(rec->intp) == cfg.fail_ctrl_intp) {
            err = EIO;
        } else {
            uint32_t saved = l.ctrl.stat_saved_err;
            l.ctrl = *rec;
            l.ctrl.stat_err = 0;
            l.ctrl.stat_saved_err = rec->stat_clear ? 0 : saved;
        }
    } else if (cfg.fail_ctrl_read) {
        err = EIO;
    } else {
        *rec = l.ctrl;
    }
    log_line("%s inst=%u intp=%u %s\n", kind, rec->instance, is_write ? rec->intp : l.ctrl.intp,
             errno_name(err));
    return err;
}

int ext_open(int flags)
{
    (void)flags;
    std::lock_guard<std::mutex> lock(mu);
    // Each open re-reads the environment, so a test can change faults between opens in one
    // process; chip state and the EEPROM contents are not affected.
    loaded = false;
    ensure_loaded();
    // The write count behind DEVSIM_FAIL_EEPROM_WRITE starts again with each open, so that
    // earlier users of the device in the same process do not shift which write fails.
    eeprom_writes = 0;
    if (cfg.missing) {
        log_line("open /dev/external_device ENOENT\n");
        return ENOENT;
    }
    log_line("open /dev/external_device ok\n");
    return 0;
}

int ext_ioctl(unsigned long request, void *arg)
{
    // The driver copies the record from the caller; a missing one faults the copy.
    if (arg == nullptr && (request == REQ_READ_XFER || request == REQ_WRITE_XFER ||
                           request == REQ_READ_CTRL || request == REQ_WRITE_CTRL)) {
        std::lock_guard<std::mutex> lock(mu);
        ensure_loaded();
        log_line("ioctl req=0x%08lx no record EFAULT\n", request);
        return EFAULT;
    }
    if (request == REQ_READ_XFER)
        return do_transfer(false, static_cast<xfer_rec *>(arg));
    if (request == REQ_WRITE_XFER)
        return do_transfer(true, static_cast<xfer_rec *>(arg));
    if (request == REQ_READ_CTRL)
        return do_ctrl(false, static_cast<ctrl_rec *>(arg));
    if (request == REQ_WRITE_CTRL)
        return do_ctrl(true, static_cast<ctrl_rec *>(arg));

    // Right request, wrong record size: a caller built for another layout.
    int err = ENOTTY;
    const unsigned long known[] = {REQ_READ_XFER, REQ_WRITE_XFER, REQ_READ_CTRL, REQ_WRITE_CTRL};
    for (unsigned long k : known)
        if (_IOC_TYPE(request) == _IOC_TYPE(k) && _IOC_NR(request) == _IOC_NR(k) &&
            _IOC_DIR(request) == _IOC_DIR(k))
            err = EINVAL;
    std::lock_guard<std::mutex> lock(mu);
    ensure_loaded();
    log_line("ioctl req=0x%08lx %s\n", request, errno_name(err));
    return err;
}

int ext_open_hook(int efd, int flags, void **state)
{
    (void)efd;
    *state = nullptr;
    return -ext_open(flags);
}

long ext_ioctl_hook(void *state, unsigned long request, unsigned long arg)
{
    (void)state;
    return -ext_ioctl(request, reinterpret_cast<void *>(arg));
}

} // namespace

// No mapping, reading or writing: the serializer driver only answers requests.
const sim_device external_device = {"/dev/external_device",
                                    ext_open_hook,
                                    nullptr,
                                    ext_ioctl_hook,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr};

} // namespace devsim
