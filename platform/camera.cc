// The camera object the application holds (a left and a right channel on one window) and
// the time functions that come with it.
#include "capture.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

extern "C" {

ZENT_EXPORT cam_t create_camera(int buffers, int width, int height, int crop_left, int crop_right,
                                int crop_top, int crop_bottom, int input_width, int input_height)
{
    auto *cam = static_cast<camera *>(std::calloc(1, sizeof(camera)));
    if (cam == nullptr)
        return nullptr;
    cam->left = _cap_open_channel_roi(1, buffers, width, height, crop_left, crop_right, crop_top,
                                      crop_bottom, 25, input_width, input_height, 0);
    cam->right = _cap_open_channel_roi(2, buffers, width, height, crop_left, crop_right, crop_top,
                                       crop_bottom, 25, input_width, input_height, 0);
    if (cam->left == nullptr || cam->right == nullptr) {
        cap_close(cam->left);
        cap_close(cam->right);
        std::free(cam);
        return nullptr;
    }
    cam->width = cam->left->width;
    cam->height = cam->left->height;
    return cam;
}

ZENT_EXPORT void free_camera(cam_t cam)
{
    if (cam == nullptr)
        return;
    cap_close(cam->left);
    cap_close(cam->right);
    std::free(cam);
}

ZENT_EXPORT double get_timestamp(cap_t c, frm_t f)
{
    int t[2];
    cap_get_timestamp(t, c, f);
    return t[0] + t[1] / 1000000.0;
}

ZENT_EXPORT double get_timestamp_user(frm_t f)
{
    int t[2];
    cap_get_timestamp_user(t, f);
    return t[0] + t[1] / 1000000.0;
}

uint32_t zent_usec_from_timespec(const struct timespec *ts)
{
    // The camera's unsigned long is 32 bits: the count wraps every 2^32 us, here as there.
    return static_cast<uint32_t>(ts->tv_sec) * 1000000u + static_cast<uint32_t>(ts->tv_nsec / 1000);
}

ZENT_EXPORT unsigned long monotonic_usec(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return zent_usec_from_timespec(&ts);
}

} // extern "C"
