// Camera properties: identity and network facts from the parameter store, zoom positions from
// the camera's own web interfaces, optics from the per-model tables, build information and
// the factory defaults of the application's settings.
#include "camera_props.h"

#include "camera_models.h"
#include "command.h"
#include "log.h"
#include "param.h"
#include "pwdcheck.h"
#include "qlparameter.h"
#include "zent_root.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <syslog.h>

#ifndef ZENT_BUILD_DATE
#define ZENT_BUILD_DATE ""
#endif

namespace
{

// Messages of these functions carry the parameter service's source name.
constexpr const char *kSource = "param";

constexpr const char *kPackageDir = "/usr/local/packages/tallyo/package/";
constexpr const char *kDefaultsFile = "/usr/local/packages/stereo/param.conf.default";

// A camera text read once: kept until zent_param_cleanup, never cached while unreadable.
struct CachedText {
    const char *param;
    const char *fail_message;
    const char *ok_format; // logged on success, or null
    char *text = nullptr;
};

std::mutex g_cache_mutex;
CachedText g_port{"root.System.BoaPort", "param_get boa port failed", "param_get boa port: %s\n"};
CachedText g_model{"Brand.ProdNbr", "param_get model failed\n", "param_get model: %s\n"};
CachedText g_serial{"Properties.System.SerialNumber", "param_get serial failed\n", nullptr};
CachedText g_hwid{"Properties.System.HardwareID", "param_get hardware id failed\n", nullptr};
char *g_account_name = nullptr;
char *g_account_password = nullptr;
char g_empty[1];

const char *cached(CachedText &c)
{
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (c.text != nullptr)
        return c.text;
    const std::optional<std::string> value = zent_param_library_get(c.param);
    if (!value) {
        l_printf_file(kSource, LOG_DEBUG, "%s", c.fail_message);
        g_empty[0] = '\0';
        return g_empty;
    }
    c.text = strdup(value->c_str());
    if (c.text == nullptr) {
        g_empty[0] = '\0';
        return g_empty;
    }
    if (c.ok_format != nullptr)
        l_printf_file(kSource, LOG_DEBUG, c.ok_format, c.text);
    return c.text;
}

void drop(char *&text)
{
    std::free(text);
    text = nullptr;
}

// Reads a parameter into a process-wide buffer of `size` bytes, cut to fit; "" on failure.
const char *buffered(const char *param, char *buf, std::size_t size)
{
    std::memset(buf, 0, size);
    if (const std::optional<std::string> value = zent_param_library_get(param))
        std::snprintf(buf, size, "%s", value->c_str());
    return buf;
}

int set_if_changed(const char *param, const char *value)
{
    if (value == nullptr)
        return 1;
    // An unreadable setting is written.
    const std::optional<std::string> current = zent_param_library_get(param);
    if (current && *current == value)
        return 0;
    if (param_set(param, value, 1) != 0)
        return 1;
    set_params_updated();
    return 0;
}

char g_bonjour[ZENT_BONJOUR_NAME_SIZE];
char g_capture_mode[ZENT_CAPTURE_MODE_SIZE];
char g_ip[ZENT_IP_SIZE];
char g_timezone[ZENT_TIMEZONE_SIZE];

std::mutex g_firmware_mutex;
zent_version g_firmware = {{-1, -1, -1, -1}};
zent_version g_build_version = {{0, 0, 0, -1}};

std::atomic<int> g_width{-1};
std::atomic<int> g_height{-1};
// -1 undetermined, else the cached answer.
std::atomic<int> g_has_zoom{-1};

std::string model()
{
    return zent_param_get_camera_model();
}

std::string hwid()
{
    return zent_param_get_hwid();
}

// An application setting as a number; the setting texts are read in the calling thread's
// buffer, so they are converted at once.
double setting_number(const char *name)
{
    return std::strtod(zent_param_get(name), nullptr);
}

int setting_int(const char *name)
{
    return std::atoi(zent_param_get(name));
}

bool fake_model()
{
    return setting_int("Counter.FakeModel") != 0;
}

template <class Row> const Row *row_of(std::span<const Row> rows)
{
    return zent_models::find(rows, model(), hwid());
}

bool in_list(std::span<const zent_models::Member> rows)
{
    return row_of(rows) != nullptr;
}

bool is_ptz_model()
{
    return model().compare(0, 3, zent_models::ptz_model()) == 0;
}

void log_uncalibrated()
{
    l_printf_file(kSource, LOG_WARNING,
                  "Calibration for this camera (%s) and its lens is not available.\n",
                  hwid().c_str());
}

// "http://<host>:<port><path>" as one shell word.
std::string camera_url(const std::string &host, const char *path)
{
    return zent_shell_quote("http://" + host + ":" + zent_param_get_boa_port() + path);
}

// The package's curl with the camera account, against the camera's own address.
std::string curl_command(const char *path)
{
    return zent_cmd::camera_curl(zent_props::account_name() + ":" + zent_props::account_password(),
                                 zent_param_get_ip(), path);
}

} // namespace

