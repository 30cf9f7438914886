// EEPROM layer of the head EEPROM tool: 16-byte chunk transfers with the part's write cycle,
// the erase, the UFM header and the read-back of a partition's head data.
#include "util.h"

#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

static_assert(sizeof(ufm_header_t) == UFM_HEADER_SIZE, "header is stored as it lies in memory");

namespace
{

// The EEPROM's write cycle is over before its next transfer; the driver gets 10 tries.
constexpr unsigned write_retries = 9;

int chunk_count(int len)
{
    return len / EEPROM_CHUNK_SIZE + (len % EEPROM_CHUNK_SIZE ? 1 : 0);
}

int chunk_len(int i, int count, int len)
{
    if (i == count - 1 && len % EEPROM_CHUNK_SIZE)
        return len % EEPROM_CHUNK_SIZE;
    return EEPROM_CHUNK_SIZE;
}

// A long write on a terminal: one line on standard error, redrawn in place at most once per
// percent, so that twenty seconds of write cycles do not look like a hang.
void show_progress(const char *what, int done, int total)
{
    int pct = done * 100 / total;
    int prev = (done - 1) * 100 / total;
    if (done != 1 && pct == prev && done != total)
        return;
    std::fprintf(stderr, "\r%s: %3d%% (%d/%d chunks)", what, pct, done, total);
    if (done == total) {
        std::fputc('\n', stderr);
        prog_progress_line_open(0);
    } else {
        prog_progress_line_open(1);
    }
    std::fflush(stderr);
}

// progress names the line shown on a terminal; nullptr shows nothing.
int write_chunks(int channel, const uint8_t *data, int chunk_offset, int len, const char *progress)
{
    if (progress != nullptr && !isatty(STDERR_FILENO))
        progress = nullptr;
    PROG_ASSERT(channel >= 0 && channel <= 4);
    PROG_ASSERT(data != nullptr);
    int count = chunk_count(len);
    if (chunk_offset + count > EEPROM_CHUNKS) {
        std::fprintf(stderr, "ERR %s: Data does not fit in eeprom: %d bytes > %d (eeprom size)\n",
                     "eeprom_write", (chunk_offset + count) * EEPROM_CHUNK_SIZE, EEPROM_SIZE);
        return 1;
    }
    for (int i = 0; i < count; i++) {
        prog_check_interrupt();
        uint8_t chunk[EEPROM_CHUNK_SIZE];
        int n = chunk_len(i, count, len);
        std::memcpy(chunk, data + i * EEPROM_CHUNK_SIZE, n);
        int ret = link_write_full(channel, ext_dev_eeprom, (chunk_offset + i) * EEPROM_CHUNK_SIZE,
                                  0, 0, chunk, n, write_retries);
        if (ret != prog_ok) {
            prog_end_progress_line();
            return ret;
        }
        usleep(EEPROM_WRITE_CYCLE_US);
        if (progress)
            show_progress(progress, i + 1, count);
    }
    return prog_ok;
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

extern "C" {

int eeprom_write(int channel, const uint8_t *data, int chunk_offset, int len)
{
    return write_chunks(channel, data, chunk_offset, len, nullptr);
}

int eeprom_write_progress(int channel, const uint8_t *data, int chunk_offset, int len,
                          const char *what)
{
    return write_chunks(channel, data, chunk_offset, len, what);
}

int eeprom_read(int channel, uint8_t *data, int chunk_offset, int len)
{
    PROG_ASSERT(channel >= 0 && channel <= 4);
    PROG_ASSERT(chunk_offset >= 0 && len >= 0 &&
                static_cast<long>(chunk_offset) * EEPROM_CHUNK_SIZE + len <= EEPROM_SIZE);
    int count = chunk_count(len);
    for (int i = 0; i < count; i++) {
        prog_check_interrupt();
        int n = chunk_len(i, count, len);
        int ret = link_read_full(channel, ext_dev_eeprom, (chunk_offset + i) * EEPROM_CHUNK_SIZE, 0,
                                 0, data + i * EEPROM_CHUNK_SIZE, n, 0);
        if (ret != prog_ok) {
            std::fprintf(stderr, "ERR %s: Failed to read eeprom chunk = %d, %d\n", "eeprom_read", i,
                         ret);
            return ret;
        }
    }
    return prog_ok;
}

int eeprom_erase(int channel)
{
    auto blank = std::make_unique<uint8_t[]>(EEPROM_SIZE);
    std::memset(blank.get(), 0xff, EEPROM_SIZE);
    return write_chunks(channel, blank.get(), 0, EEPROM_SIZE, "Erasing EEPROM");
}

int extract_ufm_header(const uint8_t *bytes, ufm_header_t *header)
{
    header->version = bytes[0];
    if (header->version != 1)
        return prog_err_ufm_verify;
    header->compr_type = bytes[1];
    header->size = static_cast<uint16_t>(bytes[2] + 256 * bytes[3]);
    std::memcpy(header->unit_id, bytes + 4, UFM_UNIT_ID_LEN);
    header->crop = static_cast<int8_t>(bytes[14]);
    header->data_field = bytes[15];
    return prog_ok;
}

void ufm_header_to_bytes(const ufm_header_t *header, uint8_t *bytes)
{
    bytes[0] = header->version;
    bytes[1] = header->compr_type;
    bytes[2] = static_cast<uint8_t>(header->size & 0xff);
    bytes[3] = static_cast<uint8_t>(header->size >> 8);
    std::memcpy(bytes + 4, header->unit_id, UFM_UNIT_ID_LEN);
    bytes[14] = static_cast<uint8_t>(header->crop);
    bytes[15] = header->data_field;
}

int eeprom_get_ufm_header(int channel, ufm_header_t *header)
{
    uint8_t bytes[UFM_HEADER_SIZE];
    int ret = eeprom_read(channel, bytes, EEPROM_MAIN_HEADER_CHUNK, UFM_HEADER_SIZE);
    if (ret != prog_ok)
        return ret;
    if (extract_ufm_header(bytes, header) != prog_ok) {
        std::memset(header, 0, sizeof *header);
        header->version = 1;
    }
    return prog_ok;
}

int dump_ufm_header(const uint8_t *bytes)
{
    std::printf("raw: ");
    for (int i = 0; i < UFM_HEADER_SIZE; i++)
        std::printf("%02x ", bytes[i]);
    std::printf("\n");
    ufm_header_t h;
    if (extract_ufm_header(bytes, &h) != prog_ok) {
        std::fprintf(stderr, "ERR %s: Error (%d) parsing UFM header\n\n", "dump_ufm_header",
                     prog_err_ufm_verify);
        return prog_err_ufm_verify;
    }
    std::printf("version = 0x%02x\n", h.version);
    std::printf("compr_type = 0x%02x\n", h.compr_type);
    std::printf("size = 0x%04x, %05d\n", h.size, h.size);
    std::printf("unit_id = \"%.*s\"\n", UFM_UNIT_ID_LEN, h.unit_id);
    std::printf("crop = 0x%02x, %03d\n", bytes[14], h.crop);
    std::printf("data_field = 0x%02x\n", h.data_field);
    return prog_ok;
}

int eeprom_read_head_data(int channel, const char *out_file, const uint8_t *verify_header,
                          const uint8_t *verify_data, int use_tail_partition)
{
    static const char fn[] = "eeprom_read_head_data";
    const int header_chunk =
        use_tail_partition ? EEPROM_TAIL_HEADER_CHUNK : EEPROM_MAIN_HEADER_CHUNK;
    // The main partition's data may run on to the end of the EEPROM; the tail partition's
    // may not run past it.
    const int max_size = use_tail_partition ? EEPROM_TAIL_DATA_MAX : 65504;

    uint8_t raw[UFM_HEADER_SIZE];
    int ret = eeprom_read(channel, raw, header_chunk, UFM_HEADER_SIZE);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read data header ret = %d\n", fn, ret);
        return ret;
    }
    ufm_header_t h;
    if (extract_ufm_header(raw, &h) != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to parse data header ret = %d\n", fn,
                     prog_err_ufm_verify);
        return prog_err_ufm_verify;
    }
    if (h.size > max_size) {
        std::fprintf(stderr, "ERR %s: Invalid data size in header\n", fn);
        return prog_err_ufm_header;
    }

    auto data = std::make_unique<uint8_t[]>(h.size > 0 ? h.size : 1);
    ret = eeprom_read(channel, data.get(), header_chunk + 1, h.size);
    if (ret != prog_ok) {
        std::fprintf(stderr, "ERR %s: Failed to read data ret = %d\n", fn, ret);
        return ret;
    }

    int result = prog_ok;
    if (out_file != nullptr) {
        int fd = open(out_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744);
        if (fd < 0) {
            int err = errno;
            std::fprintf(stderr, "ERR %s: Could not open file (%s). Errno: %d, %s\n", fn, out_file,
                         err, std::strerror(err));
            return prog_err_open_file;
        }
        if (!write_all(fd, data.get(), h.size)) {
            int err = errno;
            std::fprintf(stderr, "ERR %s: Error writing data file (%s). Errno: %d, %s\n", fn,
                         out_file, err, std::strerror(err));
            // The saved copy is incomplete: the read goes on, but it has not succeeded.
            result = prog_err_open_file;
        }
        close(fd);
    }

    if (verify_header != nullptr) {
        if (std::memcmp(verify_header, raw, UFM_HEADER_SIZE) != 0) {
            std::fprintf(stderr, "ERR %s: Headers not equal\n", fn);
            result = prog_err_ufm_verify;
        } else {
            std::printf("Verify header succesful");
        }
    }
    if (verify_data != nullptr) {
        // The expected data is as long as the expected header says; a header that claims
        // another length cannot hold that data (and must not make us compare past it).
        int expected_size = verify_header ? verify_header[2] + 256 * verify_header[3] : h.size;
        if (expected_size != h.size || std::memcmp(verify_data, data.get(), h.size) != 0) {
            std::fprintf(stderr, "ERR %s: Data not equal\n", fn);
            return prog_err_ufm_verify;
        }
        std::printf("Verify data succesful");
    }
    return result;
}

} // extern "C"
