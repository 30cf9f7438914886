// The parameter web pages: every application setting and the camera facts as JSON, settings
// written from a query, and the factory defaults. The all-parameters page is valid JSON
// whatever the stored values hold: texts this code does not control are escaped.
#include "pages.h"

#include "camera_props.h"
#include "command.h"
#include "jprint.h"
#include "log.h"
#include "param.h"
#include "platform.h"
#include "pwdcheck.h"
#include "zent_root.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <syslog.h>

namespace
{

// These pages log under the parameter service's source name.
constexpr const char *kSource = "param";
constexpr int kLineSize = 4800;
constexpr std::size_t kMaxValue = 4799;
constexpr std::size_t kMaxName = 511;
constexpr const char *kStereoPrefix = "root.stereo.";

std::atomic<bool> g_overflow_logged{false};

// `text` as the inside of a JSON string. '/' is escaped only when asked: the page keeps the
// "\/" of values that carried an inner quote, as the web interface has always received them.
std::string json_escape(std::string_view text, bool escape_slash)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += escape_slash ? "\\/" : "/";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", u);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string escaped(const char *text)
{
    return json_escape(text != nullptr ? text : "", false);
}

bool is_json_number(std::string_view s)
{
    std::size_t i = 0;
    auto digits = [&]() {
        std::size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        return i - from;
    };
    if (i < s.size() && s[i] == '-')
        ++i;
    if (i >= s.size())
        return false;
    if (s[i] == '0')
        ++i;
    else if (digits() == 0)
        return false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (digits() == 0)
            return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == s.size();
}

// A stored value as a JSON value: the parameter lister quotes its values; the outer quotes
// are dropped and the rest written as a string.
std::string value_json(std::string_view v)
{
    if (v.find('"') == std::string_view::npos) {
        if (is_json_number(v))
            return std::string(v);
        return "\"" + json_escape(v, false) + "\"";
    }
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        v = v.substr(1, v.size() - 2);
    bool inner_quote = v.find('"') != std::string_view::npos;
    return "\"" + json_escape(v, inner_quote) + "\"";
}

std::string masked(const std::string &group, const std::string &name)
{
    if (name == "Pass" && (group == "WebReportUpload" || group == "Httppost")) {
        std::size_t n = std::strlen(zent_param_get((group + ".Pass").c_str()));
        return "\"" + std::string(n > 200 ? 200 : n, '*') + "\"";
    }
    return "\"****\"";
}

// A script variable name for the "var <name> = " form; anything else would be script text.
bool is_identifier(std::string_view s)
{
    if (s.empty() || s.size() >= 31)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$' ||
                  (i > 0 && c >= '0' && c <= '9');
        if (!ok)
            return false;
    }
    return true;
}

// Writes every application setting, group by group, into the open outer object. False when
// the line buffer cannot be had.
bool write_settings(jprint_t *jp)
{
    char *line = static_cast<char *>(std::malloc(kLineSize));
    if (line == nullptr) {
        l_printf_file(kSource, LOG_DEBUG, "gen_allparams_page(): par malloc failed\n");
        return false;
    }
    zent_cmd::Command cmd(zent_tool("knobctl") + " --nocgi getgroup stereo");
    if (!cmd.started())
        l_printf_file(kSource, LOG_DEBUG, "gen_allparams_page(): popen\n");
    std::string open_group = "-";
    bool group_open = false;
    while (cmd.started() && std::fgets(line, kLineSize, cmd.stream()) != nullptr) {
        std::string l(line);
        if ((l.empty() || l.back() != '\n') && !std::feof(cmd.stream())) {
            // Longer than the line buffer: skip it whole rather than read its pieces as lines.
            int c;
            while ((c = std::fgetc(cmd.stream())) != EOF && c != '\n') {
            }
            l_printf_file(kSource, LOG_DEBUG, "gen_allparams_page(): incorrect parameter format\n");
            continue;
        }
        zent_cmd::strip_trailing(l);
        // The lister prints full names; the group and name follow the application's prefix.
        if (l.compare(0, std::strlen(kStereoPrefix), kStereoPrefix) == 0)
            l.erase(0, std::strlen(kStereoPrefix));
        std::size_t eq = l.find('=');
        std::size_t zero = l.find('0');
        if (eq == std::string::npos || zero == std::string::npos || zero >= eq || zero == 0 ||
            zero + 1 == eq) {
            l_printf_file(kSource, LOG_DEBUG, "gen_allparams_page(): incorrect parameter format\n");
            continue;
        }
        std::string group = l.substr(0, zero);
        std::string name = l.substr(zero + 1, eq - zero - 1);
        if (group.compare(0, 5, "Build") == 0)
            continue;
        std::string value = filter_out_param(name.c_str())
                                ? masked(group, name)
                                : value_json(std::string_view(l).substr(eq + 1));
        // A group that merely begins with the open group's name is a group of its own.
        if (group != open_group) {
            if (group_open)
                jprint_end_dict(jp);
            jprint_begin_dict(jp, json_escape(group, false).c_str());
            open_group = group;
            group_open = true;
        }
        jprint_string(jp, json_escape(name, false).c_str(), value.c_str());
    }
    if (group_open)
        jprint_end_dict(jp);
    cmd.close();
    std::free(line);
    return true;
}

