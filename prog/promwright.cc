// promwright: writes, reads and verifies the identity and calibration data in a stereo
// head's EEPROM over the serializer link; the exit status is the result code.
#include "common.h"
#include "util.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
void int_handler(int sig);
int write_head_id(int channel, unsigned int head_id, unsigned int head_version);
int write_head_data(int channel, const char *file, int verify, int use_tail_partition);
int eeprom_write_unit_id(int channel, const char *unit_id);
int eeprom_write_crop(int channel, int crop);
int eeprom_print_head_id(int channel);
int eeprom_print_ufm_header(int channel);
}

namespace
{

void print_usage(const char *name)
{
    std::printf("======================= Usage (examples) ======================\n");
    std::printf(" Write head id:   %s -I <head_id> -v <head_version> -i [instance]\n", name);
    std::printf(" Write head data: %s -d <filename> -i [instance]\n", name);
    std::printf(" Write unit id:   %s -u <unitid> -i [instance]\n", name);
    std::printf(" Read head data:  %s -o <filename> -i [instance]\n", name);
    std::printf(" Print head id:   %s -p -i [instance]\n", name);
    std::printf(" \n");
    std::printf(" ====================== Command line options ===================\n");
    std::printf(" -o Name of output file, if output of eeprom data.\n"
                "    should be to file.\n\n");
    std::printf(" -i instance [0-3]\n\n");
    std::printf(" -p Print the head id and head version.\n\n");
    std::printf(" -x Print the UFM header\n\n");
    std::printf(" -d Read data from input file and write to EEPROM. Number of bytes\n"
                "    that can be written depends on the device. Typically this\n"
                "    will be used when writing head data to EEPROM\n\n");
    std::printf(
        " -t Make -d and -o operate on the tail partition instead of the main partition\n\n");
    std::printf(" -I Write head id to EEPROM. Needs to be combined with -v\n\n");
    std::printf(" -v Write head version to EEPROM. Needs to be combined with -I\n\n");
    std::printf(" -e Erase all data in EEPROM (will be 0xff after)\n\n");
    std::printf(" -u Write the Unit ID (10 characters)\n\n");
    std::printf(" -h print this help text.\n\n");
    std::printf(" -w verify data\n\n");
}

// Link instance: anything but a plain 0..3 means the first head.
int parse_instance(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 3)
        return 0;
    return static_cast<int>(v);
}

unsigned long parse_hex(const char *text)
{
    return std::strtoul(text, nullptr, 16);
}

bool parse_crop(const char *text, int *crop)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < -128 || v > 127)
        return false;
    *crop = static_cast<int>(v);
    return true;
}

int fail(int code)
{
    // A transfer cut off by Ctrl-C is the interrupt's doing, not a failure of the head.
    prog_check_interrupt();
    std::printf("Unsuccesful\n");
    return code;
}

// Reads exactly len bytes; a file that ends early (it shrank after its size was taken) or
// a read error is a failure, never a short result.
bool read_exact(int fd, uint8_t *buf, size_t len, size_t *got)
{
    *got = 0;
    while (*got < len) {
        ssize_t r = read(fd, buf + *got, len - *got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            errno = 0;
        if (r <= 0)
            return false;
        *got += static_cast<size_t>(r);
    }
    return true;
}

struct fd_owner {
    int fd;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reads the main partition's header for an update of one of its fields.
int update_main_header(int channel, const char *fn, void (*apply)(ufm_header_t *, const void *),
                       const void *arg, const char *fail_fmt)
{
    ufm_header_t h;
    int ret = eeprom_get_ufm_header(channel, &h);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read data header ret = %d\n", fn, ret);
        return ret;
    }
    apply(&h, arg);
    uint8_t bytes[UFM_HEADER_SIZE];
    ufm_header_to_bytes(&h, bytes);
    ret = eeprom_write(channel, bytes, EEPROM_MAIN_HEADER_CHUNK, UFM_HEADER_SIZE);
    if (ret != prog_ok)
        std::fprintf(stderr, fail_fmt, fn, ret);
    return ret;
}

} // namespace

