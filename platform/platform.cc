// Platform hooks: the ordered sanity check of the camera's configuration behind the warning
// registry, restart and shutdown, and the image sizes to request.
#include "platform.h"

#include "camera_models.h"
#include "camera_props.h"
#include "log.h"
#include "param.h"
#include "zent_root.h"

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <syslog.h>

namespace
{

// The optical zoom at the first sanity check; -1.0 until a position was read.
std::atomic<float> g_initial_zoom{-1.0f};

std::string setting(const char *name)
{
    return zent_param_get(name); // copied out of the thread's buffer at once
}

// "YYYY-MM-DD" (and nothing shorter); anything else cannot be dated.
bool parse_date(const std::string &date, struct tm &tm)
{
    if (date.size() < 10 || date[4] != '-' || date[7] != '-')
        return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::isdigit(static_cast<unsigned char>(date[i])))
            return false;
    tm = {};
    tm.tm_year = std::atoi(date.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = std::atoi(date.substr(5, 2).c_str()) - 1;
    tm.tm_mday = std::atoi(date.substr(8, 2).c_str());
    tm.tm_isdst = 0;
    return true;
}

// Whether `now` lies before local midnight at the start of the build day. A day that time_t
// cannot hold (past January 2038 where it is 32 bits, as on the camera) is compared by its
// calendar date, so such a build date still counts as later than the clock.
bool before_build_day(std::time_t now, struct tm built)
{
    const int year = built.tm_year, mon = built.tm_mon, mday = built.tm_mday;
    const std::time_t midnight = std::mktime(&built);
    if (midnight != static_cast<std::time_t>(-1))
        return now < midnight;
    struct tm today;
    if (localtime_r(&now, &today) == nullptr)
        return false;
    if (today.tm_year != year)
        return today.tm_year < year;
    if (today.tm_mon != mon)
        return today.tm_mon < mon;
    return today.tm_mday < mday;
}

int insane()
{
    zent_param_set_error(ERROR_SANE_CHECK);
    return -1;
}

void repair_capture_mode()
{
    const std::string model = zent_param_get_camera_model();
    const std::string mode = zent_param_get_capture_mode();
    const char *to = nullptr;
    if (model.compare(0, 5, zent_models::capture_mode_to_2_model()) == 0 &&
        (mode[0] == '1' || mode[0] == '3'))
        to = "2";
    else if (model.compare(0, 5, zent_models::capture_mode_to_3_model()) == 0 && mode[0] != '3')
        to = "3";
    if (to == nullptr)
        return;
    l_printf_file(__FILE__, LOG_DEBUG, "Bad capture mode, setting it to a working one.");
    zent_param_set_capture_mode(to);
}

bool wide()
{
    return zent_param_wide_mode_supported() == 1;
}

} // namespace

extern "C" {

ZENT_EXPORT int platform_check_sanity(void)
{
    const std::time_t now = std::time(nullptr);
    const std::string date = zent_param_get_build_date();
    zent_param_clear_error(ERROR_SANE_CHECK);

    struct tm built;
    if (date.empty() || !parse_date(date, built))
        return insane();
    if (before_build_day(now, built))
        zent_param_set_error(ERROR_TIME_IS_WRONG);
    else
        zent_param_clear_error(ERROR_TIME_IS_WRONG);

    const std::string sync = setting("root.Time.SyncSource");
    if (sync.empty())
        return insane();
    bool in_order = (sync == "NTP" && (!setting("root.Time.NTP.VolatileServer").empty() ||
                                       !setting("root.Time.NTP.Server").empty())) ||
                    setting("root.RemoteService.Enabled") == "yes";
    if (in_order)
        zent_param_clear_error(ERROR_NO_NTP);
    else
        zent_param_set_error(ERROR_NO_NTP);

    const std::string rotation = setting("root.Image.I0.Appearance.Rotation");
    if (rotation.empty())
        return insane();
    const std::string mirror = setting("root.Image.I0.Appearance.MirrorEnabled");
    if (mirror.empty())
        return insane();
    if (rotation != "0" || mirror != "no")
        zent_param_set_error(ERROR_IMAGE_IS_ROTATED);
    else
        zent_param_clear_error(ERROR_IMAGE_IS_ROTATED);

    repair_capture_mode();

    // Only positions actually read count: a failed read is no zoom change. The first one
    // read is the position later ones are compared with.
    float zoom = 0.0f;
    if (!zent_props::optical_zoom(&zoom))
        return 0;
    float initial = g_initial_zoom.load();
    if (initial == -1.0f) {
        g_initial_zoom.store(zoom);
        initial = zoom;
    }
    if (zoom != initial || std::isnan(zoom))
        zent_param_set_error(ERROR_ZOOM_CHANGED);
    return 0;
}

ZENT_EXPORT int platform_restart(void)
{
    std::string command = "(sleep 3; " + zent_tool("reboot") + " || ";
    command += zent_root().empty() ? std::string("/sbin/reboot")
                                   : zent_shell_quote(zent_path("/sbin/reboot"));
    command += ")&";
    return std::system(command.c_str());
}

ZENT_EXPORT void platform_shutdown(void) {}

ZENT_EXPORT int get_quit_signal(void)
{
    return 0;
}

ZENT_EXPORT int platform_default_image_width(void)
{
    return wide() ? 640 : 320;
}

ZENT_EXPORT int platform_default_image_height(void)
{
    return wide() ? 360 : 240;
}

ZENT_EXPORT int platform_max_image_width(void)
{
    return platform_default_image_width();
}

ZENT_EXPORT int platform_max_image_height(void)
{
    return platform_default_image_height();
}

ZENT_EXPORT int platform_highres_image_width(void)
{
    return 640;
}

ZENT_EXPORT int platform_highres_image_height(void)
{
    return wide() ? 400 : 480;
}

} // extern "C"
