/* stereo._aruco: the camera's marker detector and the allocator release for the arrays it
 * returns, as the interpreter layer sees them. */
#ifndef ARUCO_H
#define ARUCO_H

#include <stdlib.h>

#include "wrapper.h"

/* The interpreter checks point_t against this layout when the module loads; the camera's
 * 32-bit ABI aligns a double to 8 bytes as well. */
#ifdef __cplusplus
static_assert(sizeof(point_t) == 16 && alignof(point_t) == 8, "point_t layout");
#else
_Static_assert(sizeof(point_t) == 16 && _Alignof(point_t) == 8, "point_t layout");
#endif

#endif
