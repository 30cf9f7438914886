// Link layer of the head EEPROM tool: device access, register transfers over the serializer
// link, the link check and the serializer set-up that must precede EEPROM access.
#include "common.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#if defined(__mips__) && defined(_MIPS_SZPTR) && _MIPS_SZPTR == 32
// The camera's driver was built for exactly these request numbers.
static_assert(sizeof(struct ext_dev_data) == 36, "transfer record is 36 bytes on the camera");
static_assert(sizeof(struct ext_dev_ctrl) == 40, "control block is 40 bytes on the camera");
static_assert(EXT_DEV_IOC_READ_DATA == 0xc0247302UL, "read transfer request");
static_assert(EXT_DEV_IOC_WRITE_DATA == 0x80247303UL, "write transfer request");
static_assert(EXT_DEV_IOC_READ_CTRL == 0x40287304UL, "read control request");
static_assert(EXT_DEV_IOC_WRITE_CTRL == 0x80287305UL, "write control request");
#endif
static_assert(sizeof(struct ext_dev_ctrl) == 40, "control block is ten words");
static_assert(sizeof(ext_dev_device_type) == 4 && sizeof(ext_dev_instances) == 4 &&
                  sizeof(ext_dev_flags) == 4 && sizeof(ext_dev_sersel) == 4,
              "the driver's enumerations are 32-bit words");

namespace
{

int device_fd = -1;

const ext_dev_instances instances[] = {ext_dev_uart0, ext_dev_uart1, ext_dev_uart2, ext_dev_uart3,
                                       ext_dev_uart_last};

volatile sig_atomic_t interrupt_requested = 0;
volatile sig_atomic_t progress_open = 0;

ext_dev_instances instance_of(int channel)
{
    PROG_ASSERT(channel >= 0 && channel <= 4);
    return instances[channel];
}

void discard(const char *, va_list) {}

void to_stdout(const char *format, va_list ap)
{
    std::vfprintf(stdout, format, ap);
}

void (*print_sink)(const char *, va_list) = discard;

int transfer(unsigned long request, int channel, ext_dev_device_type dev_type,
             unsigned int reg_addr, unsigned int opcode, unsigned int opcode_len, uint8_t *data,
             unsigned int data_len, unsigned int nbr_retries)
{
    struct ext_dev_data rec;
    std::memset(&rec, 0, sizeof rec);
    rec.instance = instance_of(channel);
    rec.dev_type = dev_type;
    rec.reg_address = reg_addr;
    rec.opcode = opcode;
    rec.opcode_len = opcode_len;
    rec.data_len = data_len;
    rec.data = data;
    rec.flags = static_cast<ext_dev_flags>(0);
    rec.tries = nbr_retries + 1;
    return common_ioctl(request, &rec);
}

} // namespace

extern "C" {

int link_setup(void)
{
    if (device_fd >= 0)
        return prog_ok;
    device_fd = open(EXT_DEV_PATH, O_RDWR | O_CLOEXEC);
    if (device_fd < 0) {
        int err = errno;
        print("Failed to open %s\n", EXT_DEV_PATH);
        // The progress output is off, so without this only the set-up failure would show.
        std::fprintf(stderr, "ERR %s: Failed to open %s: %s (%d)\n", "link_setup", EXT_DEV_PATH,
                     std::strerror(err), err);
        return prog_err_open_device;
    }
    return prog_ok;
}

int link_close(void)
{
    if (device_fd >= 0) {
        close(device_fd);
        device_fd = -1;
    }
    return prog_ok;
}

int common_ioctl(unsigned long request, void *data)
{
    if (device_fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ioctl(device_fd, request, data);
}

int link_read_full(int channel, ext_dev_device_type dev_type, unsigned int reg_addr,
                   unsigned int opcode, unsigned int opcode_len, uint8_t *data,
                   unsigned int data_len, unsigned int nbr_retries)
{
    if (transfer(EXT_DEV_IOC_READ_DATA, channel, dev_type, reg_addr, opcode, opcode_len, data,
                 data_len, nbr_retries) < 0) {
        int err = errno;
        prog_end_progress_line();
        std::fprintf(stderr, "ERR %s: link_read error: %s (%d)\n", "link_read_full",
                     std::strerror(err), err);
        return prog_err_read_fpga;
    }
    return prog_ok;
}

int link_write_full(int channel, ext_dev_device_type dev_type, unsigned int reg_addr,
                    unsigned int opcode, unsigned int opcode_len, uint8_t *data,
                    unsigned int data_len, unsigned int nbr_retries)
{
    if (transfer(EXT_DEV_IOC_WRITE_DATA, channel, dev_type, reg_addr, opcode, opcode_len, data,
                 data_len, nbr_retries) < 0) {
        int err = errno;
        prog_end_progress_line();
        std::fprintf(stderr, "ERR %s: error (TIMEOUT): %s (%d)\n", "link_write_full",
                     std::strerror(err), err);
        return prog_err_write_fpga;
    }
    return prog_ok;
}

int link_read(int channel, ext_dev_device_type dev_type, unsigned int reg_addr, uint8_t *data)
{
    return link_read_full(channel, dev_type, reg_addr, 0, 0, data, 1, 1);
}

int link_write(int channel, ext_dev_device_type dev_type, unsigned int reg_addr, uint8_t data)
{
    return link_write_full(channel, dev_type, reg_addr, 0, 0, &data, 1, 10);
}

int check_link_status(int channel)
{
    print("Checking link status\n");
    uint8_t status = 0;
    int ret = link_read(channel, ext_dev_des, 0x04, &status);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: (%d) reading link status\n", "check_link_status", ret);
        return ret;
    }
    if ((status & 0x80) == 0) {
        std::fprintf(stderr, "ERR %s: No link, check that the link is connected\n",
                     "check_link_status");
        return prog_err_no_link;
    }
    return prog_ok;
}

void setup_ser_i2c_method(int channel)
{
    print("Setup I2C method in serializer\n");
    uint8_t value = 0;
    int ret = link_read(channel, ext_dev_ser, 0x05, &value);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: (%d) reading i2c method from serializer\n",
                     "setup_ser_i2c_method", ret);
        value = 0;
    }
    value |= 0x80;
    ret = link_write(channel, ext_dev_ser, 0x05, value);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: (%d) when setting i2c method in serializer\n",
                     "setup_ser_i2c_method", ret);
        return;
    }
    std::fprintf(stdout, "Successfully set I2C method in Serializer\n");
}

