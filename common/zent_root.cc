// The one place that knows where the camera's file system is rooted.
#include "zent_root.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

std::string zent_root()
{
    const char *root = std::getenv("ZENT_ROOT");
    if (root == nullptr || root[0] == '\0')
        return {};
    std::string r(root);
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    return r;
}

std::string zent_path(std::string_view camera_path)
{
    std::string out = zent_root();
    out.append(camera_path);
    return out;
}

std::string zent_shell_quote(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    for (char c : text) {
        if (c == '\'')
            out.append("'\\''");
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string zent_tool(std::string_view name)
{
    const std::string root = zent_root();
    if (root.empty())
        return std::string(name);
    // A name with a slash is a path, not a tool: keep it inside the root all the same.
    const bool bare = name.find('/') == std::string_view::npos && !name.empty();
    if (bare) {
        for (const char *dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"}) {
            std::string candidate = root + dir + std::string(name);
            if (access(candidate.c_str(), X_OK) == 0)
                return zent_shell_quote(candidate);
        }
    }
    return zent_shell_quote(root + "/usr/bin/" + (bare ? std::string(name) : "missing-tool"));
}

extern "C" int zent_path_c(const char *camera_path, char *buf, unsigned long size)
{
    std::string p = zent_path(camera_path ? camera_path : "");
    return std::snprintf(buf, size, "%s", p.c_str());
}
