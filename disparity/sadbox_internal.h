// Entry points of the box matchers with an explicit team size and schedule, for native tests and
// benchmarks; the exported matchers run them with two threads and the adaptive schedule.
#ifndef ZENT_SADBOX_INTERNAL_H
#define ZENT_SADBOX_INTERNAL_H

#include <cstdint>

#include "disparity.h"
#include "team_run.h"

namespace zent_disparity
{

inline constexpr int kTeamSize = 2;

void jump_y_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                         int n, const uint8_t *list, int threads,
                         Schedule schedule = Schedule::kShared);
void orig_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                       int n, const uint8_t *list, int threads,
                       Schedule schedule = Schedule::kShared);

} // namespace zent_disparity

#endif
