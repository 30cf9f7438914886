/* Maps the camera's absolute paths under the directory named by ZENT_ROOT, so that tests
 * and the demo run against a private tree. Unset or empty, paths are the camera's own. */
#ifndef ZENT_ROOT_H
#define ZENT_ROOT_H

#ifdef __cplusplus
#include <string>
#include <string_view>

/* The camera path `camera_path` (absolute) under the current root. */
std::string zent_path(std::string_view camera_path);

/* The root itself ("" on the camera), read from the environment at each call. */
std::string zent_root();

/* `text` quoted for the POSIX shell: single quotes, embedded quotes as '\''. */
std::string zent_shell_quote(std::string_view text);

/* The shell word that runs the camera tool `name` (knobctl, hfetchr, skyput, reboot, ...).
 * On the camera that is the bare name, found on PATH. Under a root it is the root's own copy
 * (usr/bin, usr/sbin, bin, sbin, in that order), quoted; when the root has none, a path
 * inside the root that does not exist, so the shell fails with 127 instead of running the
 * host's tool of that name. */
std::string zent_tool(std::string_view name);

extern "C" {
#endif

/* C form: writes the mapped path into buf (cut at size - 1, always terminated) and returns
 * the length the full path needs, like snprintf. */
int zent_path_c(const char *camera_path, char *buf, unsigned long size);

#ifdef __cplusplus
}
#endif

#endif