namespace zent_cmd
{

std::string package_curl()
{
    return zent_shell_quote(zent_path(std::string(kPackageDir) + "curl"));
}

std::string camera_curl(const std::string &user_password, const std::string &host, const char *path)
{
    return package_curl() + " -k -L -f --user " + zent_shell_quote(user_password) + " " +
           camera_url(host, path);
}

void strip_trailing(std::string &text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '\t'))
        text.pop_back();
}

} // namespace zent_cmd

namespace zent_props
{

void current_size(int *width, int *height)
{
    *width = g_width.load();
    *height = g_height.load();
}

// The camera account comes from the settings the hosted-video set-up (or the web interface)
// stores; it is cached once known and dropped with the other camera texts.
// Copies: another thread's zent_param_cleanup may drop the cached text meanwhile.
static std::string cached_setting(char *&slot, const char *name)
{
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (slot == nullptr) {
        const char *v = zent_param_get(name);
        if (v[0] != '\0')
            slot = strdup(v);
    }
    return slot != nullptr ? slot : "";
}

std::string account_name()
{
    return cached_setting(g_account_name, "Environment.SysAccount");
}

std::string account_password()
{
    return cached_setting(g_account_password, "Environment.SysPwd");
}

void drop_caches()
{
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (CachedText *c : {&g_port, &g_model, &g_serial, &g_hwid})
        drop(c->text);
    drop(g_account_name);
    drop(g_account_password);
}

bool optical_zoom(float *position)
{
    *position = 0.0f;
    if (!in_list(zent_models::optics_control()))
        return true;
    zent_cmd::Command cmd(curl_command("/orvex-cgi/opticssetup.cgi?monitor=poll"));
    if (!cmd.started()) {
        l_printf_file(kSource, LOG_DEBUG, "zent_param_get_optical_zoom(): popen\n");
    } else {
        char buf[401];
        bool seen = false;
        buf[0] = '\0';
        while (cmd.line(buf, sizeof buf)) {
            const char *at = std::strstr(buf, "zoomPosition");
            if (at == nullptr)
                continue;
            seen = true;
            float z = 0.0f;
            if (std::sscanf(at, "zoomPosition=\"%f\"", &z) == 1) {
                cmd.close();
                zent_param_clear_error(GET_ZOOM_ERROR);
                *position = z;
                return true;
            }
            l_printf_file(kSource, LOG_DEBUG, "zent_param_get_optical_zoom(): sscanf\n");
            break;
        }
        if (!seen)
            l_printf_file(kSource, LOG_DEBUG, "buf = %s\n", buf);
    }
    zent_param_set_error(GET_ZOOM_ERROR);
    if (pwdcheck(account_name().c_str(), account_password().c_str()) != 0)
        zent_param_set_error(SYS_PWD_ERROR);
    return false;
}

} // namespace zent_props

