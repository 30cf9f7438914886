/* The pages' views: each fills the reply buffer, reports the reply's length and returns a
 * status index. */
#ifndef PELLUM_VIEWS_H
#define PELLUM_VIEWS_H

#include <glib.h>

extern "C" {

typedef int (*view_func)(char *buffer, gsize *size, GHashTable *params);

int status_view(char *buffer, gsize *size, GHashTable *params);
int version_view(char *buffer, gsize *size, GHashTable *params);
int worker_view(char *buffer, gsize *size, GHashTable *params);
int app_version_view(char *buffer, gsize *size, GHashTable *params);
int install_view(char *buffer, gsize *size, GHashTable *params);
int download_view(char *buffer, gsize *size, GHashTable *params);
int upgrade_view(char *buffer, gsize *size, GHashTable *params);
int purge_view(char *buffer, gsize *size, GHashTable *params);
int pages_to_json(char *buffer, gsize *size, GHashTable *params);
}

#endif
