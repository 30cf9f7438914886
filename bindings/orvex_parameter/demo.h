/* The demonstration program's two steps: read a parameter or write one (committed at once),
 * each logging what happened at LOG_DEBUG under the source name "orvex_parameter". */
#ifndef ZENT_ORVEX_PARAMETER_DEMO_H
#define ZENT_ORVEX_PARAMETER_DEMO_H

struct _QLParameter;

void query(struct _QLParameter *handle, const char *name);
void set(struct _QLParameter *handle, const char *name, const char *value);

#endif