extern "C" {

ZENT_EXPORT const char *zent_param_get_boa_port(void)
{
    return cached(g_port);
}

ZENT_EXPORT const char *zent_param_get_camera_model(void)
{
    return cached(g_model);
}

ZENT_EXPORT const char *zent_param_get_serialno(void)
{
    return cached(g_serial);
}

ZENT_EXPORT const char *zent_param_get_hwid(void)
{
    return cached(g_hwid);
}

ZENT_EXPORT const char *zent_param_get_manufacturer(void)
{
    return "Orvex";
}

ZENT_EXPORT zent_version *zent_param_get_firmware_version(void)
{
    std::lock_guard<std::mutex> lock(g_firmware_mutex);
    if (!zent_version_is_empty(&g_firmware))
        return &g_firmware;
    std::string text = zent_param_library_get("root.Properties.Firmware.Version").value_or("");
    std::size_t skip = text.find_first_not_of('.');
    text = skip == std::string::npos ? std::string() : text.substr(skip);
    if (text.empty()) {
        l_printf_file(kSource, LOG_WARNING, "Invalid firmware version format!");
        return &g_firmware;
    }
    zent_version_scan(text.c_str(), &g_firmware);
    return &g_firmware;
}

ZENT_EXPORT const char *zent_param_get_bonjour_name(void)
{
    return buffered("root.Network.Bonjour.FriendlyName", g_bonjour, sizeof g_bonjour);
}

ZENT_EXPORT int zent_param_set_bonjour_name(const char *name)
{
    return set_if_changed("root.Network.Bonjour.FriendlyName", name);
}

ZENT_EXPORT const char *zent_param_get_capture_mode(void)
{
    return buffered("root.ImageSource.I0.Sensor.CaptureMode", g_capture_mode,
                    sizeof g_capture_mode);
}

ZENT_EXPORT int zent_param_set_capture_mode(const char *mode)
{
    return set_if_changed("root.ImageSource.I0.Sensor.CaptureMode", mode);
}

ZENT_EXPORT const char *zent_param_get_ip(void)
{
    return buffered("root.Network.eth0.IPAddress", g_ip, sizeof g_ip);
}

ZENT_EXPORT const char *zent_param_get_timezone(void)
{
    return buffered("root.Time.POSIXTimeZone", g_timezone, sizeof g_timezone);
}

ZENT_EXPORT float zent_param_get_uptime(void)
{
    zent_cmd::Command cmd("cat /proc/uptime");
    if (!cmd.started()) {
        l_printf_file(kSource, LOG_DEBUG, "zent_param_get_uptime(): popen\n");
        return -1.0f;
    }
    char buf[101];
    if (!cmd.line(buf, sizeof buf)) {
        l_printf_file(kSource, LOG_DEBUG, "zent_param_get_uptime(): fgets\n");
        return -1.0f;
    }
    return std::strtof(buf, nullptr);
}

ZENT_EXPORT int zent_param_get_fps(void)
{
    return in_list(zent_models::high_frame_rate()) ? 30 : 20;
}

ZENT_EXPORT int zent_param_wide_mode_supported(void)
{
    if (setting_int("Counter.TryWideScreen") == 0)
        return 0;
    if (!in_list(zent_models::wide_models()))
        return 0;
    const zent_version needed = {{5, 40, ZENT_VERSION_WILDCARD, ZENT_VERSION_WILDCARD}};
    if (zent_version_compare(&needed, zent_param_get_firmware_version()) >= 0)
        return 1;
    zent_param_set_error(ERROR_OLD_FIRMWARE);
    return 0;
}

ZENT_EXPORT int zent_param_set_digital_zoom(const char *zoom)
{
    zent_param_set("Counter.DigitalZoom", zoom != nullptr ? zoom : "");
    return 0;
}

ZENT_EXPORT float interpolate_dzoom_lens(int zoom)
{
    // A negative position would index before the row.
    int z = zoom < 0 ? 0 : (zoom > 9999 ? 9999 : zoom);
    static const float kNoLens[11] = {};
    const zent_models::DzoomLens *row = row_of(zent_models::dzoom_lenses());
    const float *focal = row != nullptr ? row->focal : kNoLens;
    int i = z / 1000;
    float f0 = focal[i], f1 = focal[i + 1];
    return f0 +
           (f1 - f0) * 10.0f * (static_cast<float>(z) / 10000.0f - static_cast<float>(i) / 10.0f);
}

ZENT_EXPORT float zent_param_get_dzoom_factor(int zoom)
{
    if (setting_int("Counter.DigitalZoomEnabled") == 0 && zoom <= 0)
        return 1.0f;
    float base = interpolate_dzoom_lens(0);
    // Without a lens row there is nothing to magnify against: no magnification, not 0/0.
    if (!(base > 0.0f))
        return 1.0f;
    return interpolate_dzoom_lens(zoom) / base;
}

ZENT_EXPORT float zent_param_get_ccdw(void)
{
    if (fake_model())
        return static_cast<float>(setting_number("Counter.Ccdw"));
    const zent_models::SensorWidth *row = row_of(zent_models::sensor_widths());
    if (row == nullptr)
        return -1.0f;
    switch (row->kind) {
    case zent_models::SensorWidth::Uncalibrated:
        log_uncalibrated();
        return -1.0f;
    case zent_models::SensorWidth::ReadsSetting:
        return static_cast<float>(setting_number("Counter.Ccdw"));
    case zent_models::SensorWidth::Width:
        break;
    }
    if (row->wide_width != 0.0f && zent_param_wide_mode_supported() == 1)
        return row->wide_width;
    return row->width;
}

ZENT_EXPORT int zent_param_camera_has_tz7_zoom(void)
{
    int known = g_has_zoom.load();
    if (known >= 0)
        return known;
    if (is_ptz_model()) {
        g_has_zoom.store(1);
        return 1;
    }
    if (in_list(zent_models::without_motor_zoom())) {
        g_has_zoom.store(0);
        return 0;
    }
    zent_cmd::Command cmd(zent_tool("knobctl") + " --nocgi getgroup ptz 2>/dev/null");
    if (!cmd.started()) {
        l_printf_file(kSource, LOG_DEBUG, "has_zoom(): popen\n");
    } else {
        char buf[101];
        while (cmd.line(buf, sizeof buf)) {
            if (std::strlen(buf) > 3) {
                g_has_zoom.store(1);
                return 1;
            }
        }
    }
    l_printf_file(kSource, LOG_INFO, "could not determine zoom capabilities, assuming no zoom\n");
    return 0;
}

ZENT_EXPORT int zent_param_get_tz7_zoom(void)
{
    if (fake_model())
        return static_cast<int>(setting_number("Counter.Zoom"));
    if (!zent_param_camera_has_tz7_zoom())
        return 9999;
    int zoom = -1;
    if (is_ptz_model()) {
        std::string command = zent_tool("hfetchr") + " -o /dev/stdout -u root -w " +
                              zent_shell_quote(zent_props::account_password()) + " " +
                              camera_url("127.0.0.1", "/orvex-cgi/com/ptz.cgi?query=position") +
                              " | sed -ne 's/zoom=//p'";
        zent_cmd::Command cmd(command);
        if (!cmd.started()) {
            l_printf_file(kSource, LOG_DEBUG, "zent_param_get_tz7_zoom(): popen\n");
        } else {
            char buf[401];
            while (cmd.line(buf, sizeof buf)) {
                if (std::sscanf(buf, "%d", &zoom) == 1)
                    break;
                zoom = -1;
                l_printf_file(kSource, LOG_DEBUG, "zent_param_get_tz7_zoom(): sscanf\n");
            }
        }
    }
    if (zoom < 0) {
        l_printf_file(kSource, LOG_DEBUG,
                      "zent_param_get_tz7_zoom(): could not determine zoom position\n");
        return -1;
    }
    return zoom;
}

ZENT_EXPORT void zent_param_set_zoom(int zoom)
{
    (void)zoom;
    if (!zent_param_camera_has_tz7_zoom())
        return;
    if (is_ptz_model())
        l_printf_file(kSource, LOG_DEBUG, "zent_param_set_zoom(): FIXME\n");
    l_printf_file(kSource, LOG_DEBUG, "zent_param_set_zoom(): could not set zoom properly\n");
}

ZENT_EXPORT int zent_param_get_digital_zoom(void)
{
    if (zent_props::account_name().empty() || zent_props::account_password().empty())
        return -1;
    zent_cmd::Command cmd(curl_command("/orvex-cgi/com/ptz.cgi?query=position"));
    char buf[401];
    buf[0] = '\0';
    while (cmd.line(buf, sizeof buf)) {
        const char *at = std::strstr(buf, "zoom");
        if (at == nullptr)
            continue;
        int zoom = 0;
        if (std::sscanf(at, "zoom=%d", &zoom) == 1)
            return zoom;
        l_printf_file(kSource, LOG_DEBUG, "zent_param_get_digital_zoom(): sscanf\n");
        break;
    }
    l_printf_file(kSource, LOG_DEBUG, "buf = %s\n", buf);
    return -1;
}

ZENT_EXPORT float zent_param_get_optical_zoom(void)
{
    float z = 0.0f;
    return zent_props::optical_zoom(&z) ? z : 0.0f;
}

ZENT_EXPORT float zent_param_get_lens_lambda(void)
{
    const zent_models::LensLambda *row = row_of(zent_models::lens_lambdas());
    if (row == nullptr)
        return 0.0f;
    if (!row->quadratic)
        return row->constant;
    double z = zent_param_get_optical_zoom();
    return static_cast<float>(row->c2 * z * z + row->c1 * z + row->c0);
}

ZENT_EXPORT float zent_param_get_lens_live_zoom(int unused)
{
    (void)unused;
    const zent_models::LiveFocal *row = row_of(zent_models::live_focals());
    if (row == nullptr)
        return -1.0f;
    switch (row->kind) {
    case zent_models::LiveFocal::Constant:
        return static_cast<float>(row->a);
    case zent_models::LiveFocal::Linear:
        return static_cast<float>(row->a + row->b * zent_param_get_optical_zoom());
    case zent_models::LiveFocal::ReadsSetting:
        return static_cast<float>(setting_number("Counter.Lens"));
    case zent_models::LiveFocal::Uncalibrated:
        log_uncalibrated();
        return -1.0f;
    }
    return -1.0f;
}

ZENT_EXPORT float zent_param_get_lens(void)
{
    if (fake_model())
        return static_cast<float>(setting_number("Counter.Lens"));
    return zent_param_get_lens_live_zoom(0);
}

ZENT_EXPORT zent_version *zent_param_get_build_version(void)
{
    return &g_build_version;
}

ZENT_EXPORT const char *zent_param_get_build_version_string(void)
{
    return "";
}

static char *in_thread_buffer(const char *text)
{
    char *buf = zent_param_get_buffer();
    if (buf == nullptr) {
        g_empty[0] = '\0';
        return g_empty;
    }
    std::snprintf(buf, ZENT_PARAM_BUFFER_SIZE, "%s", text);
    return buf;
}

ZENT_EXPORT const char *zent_param_get_build_string(void)
{
    return in_thread_buffer("");
}

ZENT_EXPORT const char *zent_param_get_build_date(void)
{
    // Tests pin the date the sanity check compares the clock with.
    const char *pinned = std::getenv("ZENT_TEST_BUILD_DATE");
    return in_thread_buffer(pinned != nullptr ? pinned : ZENT_BUILD_DATE);
}

ZENT_EXPORT const char *zent_param_get_build_product(void)
{
    return in_thread_buffer("stereo");
}

ZENT_EXPORT void param_set_current_size(int width, int height)
{
    g_width.store(width);
    g_height.store(height);
}

} // extern "C"

