/* _orvex_parameter: camera parameter reads and writes through the maker's parameter library,
 * with the library's errors turned into plain codes for the application. */
#ifndef ZENT_ORVEX_PARAMETER_H
#define ZENT_ORVEX_PARAMETER_H

#include <qlparameter.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A handle on the store under the application name "zent", or NULL (no detail kept). */
ZENT_EXPORT struct _QLParameter *orvex_parameter_new(void);

/* Releases the handle; NULL is ignored. */
ZENT_EXPORT void orvex_parameter_free(struct _QLParameter *handle);

/* Reads `name` into *value. Returns 1 with *value a new text (release it with
 * orvex_parameter_free_value), or 0 with *value NULL and *error_code a QLParameterErrorCode.
 * A library failure without an error object reports QL_PARAMETER_PARAM_GET_ERROR; a NULL
 * value cell reports QL_PARAMETER_INVALID_ARG_ERROR. A NULL error_code cell is not written. */
ZENT_EXPORT int orvex_parameter_get(struct _QLParameter *handle, char *name, char **value,
                                    int *error_code);

/* Writes `value` to `name`; `sync` is passed on unchanged (0 holds the write back until a
 * write with sync commits the group). Returns 1, or 0 with *error_code set; a library failure
 * without an error object reports QL_PARAMETER_PARAM_SET_ERROR. */
ZENT_EXPORT int orvex_parameter_set(struct _QLParameter *handle, char *name, char *value,
                                    int *error_code, int sync);

/* Releases the text *value holds and clears the cell, so a second call does nothing. */
ZENT_EXPORT void orvex_parameter_free_value(char **value);

#ifdef __cplusplus
}
#endif

#endif
