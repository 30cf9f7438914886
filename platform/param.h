/* The application's settings in the camera's parameter store, the "parameters updated" flag,
 * the anonymous-access marker, secret setting names and the registry of active warnings that
 * the web interface shows as the errors page. */
#ifndef ZENT_PLATFORM_PARAM_H
#define ZENT_PLATFORM_PARAM_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of each thread's result buffer and of the process-wide page buffer. */
#define ZENT_PARAM_BUFFER_SIZE 10240
#define ZENT_PAGE_BUFFER_SIZE 8192
#define ZENT_ERRORSET_SIZE 10

/* One active warning; the entry is free while `name` is NULL. Both texts are the caller's
 * constants: the registry keeps the pointers. */
typedef struct zent_error {
    const char *name;
    const char *message;
} zent_error_t;

ZENT_EXPORT extern zent_error_t errorset[ZENT_ERRORSET_SIZE];

/* Warning messages, named by their identifiers. Embedded double quotes carry a backslash so
 * that the text goes into JSON as it is. */
#define ERROR_OLD_FIRMWARE                                                                         \
    "Orvex firmware too old. Upgrade to 5.40 or newer to utilize the full image width.<br>Note "   \
    "that you have to reinstall stereo after upgrading firmware."
#define GET_ZOOM_ERROR "Failed to get camera zoom value."
#define SYS_PWD_ERROR                                                                              \
    "Failed to get system admin account. Go to the <a href=\\\"rootpwd.html\\\">root account "     \
    "page</a> to enter this."
#define ERROR_SANE_CHECK "Sanity check failed. Could be that this model is not fully supported."
#define ERROR_TIME_IS_WRONG "The time set on the camera is likley wrong. Please verify."
#define ERROR_NO_NTP                                                                               \
    "The camera is not configured to use NTP. This is highly recommended to make sure your time "  \
    "settings are correct."
#define ERROR_IMAGE_IS_ROTATED                                                                     \
    "The image has been rotated or mirrored. This has no effect for the stereo but will display "  \
    "the image wrong."
#define ERROR_ZOOM_CHANGED                                                                         \
    "It seems you have changed the camera zoom. <a href=\\\"API_OPERATOR_PATH?restart\\\">Click "  \
    "here</a> to restart stereo."

/* zent_param_set_error(ERROR_NO_NTP) registers the warning under its identifier's name. */
#define zent_param_set_error(id) zent_param_set_error_(#id, id)

/* The calling thread's result buffer (ZENT_PARAM_BUFFER_SIZE bytes), allocated on first use. */
ZENT_EXPORT char *zent_param_get_buffer(void);

/* The value of an application setting ("Group.Name", stored as root.stereo.Group0Name) or of
 * a full camera parameter ("root. ..."), in the calling thread's buffer: valid until the
 * thread's next such call. The empty text when the name has no '.' or cannot be read. */
ZENT_EXPORT char *zent_param_get(const char *name);

/* Writes an application setting unless it already holds `value`; sets the updated flag when
 * it wrote. 0 written or unchanged, 1 failure. */
ZENT_EXPORT int zent_param_set(const char *name, const char *value);

/* As zent_param_set, but the updated flag is set only when `flag` is non-zero; with a NULL
 * name only the flag is set (when `flag` is non-zero), to mark the end of a batch. */
ZENT_EXPORT int zent_param_set_ex(const char *name, const char *value, int flag);

/* 1 once after the settings were updated (the flag is cleared), else 0. */
ZENT_EXPORT int zent_param_updated(void);
ZENT_EXPORT void set_params_updated(void);

/* 1 while the anonymous-access marker "/anon.lock" exists. */
ZENT_EXPORT int zent_param_get_anon(void);

/* 1 for setting names whose values are secret ("SysPwd", "Pwd", "Pass"), else 0. */
ZENT_EXPORT int filter_out_param(const char *name);

/* Registers a warning (first free entry; dropped when all are taken or the message is
 * already shown) and removes every warning with the given message. */
ZENT_EXPORT void zent_param_set_error_(const char *id, const char *message);
ZENT_EXPORT void zent_param_clear_error(const char *message);

/* The errors page {"timestamp":"<s>","errors":{"<id>":"<message>",...}} in the process-wide
 * page buffer; its length in *len. Both request arguments are ignored. */
ZENT_EXPORT char *gen_errors_page(void *arg, const char *query, int *len);

/* The process-wide page buffer shared by the errors page and the parameter pages. */
char *zent_page_buffer(void);

/* Drops the cached camera facts, so that each is read again on next use. */
ZENT_EXPORT void zent_param_cleanup(void);

#ifdef __cplusplus
}

#include <mutex>
#include <optional>
#include <string>
#include <vector>

/* The parameter library's value of a full name as it stands, or nothing when it cannot be
 * read. */
std::optional<std::string> zent_param_library_get(const std::string &full);

/* Serialises the writers of the page buffer (the errors page and the parameter pages). Taken
 * before the registry's own lock, never inside it. */
std::mutex &zent_page_mutex();

/* The occupied warning entries, in index order. */
std::vector<zent_error_t> zent_param_active_errors();
#endif

#endif