namespace
{

// First occurrence of `word` outside double quotes.
std::size_t find_unquoted(const std::string &line, const char *word)
{
    bool quoted = false;
    std::size_t n = std::strlen(word);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && line.compare(i, n, word) == 0)
            return i;
    }
    return std::string::npos;
}

// One defaults line: false when reading must stop.
bool apply_default(std::string line)
{
    // The type annotation follows the value; a "type=" inside the quoted value is text.
    std::size_t cut = find_unquoted(line, "type =");
    if (cut == std::string::npos)
        cut = find_unquoted(line, "type=");
    if (cut != std::string::npos)
        line.erase(cut);
    std::size_t name_end = line.find_first_of(" =");
    if (name_end == std::string::npos)
        name_end = line.size();
    std::size_t zero = line.find('0');
    if (zero == std::string::npos || zero >= name_end) {
        l_printf_file(kSource, LOG_INFO, "could not determine group");
        return false;
    }
    line[zero] = '.';
    std::string name = line.substr(0, name_end);
    std::size_t open = line.find('"', name_end);
    std::size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) {
        l_printf_file(kSource, LOG_INFO, "could not determine value");
        return false;
    }
    std::string value = line.substr(open + 1, close - open - 1);
    zent_param_set_ex(name.c_str(), value.c_str(), 0);
    return true;
}

} // namespace

extern "C" ZENT_EXPORT int param_factory_defaults(void)
{
    std::FILE *f = std::fopen(zent_path(kDefaultsFile).c_str(), "re");
    if (f != nullptr) {
        char *raw = nullptr;
        std::size_t cap = 0;
        ssize_t n;
        while ((n = getline(&raw, &cap, f)) >= 0) {
            std::string line(raw, static_cast<std::size_t>(n));
            zent_cmd::strip_trailing(line);
            if (line.empty())
                continue;
            // A longer line would be read as several broken ones.
            if (line.size() > 199) {
                l_printf_file(kSource, LOG_INFO, "defaults line too long, skipped");
                continue;
            }
            if (!apply_default(line))
                break;
        }
        std::free(raw);
        std::fclose(f);
    }
    return zent_param_set_ex(nullptr, nullptr, 1);
}