extern "C" {

void int_handler(int sig)
{
    (void)sig;
    prog_request_interrupt();
}

int write_head_id(int channel, unsigned int head_id, unsigned int head_version)
{
    uint8_t block[EEPROM_CHUNK_SIZE] = {};
    block[0] = static_cast<uint8_t>(head_version & 0xff);
    block[1] = static_cast<uint8_t>((head_version >> 8) & 0xff);
    block[2] = static_cast<uint8_t>(head_id & 0xff);
    block[3] = static_cast<uint8_t>((head_id >> 8) & 0xff);
    int ret = eeprom_write(channel, block, EEPROM_HEAD_ID_CHUNK, EEPROM_CHUNK_SIZE);
    if (ret != prog_ok)
        std::fprintf(stderr, "ERR %s: writing header and id failed.\n", "write_head_id");
    return ret;
}

int write_head_data(int channel, const char *file, int verify, int use_tail_partition)
{
    static const char fn[] = "write_head_data";
    fd_owner in{open(file, O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        int err = errno;
        std::fprintf(stderr, "ERR %s: Could not open file (%s). Errno: %d, %s\n", fn, file, err,
                     std::strerror(err));
        return prog_err_open_file;
    }
    struct stat st;
    if (fstat(in.fd, &st) != 0) {
        int err = errno;
        std::fprintf(stderr, "ERR %s: Could not fstat file (%s). Errno: %d, %s\n", fn, file, err,
                     std::strerror(err));
        return prog_err_read_file;
    }
    const long limit = use_tail_partition ? EEPROM_TAIL_DATA_MAX : EEPROM_MAIN_DATA_MAX;
    if (st.st_size > limit) {
        std::fprintf(stderr, "ERR %s: File %s too large to fit in eeprom. %d > %d\n", fn, file,
                     static_cast<int>(st.st_size > INT_MAX ? INT_MAX : st.st_size),
                     static_cast<int>(limit));
        return prog_err_wrong_arguments;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size + UFM_HEADER_SIZE]);
    if (!buf) {
        std::fprintf(stderr, "ERR %s: Unable to allocate buffer.\n", fn);
        return prog_err_programming_failed;
    }

    // The tail partition starts from the main header too, so both carry the same identity.
    ufm_header_t h;
    int ret = eeprom_get_ufm_header(channel, &h);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read data header ret = %d\n", fn, ret);
        return ret;
    }
    h.size = static_cast<uint16_t>(size);

    size_t got = 0;
    if (!read_exact(in.fd, buf.get() + UFM_HEADER_SIZE, size, &got)) {
        int err = errno;
        if (got < size && err == 0)
            std::fprintf(stderr, "ERR %s: Could not read file (%s): %zu of %zu bytes\n", fn, file,
                         got, size);
        else
            std::fprintf(stderr, "ERR %s: Could not read file (%s). Errno: %d, %s\n", fn, file, err,
                         std::strerror(err));
        return prog_err_read_file;
    }
    ufm_header_to_bytes(&h, buf.get());

    const int chunk = use_tail_partition ? EEPROM_TAIL_HEADER_CHUNK : EEPROM_MAIN_HEADER_CHUNK;
    // A full partition is some twenty seconds of write cycles: show where it is.
    ret = eeprom_write_progress(channel, buf.get(), chunk, static_cast<int>(size + UFM_HEADER_SIZE),
                                "Writing EEPROM");
    if (ret != prog_ok)
        std::fprintf(stderr, "ERR %s: Error writing data file (%s)\n", fn, file);
    if (verify) {
        int vret = eeprom_read_head_data(channel, nullptr, buf.get(), buf.get() + UFM_HEADER_SIZE,
                                         use_tail_partition);
        std::fflush(stdout);
        // Data that does not read back as written is a failed write, whatever the transfers
        // said.
        if (ret == prog_ok)
            ret = vret;
    }
    return ret;
}

int eeprom_write_unit_id(int channel, const char *unit_id)
{
    return update_main_header(
        channel, "eeprom_write_unit_id",
        [](ufm_header_t *h, const void *arg) { std::memcpy(h->unit_id, arg, UFM_UNIT_ID_LEN); },
        unit_id, "ERR %s: Writing unit id failed (%d).\n");
}

int eeprom_write_crop(int channel, int crop)
{
    return update_main_header(
        channel, "eeprom_write_crop",
        [](ufm_header_t *h, const void *arg) {
            h->crop = static_cast<int8_t>(*static_cast<const int *>(arg));
        },
        &crop, "ERR %s: Writing crop failed (%d).\n");
}

int eeprom_print_head_id(int channel)
{
    uint8_t b[4];
    int ret = eeprom_read(channel, b, EEPROM_HEAD_ID_CHUNK, sizeof b);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read head_id\n\n", "eeprom_print_head_id");
        return ret;
    }
    std::printf("Head_id = 0x%04x\n", b[2] | (b[3] << 8));
    std::printf("Head_version = 0x%04x\n", b[0] | (b[1] << 8));
    return prog_ok;
}

int eeprom_print_ufm_header(int channel)
{
    uint8_t raw[UFM_HEADER_SIZE];
    int ret = eeprom_read(channel, raw, EEPROM_MAIN_HEADER_CHUNK, UFM_HEADER_SIZE);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read data header ret = %d\n",
                     "eeprom_print_ufm_header", ret);
        return ret;
    }
    return dump_ufm_header(raw);
}

} // extern "C"

