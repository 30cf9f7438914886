/* What the interpreter layer of _orvex_video is generated against: the camera object, stereo
 * capture and the hardware user-encode unit. */
#ifndef ZENT_PLATFORM_ORVEX_VIDEO_H
#define ZENT_PLATFORM_ORVEX_VIDEO_H

#include "capture.h"
#include "user_encode.h"

#endif
