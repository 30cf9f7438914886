/* Per-model tables of the camera properties: which camera has wide capture, which lens,
 * sensor width, lens constant, zoom and optics control. Rows are matched on the camera's
 * model number and hardware ID. */
#ifndef ZENT_PLATFORM_CAMERA_MODELS_H
#define ZENT_PLATFORM_CAMERA_MODELS_H

#include <span>
#include <string_view>

namespace zent_models
{

/* Matches a camera by model-number prefix (5 characters, or 3 for a family) and/or by
 * hardware-ID prefix (5 characters, or 3 for a family); a null part matches any camera.
 * `suffix`, when given, must end the model number. */
struct Key {
    const char *model;
    const char *hwid;
    const char *suffix;
};

bool matches(const Key &key, std::string_view model, std::string_view hwid);

/* The first row of `rows` whose key matches, or null. */
template <class Row>
const Row *find(std::span<const Row> rows, std::string_view model, std::string_view hwid)
{
    for (const Row &r : rows)
        if (matches(r.key, model, hwid))
            return &r;
    return nullptr;
}

struct Member {
    Key key;
};

/* Focal lengths in millimetres at digital zoom positions 0, 1000, ..., 10000. */
struct DzoomLens {
    Key key;
    float focal[11];
};

struct SensorWidth {
    enum Kind { Width, Uncalibrated, ReadsSetting };
    Key key;
    Kind kind;
    float width;
    float wide_width; /* used in wide mode when non-zero */
};

struct LensLambda {
    Key key;
    bool quadratic;
    float constant;
    double c0, c1, c2; /* c2 z^2 + c1 z + c0 of the optical zoom position z */
};

struct LiveFocal {
    enum Kind { Constant, Linear, ReadsSetting, Uncalibrated };
    Key key;
    Kind kind;
    double a, b; /* Constant: a; Linear: a + b z of the optical zoom position z */
};

std::span<const Member> wide_models();
std::span<const DzoomLens> dzoom_lenses();
std::span<const SensorWidth> sensor_widths();
std::span<const LensLambda> lens_lambdas();
std::span<const LiveFocal> live_focals();
std::span<const Member> without_motor_zoom();
std::span<const Member> optics_control();
std::span<const Member> high_frame_rate();

/* Model-number prefix (3 characters) of the PTZ camera. */
const char *ptz_model();
/* The two cameras whose capture mode the sanity check repairs: on the first a mode starting
 * with '1' or '3' becomes "2", on the second any mode not starting with '3' becomes "3". */
const char *capture_mode_to_2_model();
const char *capture_mode_to_3_model();

} // namespace zent_models

#endif