int setup_ser9271(int channel)
{
    static const char fn[] = "setup_ser9271";
    struct ext_dev_ctrl ctrl;
    std::memset(&ctrl, 0, sizeof ctrl);
    ctrl.instance = instance_of(channel);
    usleep(500);

    uint8_t value = 0;
    int ret = link_read(channel, ext_dev_ser, 0x04, &value);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read INTTYPE on ser, err = %d\n\n", fn, ret);
        return ret;
    }
    ret = link_write(channel, ext_dev_ser, 0x04, value & 0xf3);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to write INTTYPE in ser to 0, err = %d\n\n", fn, ret);
        return ret;
    }

    if (common_ioctl(EXT_DEV_IOC_READ_CTRL, &ctrl) < 0) {
        int err = errno;
        std::fprintf(stderr, "ERR %s: Failed to read INT pin value: %s (%d)\n\n", fn,
                     std::strerror(err), err);
        return prog_err_read_fpga;
    }
    ctrl.intp = 0;
    if (common_ioctl(EXT_DEV_IOC_WRITE_CTRL, &ctrl) < 0) {
        int err = errno;
        std::fprintf(stderr, "ERR %s: Failed to write INT pin to 0: %s (%d)\n\n", fn,
                     std::strerror(err), err);
        return prog_err_write_fpga;
    }
    ctrl.intp = 1;
    if (common_ioctl(EXT_DEV_IOC_WRITE_CTRL, &ctrl) < 0) {
        int err = errno;
        std::fprintf(stderr, "ERR %s: Failed to write INT pin to 1: %s (%d)\n\n", fn,
                     std::strerror(err), err);
        return prog_err_write_fpga;
    }
    usleep(500);

    ret = link_read(channel, ext_dev_ser, 0x0f, &value);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read in GPIO1 on ser, err = %d\n\n", fn, ret);
        return ret;
    }
    ret = link_write(channel, ext_dev_ser, 0x0f, value & 0xfd);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to write GPIO1 in ser to 0, err = %d\n\n", fn, ret);
        return ret;
    }

    ret = link_read(channel, ext_dev_ser, 0x02, &value);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read spread spectrum on ser, err = %d\n", fn, ret);
        return ret;
    }
    ret = link_write(channel, ext_dev_ser, 0x02, value | 0x20);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to write spread spectrum in ser to 0, err = %d\n", fn,
                     ret);
        return ret;
    }
    usleep(350);
    return prog_ok;
}

void print(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_sink(format, ap);
    va_end(ap);
}

void set_print_lvl(int level)
{
    print_sink = level != 0 ? to_stdout : discard;
}

void prog_request_interrupt(void)
{
    interrupt_requested = 1;
}

void prog_progress_line_open(int open_)
{
    progress_open = open_ ? 1 : 0;
}

void prog_end_progress_line(void)
{
    if (progress_open) {
        std::fputc('\n', stderr);
        progress_open = 0;
    }
}

void prog_assert_fail(const char *expr, const char *file, int line)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", file, line, expr);
    std::abort();
}

void prog_check_interrupt(void)
{
    if (!interrupt_requested)
        return;
    if (progress_open)
        std::fputc('\n', stderr);
    std::fputs("Ctrl-C detected, exiting.\n", stdout);
    std::fflush(stdout);
    std::exit(PROG_EXIT_INTERRUPTED);
}

} // extern "C"
