/* The camera administrator password check against the camera's own web server, and the
 * dedicated camera user of the hosted video service. */
#ifndef ZENT_PLATFORM_PWDCHECK_H
#define ZENT_PLATFORM_PWDCHECK_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the hosted-video camera user. */
#define ZENT_HOSTRA_USER "LumentaCamapi"

/* 0 when the camera's web server accepts `user` with `password`, else -1. */
ZENT_EXPORT int pwdcheck(const char *user, const char *password);

/* Checks "user=<name>&pass=<password>" from the query; replies the JSON success flag. */
ZENT_EXPORT char *pwdcheck_page(void *arg, const char *query, int *len);

/* 1 when root.RemoteService.Enabled begins with "yes", else 0. */
ZENT_EXPORT int zent_param_get_using_hostra(void);

/* {"user": "...","password": "..."} of the camera account while the hosted service is on,
 * else the empty text with length 0. */
ZENT_EXPORT char *show_hostra_user(void *arg, const char *query, int *len);

/* Creates the hosted-video camera user with a fresh random password when the service is on
 * and no account is stored yet, and stores the account. 0 when there was nothing to do or
 * the user was created, 1 when creating it failed. */
ZENT_EXPORT int set_password_for_hostra(void);

#ifdef __cplusplus
}
#endif

#endif
