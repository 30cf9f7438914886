// Literal rendering of the luma scaling filter, shared by its tests and its benchmark.
#pragma once

#include <cstdint>
#include <vector>

namespace k5ref
{

struct RefArgs {
    const std::vector<uint8_t> *src;
    const uint32_t *filter; // nine words
    int out_width, out_rows, src_width, src_height, src_stride;
    int x_step, y_step, x_start, y_start;
    const std::vector<int32_t> *grid; // x, y pairs
    int table_stride, margin;
    // Index of the entry the kernel's grid pointer names, and of the byte its source pointer
    // names: above 0 where the kernel reaches before them (negative starts or strides).
    long grid_origin = 0, src_origin = 0;
};

// The out_rows x out_width result (0xEE where nothing is computed).
std::vector<uint8_t> reference(const RefArgs &a);

} // namespace k5ref
