// The administrator password check against the camera's own web server, and the camera user
// of the hosted video service. User names and passwords reach the shell as single quoted
// words, and the check reads the server's answer through a pipe of its own: no shared file
// that a leftover or concurrent check could have filled.
#include "pwdcheck.h"

#include "camera_props.h"
#include "command.h"
#include "log.h"
#include "pages.h"
#include "param.h"
#include "zent_root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/random.h>
#include <sys/wait.h>
#include <syslog.h>

namespace
{

constexpr const char *kPwdgrp = "/usr/html/orvex-cgi/pwdgrp.cgi";
constexpr int kPasswordLength = 20;
// The 52 letters without 'I' and 'l', which read alike: 50 characters.
constexpr const char kAlphabet[] = "ABCDEFGHJKLMNOPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
static_assert(sizeof kAlphabet - 1 == 50);

std::mutex g_reply_mutex;
char g_user_reply[100];
char g_empty[1];

const char *const kTrue = "{\n\t\"success\" : true\n}";
const char *const kFalse = "{\n\t\"success\" : false\n}";

// Letters drawn from the kernel's random source, without modulo bias.
bool random_password(std::string &out)
{
    out.clear();
    unsigned char pool[64];
    while (out.size() < kPasswordLength) {
        ssize_t n = getrandom(pool, sizeof pool, 0);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n && out.size() < kPasswordLength; ++i)
            if (pool[i] < 250)
                out += kAlphabet[pool[i] % 50];
    }
    return true;
}

bool exited_ok(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string json_text(const char *text)
{
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        auto u = static_cast<unsigned char>(*p);
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += *p;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace

extern "C" {

ZENT_EXPORT int pwdcheck(const char *user, const char *password)
{
    if (user == nullptr || password == nullptr)
        return -1;
    const std::string command = zent_cmd::camera_curl(std::string(user) + ":" + password,
                                                      "127.0.0.1", "/operator/basic.shtml") +
                                " | dd bs=1";
    zent_cmd::Command cmd(command);
    if (!cmd.started())
        return -1;
    char buf[4096];
    std::size_t total = 0;
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, cmd.stream())) > 0)
        total += n;
    cmd.close();
    return total > 0 ? 0 : -1;
}

ZENT_EXPORT char *pwdcheck_page(void *arg, const char *query, int *len)
{
    (void)arg;
    std::string_view q = query != nullptr ? query : "";
    std::string user, password;
    std::size_t end = 0;
    const bool have_user = zent_query_value(q, "user=", 0, user, &end) != std::string_view::npos;
    if (!have_user) {
        l_printf_file(__FILE__, LOG_DEBUG, "Could not parse user string.");
        end = 0;
    }
    const bool have_password =
        zent_query_value(q, "pass=", end, password, &end) != std::string_view::npos;
    if (!have_password)
        l_printf_file(__FILE__, LOG_DEBUG, "Could not parse password string");
    bool ok = pwdcheck(have_user ? user.c_str() : nullptr,
                       have_password ? password.c_str() : nullptr) == 0;
    std::lock_guard<std::mutex> lock(zent_page_mutex());
    return zent_page_reply(ok ? kTrue : kFalse, len);
}

ZENT_EXPORT int zent_param_get_using_hostra(void)
{
    return std::strncmp(zent_param_get("root.RemoteService.Enabled"), "yes", 3) == 0 ? 1 : 0;
}

ZENT_EXPORT char *show_hostra_user(void *arg, const char *query, int *len)
{
    (void)arg;
    (void)query;
    if (len != nullptr)
        *len = 0;
    g_empty[0] = '\0';
    if (zent_param_get_using_hostra() != 1)
        return g_empty;
    std::string name = json_text(zent_props::account_name().c_str());
    std::string password = json_text(zent_props::account_password().c_str());
    std::lock_guard<std::mutex> lock(g_reply_mutex);
    int n =
        std::snprintf(g_user_reply, sizeof g_user_reply, "{\"user\": \"%s\",\"password\": \"%s\"}",
                      name.c_str(), password.c_str());
    // A cut reply would be broken JSON: none at all is better.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof g_user_reply)
        return g_empty;
    if (len != nullptr)
        *len = n;
    return g_user_reply;
}

ZENT_EXPORT int set_password_for_hostra(void)
{
    if (zent_param_get_using_hostra() != 1)
        return 0;
    if (zent_param_get("Environment.SysPwd")[0] != '\0' ||
        zent_param_get("Environment.SysAccount")[0] != '\0')
        return 0;
    std::string password;
    if (!random_password(password))
        return 1;
    const std::string cgi = zent_shell_quote(zent_path(kPwdgrp));

    std::string remove =
        "QUERY_STRING=" + zent_shell_quote("action=remove&user=" ZENT_HOSTRA_USER) + " " + cgi +
        " | grep \"Removed\"";
    bool removed = exited_ok(std::system(remove.c_str()));
    l_printf_file(__FILE__, LOG_DEBUG, "Attempted to delete old user %s",
                  removed ? "succeeded" : "failed");

    std::string add = "QUERY_STRING=" +
                      zent_shell_quote("action=add&user=" ZENT_HOSTRA_USER "&pwd=" + password +
                                       "&grp=users&sgrp=viewer:operator:admin:ptz&comment=") +
                      " " + cgi + " | grep \"Created\"";
    if (!exited_ok(std::system(add.c_str()))) {
        l_printf_file(__FILE__, LOG_DEBUG, "Attempted to create new user %s", "failed");
        return 1;
    }
    l_printf_file(__FILE__, LOG_DEBUG, "Attempted to create new user %s", "succeeded");
    zent_param_set_ex("Environment.SysPwd", password.c_str(), 0);
    zent_param_set_ex("Environment.SysAccount", ZENT_HOSTRA_USER, 0);
    return 0;
}

} // extern "C"