void write_static(jprint_t *jp)
{
    int width, height;
    zent_props::current_size(&width, &height);
    jprint_begin_dict(jp, "Static");
    jprint_int(jp, "Width", width);
    jprint_int(jp, "Height", height);
    jprint_string(jp, "Manufacturer", escaped(zent_param_get_manufacturer()).c_str());
    jprint_string(jp, "ModelName", escaped(zent_param_get_camera_model()).c_str());
    jprint_string(jp, "Serial", escaped(zent_param_get_serialno()).c_str());
    jprint_double(jp, "Lens", zent_param_get_lens());
    jprint_double(jp, "LensLambda", zent_param_get_lens_lambda());
    jprint_double(jp, "Ccdw", zent_param_get_ccdw());
    int dzoom = std::atoi(zent_param_get("Counter.DigitalZoom"));
    jprint_double(jp, "DigitalZoomFactor", zent_param_get_dzoom_factor(dzoom));
    std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    jprint_timestamp(jp, "Timestamp", &local);
    jprint_double(jp, "UsingHOSTRA", zent_param_get_using_hostra());
    jprint_int(jp, "Anonymous", zent_param_get_anon());
    std::vector<zent_error_t> errors = zent_param_active_errors();
    if (!errors.empty()) {
        jprint_begin_dict(jp, "Errors");
        // Identifiers are the registry's constant names; messages come pre-escaped.
        for (const zent_error_t &e : errors)
            jprint_string(jp, e.name, e.message != nullptr ? e.message : "");
        jprint_end_dict(jp);
    }
    jprint_end_dict(jp);
}

// Builds the all-parameters page in the page buffer; the caller holds the page lock.
int build_allparams(const char *query)
{
    jprint_t jp;
    jprint_init(&jp, zent_page_buffer(), ZENT_PAGE_BUFFER_SIZE, 0, 2);
    jp.mode = JPRINT_UNQUOTED | JPRINT_TIGHT_KEY;
    int width, height;
    zent_props::current_size(&width, &height);
    if (width == -1 || height == -1)
        param_set_current_size(platform_default_image_width(), platform_default_image_height());

    std::string variable;
    if (query != nullptr &&
        zent_query_value(query, "&variable=", 0, variable) != std::string_view::npos &&
        is_identifier(variable))
        jprint_raw(&jp, ("var " + variable + " = ").c_str());
    jprint_begin_dict(&jp, nullptr);
    if (!write_settings(&jp)) {
        int n = 0;
        zent_page_reply("{}", &n);
        return n;
    }
    jp.mode = 0;
    jprint_begin_dict(&jp, "Build");
    jprint_string(&jp, "Name", escaped(zent_param_get_build_product()).c_str());
    jprint_string(&jp, "Version", escaped(zent_param_get_build_version_string()).c_str());
    jprint_string(&jp, "Build", escaped(zent_param_get_build_string()).c_str());
    jprint_string(&jp, "BuildDate", escaped(zent_param_get_build_date()).c_str());
    jprint_end_dict(&jp);
    write_static(&jp);
    jprint_end_dict(&jp);
    if (jp.overflow && !g_overflow_logged.exchange(true))
        l_printf_file(kSource, LOG_WARNING, "gen_allparams_page(): page cut at %d bytes\n",
                      jprint_length(&jp));
    return jprint_length(&jp);
}

