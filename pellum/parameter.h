/* The launcher's access to camera parameters: logged reads and writes, and the sensors'
 * pairing and exposure set once at start. */
#ifndef PELLUM_PARAMETER_H
#define PELLUM_PARAMETER_H

#include <glib.h>

#include "qlparameter.h"

extern "C" {

extern QLParameter *qlparam;
extern GError *qlerror;

/* Always 0; a failed open is logged and every later access then fails. */
int init_param(void);
int cleanup_param(void);
/* 0 with *value newly allocated (g_free), or -1 with *value untouched. */
int get_param(const char *name, char **value);
/* 0 or -1; a null value is written as "". */
int set_param(const char *name, const char *value, int sync);
int set_exposure_params(void);
}

#endif
