/* The package manifest (REQUIREMENTS.ini): minimum and refused versions per group, and the
 * verdict on the downloaded archive. */
#ifndef PELLUM_MANIFEST_H
#define PELLUM_MANIFEST_H

#include <glib.h>

#include "zent_version.h"

typedef enum {
    OK = 0,
    MISSING = 1,
    INVALID_FIRMWARE = 2,
    INVALID_PELLUM = 3,
    INVALID_PELLUM_AND_FIRMWARE = 4,
} manifest_state_t;

typedef struct Manifest {
    GKeyFile *key_file;
    gchar **names;
    zent_version **min_required;
    zent_version **blacklist;
    unsigned count;
    unsigned *blacklist_count;
} Manifest;

extern "C" {

Manifest *manifest_create(const char *const *names, unsigned count);
void manifest_destroy(Manifest *man);
/* 1 when package/REQUIREMENTS.ini was extracted from the archive, read and parsed. */
int manifest_load_package(Manifest *man, const char *path, GKeyFileFlags flags);
/* 1 when the text parsed as a key file. */
int manifest_load_data(Manifest *man, const char *data, gsize length, GKeyFileFlags flags);
/* 1 when the version meets the group's minimum; a group without one sets no constraint. */
int manifest_check_min_required(Manifest *man, const char *group, const zent_version *version);
/* 1 when the version is not among the group's refused versions. */
int manifest_check_blacklist(Manifest *man, const char *group, const zent_version *version);
const zent_version *manifest_get_min_required(Manifest *man, const char *group);
/* Index of a group name; an unknown name is a programming error. */
unsigned get_element(Manifest *man, const char *group);
/* Verdict on the camera's downloaded archive. */
int eval_manifest_state(void);
const char *manifest_state_to_string(int state);
/* The name shown on the status page. */
const char *manifest_state_to_page_name(int state);
}

#endif
