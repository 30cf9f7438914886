/* The capture driver's request numbers and blocks, as the simulated driver sees them. Kept
 * apart from the capture module's own copy on purpose: a slip on either side shows up. The
 * numbers are the camera's own (32-bit MIPS) encodings and are matched literally. */
#ifndef DEVSIM_CAM_ABI_H
#define DEVSIM_CAM_ABI_H

#include <stdint.h>

namespace devsim
{

enum : uint32_t {
    CAM_SET_TABLE = 0x80182A0Fu,
    CAM_SET_WINDOW = 0x801C2A50u,
    CAM_ADD_BUFFER = 0x80802A51u,
    CAM_RELEASE_BUFFER = 0x80042A52u,
};

/* Block sizes in 32-bit words. */
constexpr int cam_table_words = 6;
constexpr int cam_window_words = 7;
constexpr int cam_buffer_words = 32;

/* Transfer table: 513 unsigned 16-bit entries. */
constexpr int cam_table_entries = 513;
constexpr uint32_t cam_table_bytes = 1026;

/* Frame buffer header: 128 bytes of 32-bit words, then the luma plane. */
constexpr uint32_t cam_header_bytes = 128;
constexpr int cam_word_state = 8; // byte 32
constexpr int cam_word_tag = 10;  // byte 40
constexpr int cam_word_user_sec = 11;
constexpr int cam_word_user_usec = 12;
constexpr int cam_word_cap_sec = 13;
constexpr int cam_word_cap_usec = 14;

constexpr uint32_t cam_state_driver = 2;
constexpr uint32_t cam_state_ready = 3;

constexpr int cam_max_buffers = 40;

} // namespace devsim

#endif