int main(int argc, char **argv)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = int_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    // Thousands of 5 ms write-cycle waits: the default 50 us of timer slack on each adds
    // up to a noticeable share of a full write.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    if (argc < 2) {
        print_usage(argv[0]);
        return 0;
    }

    int instance = 0;
    unsigned long head_id = 0, head_version = 0;
    bool id_requested = false, print_id = false, verify = false, erase = false, dump = false;
    bool tail = false, crop_requested = false;
    const char *in_file = nullptr, *out_file = nullptr, *unit_id = nullptr;
    int crop = 0;

    int opt;
    while ((opt = getopt(argc, argv, "i:I:v:d:o:pwehxu:C:t")) != -1) {
        switch (opt) {
        case 'i':
            instance = parse_instance(optarg);
            break;
        case 'I':
            head_id = parse_hex(optarg);
            id_requested = true;
            if (head_id >= 0x10000) {
                std::fprintf(stderr, "ERR %s: Id too large: 0x%lx > 0xffff\n", "main", head_id);
                return fail(-1);
            }
            break;
        case 'v':
            head_version = parse_hex(optarg);
            id_requested = true;
            if (head_version >= 0x10000) {
                std::fprintf(stderr, "ERR %s: Version too large: 0x%lx > 0xffff\n", "main",
                             head_version);
                return fail(-1);
            }
            break;
        case 'd':
            in_file = optarg;
            break;
        case 'o':
            out_file = optarg;
            break;
        case 'p':
            print_id = true;
            break;
        case 'w':
            verify = true;
            break;
        case 'e':
            erase = true;
            break;
        case 'h':
            print_usage(argv[0]);
            return 0;
        case 'x':
            dump = true;
            break;
        case 'u':
            unit_id = optarg;
            if (std::strlen(unit_id) != UFM_UNIT_ID_LEN) {
                std::fprintf(stderr, "ERR %s: Unit ID must be exactly %d characters long\n", "main",
                             UFM_UNIT_ID_LEN);
                return fail(-1);
            }
            break;
        case 'C':
            crop_requested = true;
            if (!parse_crop(optarg, &crop)) {
                std::fprintf(stderr,
                             "ERR %s: Crop value %s is out of range, the valid range = [%d, %d]\n",
                             "main", optarg, -128, 127);
                return fail(-1);
            }
            break;
        case 't':
            tail = true;
            break;
        default:
            print_usage(argv[0]);
            return -1;
        }
    }

    if (id_requested && (head_id == 0 || head_version == 0)) {
        std::printf("Both id and version have to be specified\n");
        return -1;
    }

    int ret = link_setup();
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed (%d) to setup FPGA, aborting\n", "main", ret);
        return fail(ret);
    }
    ret = check_link_status(instance);
    if (ret != prog_ok)
        return fail(ret);
    setup_ser_i2c_method(instance);
    ret = setup_ser9271(instance);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed (%d) to setup serializer, aborting\n", "main", ret);
        return fail(ret);
    }

    // An erase that failed part-way does not stop the run, but the run has then not
    // succeeded: its code is the exit status unless a later step fails first.
    int erase_ret = prog_ok;
    prog_check_interrupt();
    if (erase) {
        erase_ret = eeprom_erase(instance);
        if (erase_ret != prog_ok)
            std::fprintf(stderr, "ERR %s: Erasing EEPROM failed (%d)\n", "main", erase_ret);
    }
    if (id_requested && (ret = write_head_id(instance, static_cast<unsigned>(head_id),
                                             static_cast<unsigned>(head_version))) != prog_ok)
        return fail(ret);
    if (in_file && (ret = write_head_data(instance, in_file, verify, tail)) != prog_ok)
        return fail(ret);
    if (unit_id && (ret = eeprom_write_unit_id(instance, unit_id)) != prog_ok)
        return fail(ret);
    if (crop_requested && (ret = eeprom_write_crop(instance, crop)) != prog_ok)
        return fail(ret);
    if (print_id && (ret = eeprom_print_head_id(instance)) != prog_ok)
        return fail(ret);
    if (dump && (ret = eeprom_print_ufm_header(instance)) != prog_ok)
        return fail(ret);
    if (out_file &&
        (ret = eeprom_read_head_data(instance, out_file, nullptr, nullptr, tail)) != prog_ok)
        return fail(ret);
    prog_check_interrupt();
    link_close();
    if (erase_ret != prog_ok)
        return fail(erase_ret);
    return prog_ok;
}
