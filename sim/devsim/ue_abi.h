/* The resampler driver's request numbers and blocks, as the simulated driver sees them. Kept
 * apart from the user-encode module's own copy on purpose. The numbers are the camera's own
 * (32-bit MIPS) encodings and are matched literally. */
#ifndef DEVSIM_UE_ABI_H
#define DEVSIM_UE_ABI_H

#include <stdint.h>

namespace devsim
{

enum : uint32_t {
    UE_SET_INPUT = 0x800C2A62u,
    UE_SET_OUTPUT = 0x82C82AE0u,
    UE_MAP_CONTROL = 0x80042A11u,
    UE_UNMAP_CONTROL = 0x825C2A12u,
    UE_ALLOC_DATA = 0x20002A90u,
    UE_FREE_DATA = 0x20002A91u,
    UE_ALLOC_TABLE = 0x20002AADu,
    UE_FREE_TABLE = 0x20002AAEu,
    UE_SET_ENCODE = 0x80202AAAu,
    UE_START = 0x40042A10u,
};

constexpr uint32_t ue_input_bytes = 12;
constexpr uint32_t ue_output_bytes = 712;
constexpr uint32_t ue_encode_bytes = 32;

/* Control block: 604 bytes; byte offsets of the words the driver reads. */
constexpr uint32_t ue_control_bytes = 604;
constexpr uint32_t ue_ctl_mode = 0;       // 2
constexpr uint32_t ue_ctl_minus_one = 20; // -1
constexpr uint32_t ue_ctl_scale = 24;     // address of the scale record
constexpr uint32_t ue_ctl_sharp = 28;     // address of the sharpness record
constexpr uint32_t ue_ctl_data_off = 556;
constexpr uint32_t ue_ctl_data_len = 560;
constexpr uint32_t ue_ctl_go = 592; // 2 before every frame, cleared by the unit after it

/* Coordinate table entry: s16 x, s16 y (1/8 px), then a 32-bit control word. */
constexpr uint32_t ue_entry_bytes = 8;
constexpr uint32_t ue_fresh_control = 0xFFFFFFFFu;
constexpr uint32_t ue_good_control = 0xC0FFFE80u; // the fresh word as the module leaves it

} // namespace devsim

#endif
