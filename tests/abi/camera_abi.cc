// Compile-time checks of the camera's ABI (32-bit little-endian MIPS, o32): the capture,
// resampler and serializer drivers' request numbers and records, and the 32-bit words of the
// frame header and the microsecond clock. Nothing runs: compiling this file is the test.
#if !(defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIO32)
#error "these checks describe the camera's ABI: compile with the mipsel-linux-gnu compiler"
#endif

#include "capture.h"
#include "common.h"
#include "user_encode.h"

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>
#include <type_traits>

namespace
{

// The target's own encoding, for a request whose record has `size` bytes.
constexpr unsigned long encode(unsigned dir, unsigned nr, unsigned size)
{
    return _IOC(dir, 0x2A, nr, size);
}

// The machine itself.
static_assert(sizeof(void *) == 4 && sizeof(long) == 4 && sizeof(int) == 4,
              "o32: pointers, long and int are 32-bit words");
static_assert(_IOC_WRITE == 4 && _IOC_READ == 2 && _IOC_NONE == 1 && _IOC_SIZEBITS == 13,
              "MIPS ioctl encoding: write is direction 4, read 2, none 1; 13 size bits");

// Capture driver, "/dev/cam%d": write requests of type 0x2A.
static_assert(CAM_SET_TABLE == 0x80182A0Fu && CAM_SET_TABLE == encode(_IOC_WRITE, 0x0F, 24),
              "CAM_SET_TABLE: six words");
static_assert(CAM_SET_WINDOW == 0x801C2A50u && CAM_SET_WINDOW == encode(_IOC_WRITE, 0x50, 28),
              "CAM_SET_WINDOW: seven words");
static_assert(CAM_ADD_BUFFER == 0x80802A51u && CAM_ADD_BUFFER == encode(_IOC_WRITE, 0x51, 128),
              "CAM_ADD_BUFFER: a 128-byte block");
static_assert(CAM_RELEASE_BUFFER == 0x80042A52u &&
                  CAM_RELEASE_BUFFER == encode(_IOC_WRITE, 0x52, sizeof(int)),
              "CAM_RELEASE_BUFFER: the mapping offset by value");
static_assert(CAM_TABLE_ENTRIES * sizeof(uint16_t) == 1026, "transfer table: 513 16-bit entries");

// Frame buffer: a header of 32-bit words, then the luma plane.
static_assert(CAP_HEADER_SIZE == 128 && CAP_HDR_STATE == 32 && CAP_HDR_CHANNEL_TAG == 40 &&
                  CAP_HDR_USER_SEC == 44 && CAP_HDR_USER_USEC == 48 && CAP_HDR_CAPTURE_SEC == 52 &&
                  CAP_HDR_CAPTURE_USEC == 56,
              "header word offsets");
static_assert(CAP_HDR_STATE % 4 == 0 && CAP_HDR_CAPTURE_USEC + 4 <= CAP_HEADER_SIZE,
              "header words are aligned 32-bit words inside the header");
static_assert(CAP_MAX_BUFFERS == 40, "forty buffer slots per channel");

// The records the application sees through the declaration list: every field a 32-bit word.
static_assert(sizeof(frm) == 12 && offsetof(frm, header) == 4 && offsetof(frm, in_use) == 8,
              "frm_t slot: map_offset, header, in_use");
static_assert(sizeof(frm_pair) == 16 && offsetof(frm_pair, right) == 4 &&
                  offsetof(frm_pair, buffers_filled_left) == 8 &&
                  offsetof(frm_pair, buffers_filled_right) == 12,
              "frm_pair_t: four words");
static_assert(sizeof(camera) == 16 && offsetof(camera, left) == 8 && offsetof(camera, right) == 12,
              "cam_t: width, height, left, right");
static_assert(offsetof(cap, buffers) == 16 && offsetof(cap, pairs) == 16 + 40 * 12 &&
                  offsetof(cap, filled_count) == 16 + 40 * 12 + 40 * 16 &&
                  sizeof(cap) == 16 + 40 * 12 + 40 * 16 + 8,
              "cap_t: four words, 40 slots, 40 pairs, two words");

// The 32-bit microsecond clock and timestamps.
static_assert(std::is_same_v<decltype(monotonic_usec()), unsigned long> &&
                  sizeof(monotonic_usec()) == 4,
              "monotonic_usec is a 32-bit word: it wraps every 2^32 us");
static_assert(std::is_same_v<decltype(zent_usec_from_timespec(nullptr)), uint32_t>,
              "the clock's arithmetic wraps like the camera's unsigned long");

// Resampler driver, "/dev/camuser0".
static_assert(UE_SET_INPUT == 0x800C2A62u && UE_SET_INPUT == encode(_IOC_WRITE, 0x62, 12),
              "UE_SET_INPUT: width, height, 0");
static_assert(UE_SET_OUTPUT == 0x82C82AE0u &&
                  UE_SET_OUTPUT == encode(_IOC_WRITE, 0xE0, UE_OUTPUT_BLOCK_SIZE) &&
                  UE_OUTPUT_BLOCK_SIZE == 712,
              "UE_SET_OUTPUT: a 712-byte block");
static_assert(UE_MAP_CONTROL == 0x80042A11u && UE_MAP_CONTROL == encode(_IOC_WRITE, 0x11, 4),
              "UE_MAP_CONTROL: one word by value");
static_assert(UE_UNMAP_CONTROL == 0x825C2A12u &&
                  UE_UNMAP_CONTROL == encode(_IOC_WRITE, 0x12, UE_CONTROL_SIZE) &&
                  UE_CONTROL_SIZE == 604,
              "UE_UNMAP_CONTROL: numbered for the 604-byte control block");
static_assert(UE_ALLOC_DATA == 0x20002A90u && UE_ALLOC_DATA == encode(_IOC_NONE, 0x90, 0) &&
                  UE_FREE_DATA == 0x20002A91u && UE_FREE_DATA == encode(_IOC_NONE, 0x91, 0) &&
                  UE_ALLOC_TABLE == 0x20002AADu && UE_ALLOC_TABLE == encode(_IOC_NONE, 0xAD, 0) &&
                  UE_FREE_TABLE == 0x20002AAEu && UE_FREE_TABLE == encode(_IOC_NONE, 0xAE, 0),
              "allocation requests carry their argument by value");
static_assert(UE_SET_ENCODE == 0x80202AAAu &&
                  UE_SET_ENCODE ==
                      encode(_IOC_WRITE, 0xAA, sizeof(user_encode_internal::encode_request)) &&
                  sizeof(user_encode_internal::encode_request) == 32,
              "UE_SET_ENCODE: the eight-word encode request");
static_assert(UE_START == 0x40042A10u && UE_START == encode(_IOC_READ, 0x10, 4),
              "UE_START: the control block offset by value");
static_assert(sizeof(user_encode) == 24 && offsetof(user_encode, uc_int) == 20,
              "user_encode_t: five words and the internal record's address");
// The unit reads the scale and sharpness records through 32-bit control words.
static_assert(sizeof(uint32_t *) == sizeof(uint32_t), "record addresses fit a control word");

// Serializer driver, "/dev/external_device": type 's', the tool's own encodings.
static_assert(sizeof(ext_dev_data) == 36 && offsetof(ext_dev_data, data) == 24 &&
                  offsetof(ext_dev_data, tries) == 32,
              "transfer record: six words, the buffer address, two words");
static_assert(sizeof(ext_dev_ctrl) == 40, "control block: ten words");
static_assert(EXT_DEV_IOC_READ_DATA == 0xc0247302UL && EXT_DEV_IOC_WRITE_DATA == 0x80247303UL &&
                  EXT_DEV_IOC_READ_CTRL == 0x40287304UL && EXT_DEV_IOC_WRITE_CTRL == 0x80287305UL,
              "serializer requests");

} // namespace
