/* The serializer driver's request records and numbers, as the simulated driver sees them.
 * Kept apart from the tool's own copy on purpose: a layout slip on either side shows up. */
#ifndef DEVSIM_EXT_DEV_ABI_H
#define DEVSIM_EXT_DEV_ABI_H

#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>

namespace devsim
{

enum : uint32_t {
    DEV_DES = 0,
    DEV_SER = 1,
    DEV_EEPROM = 4,
    DEV_COUNT = 12,
    LINK_COUNT = 4,
};

struct xfer_rec {
    uint32_t instance;
    uint32_t dev_type;
    uint32_t reg_address;
    uint32_t opcode;
    uint32_t opcode_len;
    uint32_t data_len;
    uint8_t *data;
    uint32_t flags;
    uint32_t tries;
};

struct ctrl_rec {
    uint32_t instance;
    uint32_t intp;
    uint32_t pwdn;
    uint32_t pwr_12v_en;
    uint32_t irqdis;
    uint32_t sersel;
    uint32_t flags;
    uint32_t stat_err;
    uint32_t stat_saved_err;
    uint32_t stat_clear;
};

static_assert(sizeof(ctrl_rec) == 40, "control block is ten words");
static_assert(offsetof(xfer_rec, data) == 24, "buffer pointer follows six words");
static_assert(sizeof(xfer_rec) == (sizeof(void *) == 4 ? 36 : 40),
              "transfer record: seven words and a pointer, padded to pointer alignment");

constexpr char IOC_TYPE = 's';
constexpr unsigned long REQ_READ_XFER = _IOWR(IOC_TYPE, 2, xfer_rec);
constexpr unsigned long REQ_WRITE_XFER = _IOW(IOC_TYPE, 3, xfer_rec);
constexpr unsigned long REQ_READ_CTRL = _IOR(IOC_TYPE, 4, ctrl_rec);
constexpr unsigned long REQ_WRITE_CTRL = _IOW(IOC_TYPE, 5, ctrl_rec);

} // namespace devsim

#endif
