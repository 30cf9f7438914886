// Per-model tables. SAMPLE VALUES: the camera maker's model numbers, hardware IDs and optics
// figures are not part of this code base, so every row below is an invented, neutral
// placeholder that exercises one kind of row. Replace them with the maker's figures before
// relying on the optics of a real camera. The simulated camera (sim/qlparameter/defaults.conf,
// model P1455-LE-3, hardware ID 7A4) has rows of its own so that the demo gets finite optics.
#include "camera_models.h"

#include <cstring>

namespace zent_models
{

namespace
{

bool prefixed(std::string_view text, const char *prefix)
{
    std::size_t n = std::strlen(prefix);
    return text.size() >= n && text.compare(0, n, prefix) == 0;
}

// Sample: models with wide (16:9) capture.
const Member kWide[] = {
    {{"P1455", nullptr, nullptr}},
    {{"S3210", nullptr, nullptr}},
    {{"S5510", nullptr, nullptr}},
    {{"S6610", nullptr, nullptr}},
};

// Sample: digital-zoom lens rows; the hardware-ID row of S2110 comes before its general row.
const DzoomLens kDzoom[] = {
    {{"P1455", nullptr, nullptr},
     {2.8f, 3.1f, 3.5f, 3.9f, 4.4f, 5.0f, 5.7f, 6.5f, 7.4f, 8.4f, 9.5f}},
    {{"S3210", nullptr, nullptr},
     {3.0f, 3.3f, 3.6f, 4.0f, 4.4f, 4.8f, 5.3f, 5.8f, 6.4f, 7.0f, 7.7f}},
    {{"S2110", "8B1.2", nullptr},
     {4.0f, 4.4f, 4.8f, 5.3f, 5.8f, 6.4f, 7.0f, 7.7f, 8.5f, 9.4f, 10.3f}},
    {{"S2110", nullptr, nullptr},
     {3.6f, 3.9f, 4.3f, 4.7f, 5.2f, 5.7f, 6.3f, 6.9f, 7.6f, 8.4f, 9.2f}},
};

// Sample: sensor widths, tested in this order (uncalibrated hardware first, longer hardware-ID
// prefixes before their family).
const SensorWidth kCcdw[] = {
    {{nullptr, "7A9", nullptr}, SensorWidth::Uncalibrated, 0.0f, 0.0f},
    {{nullptr, "7B0", nullptr}, SensorWidth::Uncalibrated, 0.0f, 0.0f},
    {{nullptr, "7B1", nullptr}, SensorWidth::Uncalibrated, 0.0f, 0.0f},
    {{nullptr, "8B1.2", nullptr}, SensorWidth::Width, 4.8f, 0.0f},
    {{nullptr, "8B1", nullptr}, SensorWidth::Width, 4.5f, 0.0f},
    {{"P1455", nullptr, nullptr}, SensorWidth::Width, 5.12f, 5.76f},
    {{"S3210", nullptr, nullptr}, SensorWidth::Width, 4.8f, 5.4f},
    {{"S5510", nullptr, nullptr}, SensorWidth::Width, 6.4f, 7.2f},
    {{"S2110", nullptr, nullptr}, SensorWidth::Width, 4.0f, 0.0f},
    {{"S4410", nullptr, nullptr}, SensorWidth::ReadsSetting, 0.0f, 0.0f},
    {{"S77", nullptr, nullptr}, SensorWidth::Width, 3.6f, 0.0f},
};

// Sample: lens constants; the hardware family 9F1 depends on the optical zoom position.
const LensLambda kLambda[] = {
    {{nullptr, "9F1", nullptr}, true, 0.0f, 0.95, 0.10, -0.05},
    {{"P1455", nullptr, nullptr}, false, 1.02f, 0, 0, 0},
    {{"S3210", nullptr, nullptr}, false, 0.98f, 0, 0, 0},
    {{"S2110", nullptr, nullptr}, false, 1.10f, 0, 0, 0},
    {{"S6610", nullptr, nullptr}, false, 1.05f, 0, 0, 0},
};

// Sample: live focal lengths, tested in this order. S6610 has two constants, chosen by its
// hardware ID together with the model suffix.
const LiveFocal kLive[] = {
    {{nullptr, "7A9", nullptr}, LiveFocal::Uncalibrated, 0, 0},
    {{nullptr, "7B0", nullptr}, LiveFocal::Uncalibrated, 0, 0},
    {{nullptr, "7B1", nullptr}, LiveFocal::Uncalibrated, 0, 0},
    {{"S6610", "6C2", "-E"}, LiveFocal::Constant, 3.5, 0},
    {{"S6610", nullptr, nullptr}, LiveFocal::Constant, 2.2, 0},
    {{"P1455", nullptr, nullptr}, LiveFocal::Constant, 2.8, 0},
    {{"S3210", nullptr, nullptr}, LiveFocal::Constant, 3.0, 0},
    {{"S2110", nullptr, nullptr}, LiveFocal::Constant, 3.6, 0},
    {{"S5510", nullptr, nullptr}, LiveFocal::Linear, 4.7, 42.6},
    {{nullptr, "9F1", nullptr}, LiveFocal::Linear, 3.9, 35.1},
    {{"S4410", nullptr, nullptr}, LiveFocal::ReadsSetting, 0, 0},
};

// Sample: cameras known to have no motorised zoom (two families of 3 characters).
const Member kNoMotorZoom[] = {
    {{"P14", nullptr, nullptr}},   {{"S32", nullptr, nullptr}},   {{"S2110", nullptr, nullptr}},
    {{"S3220", nullptr, nullptr}}, {{"S4410", nullptr, nullptr}}, {{"S6610", nullptr, nullptr}},
    {{"S77", nullptr, nullptr}},
};

// Sample: cameras whose optics can be polled (model or hardware family).
const Member kOptics[] = {
    {{"S5510", nullptr, nullptr}},
    {{nullptr, "9F1", nullptr}},
};

// Sample: the 30 frames-per-second models.
const Member kHighFps[] = {
    {{"S3210", nullptr, nullptr}},
    {{"S5510", nullptr, nullptr}},
    {{"S6610", nullptr, nullptr}},
};

} // namespace

bool matches(const Key &key, std::string_view model, std::string_view hwid)
{
    if (key.model != nullptr && !prefixed(model, key.model))
        return false;
    if (key.hwid != nullptr && !prefixed(hwid, key.hwid))
        return false;
    if (key.suffix != nullptr) {
        std::size_t n = std::strlen(key.suffix);
        if (model.size() < n || model.compare(model.size() - n, n, key.suffix) != 0)
            return false;
    }
    return key.model != nullptr || key.hwid != nullptr;
}

std::span<const Member> wide_models()
{
    return kWide;
}
std::span<const DzoomLens> dzoom_lenses()
{
    return kDzoom;
}
std::span<const SensorWidth> sensor_widths()
{
    return kCcdw;
}
std::span<const LensLambda> lens_lambdas()
{
    return kLambda;
}
std::span<const LiveFocal> live_focals()
{
    return kLive;
}
std::span<const Member> without_motor_zoom()
{
    return kNoMotorZoom;
}
std::span<const Member> optics_control()
{
    return kOptics;
}
std::span<const Member> high_frame_rate()
{
    return kHighFps;
}

// Sample: the PTZ family.
const char *ptz_model()
{
    return "Q60";
}
// Sample: the two cameras with a capture mode to repair.
const char *capture_mode_to_2_model()
{
    return "S3220";
}
const char *capture_mode_to_3_model()
{
    return "S4410";
}

} // namespace zent_models