char *set_pairs(void *arg, const char *query, int *len, bool commit)
{
    std::lock_guard<std::mutex> lock(zent_page_mutex());
    if (arg == nullptr)
        return zent_page_reply("need number of args", len);
    char *vbuf = static_cast<char *>(std::malloc(kMaxValue + 1));
    if (vbuf == nullptr)
        return zent_page_reply("malloc vbuf failed", len);
    int count = *static_cast<const int *>(arg);
    if (count < 0) {
        std::free(vbuf);
        return zent_page_reply("need number of args", len);
    }
    std::string_view q = query != nullptr ? query : "";
    std::size_t pos = 0;
    bool written = false;
    for (int i = 1; i <= count; ++i) {
        std::string name_key = "&p" + std::to_string(i) + "=";
        std::string value_key = "&v" + std::to_string(i) + "=";
        std::size_t np = q.find(name_key, pos);
        if (np == std::string_view::npos)
            break;
        std::size_t name_start = np + name_key.size();
        // The value key belongs after its name key; one before it is another pair's text.
        std::size_t vp = q.find(value_key, name_start);
        if (vp == std::string_view::npos)
            continue;
        std::string name(q.substr(name_start, vp - name_start));
        std::size_t value_start = vp + value_key.size();
        std::size_t value_end = q.find('&', value_start);
        if (value_end == std::string_view::npos)
            value_end = q.size();
        std::size_t n = value_end - value_start;
        if (n > kMaxValue)
            n = kMaxValue;
        std::memcpy(vbuf, q.data() + value_start, n);
        vbuf[n] = '\0';
        pos = value_end;
        if (name.empty() || name.size() > kMaxName || name.find('&') != std::string::npos)
            continue;
        // A masked secret sent back unchanged must never replace the real one.
        if (std::strstr(vbuf, "****") != nullptr) {
            l_printf_file(kSource, LOG_DEBUG, "Neglecting param %s=%s", name.c_str(), vbuf);
            continue;
        }
        if (zent_param_set_ex(name.c_str(), vbuf, 0) == 0)
            written = true;
    }
    if (commit)
        zent_param_set_ex(nullptr, nullptr, written ? 1 : 0);
    std::free(vbuf);
    return zent_page_reply("OK\n", len);
}

} // namespace

extern "C" {

ZENT_EXPORT char *gen_allparams_page(void *arg, const char *query, int *len)
{
    (void)arg;
    std::lock_guard<std::mutex> lock(zent_page_mutex());
    int n = build_allparams(query);
    if (len != nullptr)
        *len = n;
    return zent_page_buffer();
}

ZENT_EXPORT char *gen_setparams_page(void *arg, const char *query, int *len)
{
    return set_pairs(arg, query, len, true);
}

ZENT_EXPORT char *gen_setparams_nosync_page(void *arg, const char *query, int *len)
{
    return set_pairs(arg, query, len, false);
}

ZENT_EXPORT char *gen_factorydefaults_page(void *arg, const char *query, int *len)
{
    (void)arg;
    (void)query;
    std::lock_guard<std::mutex> lock(zent_page_mutex());
    param_factory_defaults();
    return zent_page_reply("OK\n", len);
}

} // extern "C"

std::size_t zent_query_value(std::string_view q, std::string_view key, std::size_t from,
                             std::string &value, std::size_t *end)
{
    std::size_t at = q.find(key, from);
    if (at == std::string_view::npos)
        return at;
    std::size_t start = at + key.size();
    std::size_t stop = q.find('&', start);
    if (stop == std::string_view::npos)
        stop = q.size();
    value.assign(q.substr(start, stop - start));
    if (end != nullptr)
        *end = stop;
    return at;
}

char *zent_page_reply(const char *text, int *len)
{
    char *page = zent_page_buffer();
    int n = std::snprintf(page, ZENT_PAGE_BUFFER_SIZE, "%s", text);
    if (len != nullptr)
        *len = n;
    return page;
}

std::string zent_allparams_text()
{
    std::lock_guard<std::mutex> lock(zent_page_mutex());
    int n = build_allparams("");
    return std::string(zent_page_buffer(), static_cast<std::size_t>(n));
}
