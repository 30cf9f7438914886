// Entry points of the box matchers with an explicit team size, for native tests and
// benchmarks; the exported matchers always run them with two threads.
#ifndef ZENT_SADBOX_INTERNAL_H
#define ZENT_SADBOX_INTERNAL_H

#include <cstdint>

#include "disparity.h"

namespace zent_disparity
{

inline constexpr int kTeamSize = 2;

void jump_y_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                         int n, const uint8_t *list, int threads);
void orig_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                       int n, const uint8_t *list, int threads);

} // namespace zent_disparity

#endif
