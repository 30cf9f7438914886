/* The HTTP side of the launcher: the page table, the request dispatcher and the CGI-style
 * header writers. */
#ifndef PELLUM_API_H
#define PELLUM_API_H

#include <gio/gio.h>
#include <glib.h>

#include "export.h"
#include "qlhttp.h"
#include "views.h"

#define PAGE_BUFFER_SIZE 4096

typedef struct Page {
    const char *uri;
    int content_type; /* 0 text/plain, 1 application/json */
    int request_type; /* 0 GET, 1 POST */
    view_func view;
} Page;

extern "C" {

ZENT_EXPORT extern const Page pages[];
ZENT_EXPORT extern const unsigned npages;
ZENT_EXPORT extern const char *const content_types[];
ZENT_EXPORT extern const char *const status_texts[];
extern QLHttpHandler *handler;

int init_web_api(void);
int cleanup_web_api(void);
void generate_page(const gchar *path, const gchar *method, const gchar *query, GHashTable *params,
                   GOutputStream *stream, gpointer user_data);
void write_content_type(GDataOutputStream *stream, int index);
void write_status(GDataOutputStream *stream, int index);
void write_output(GDataOutputStream *stream, const char *text);
}

/* Length that snprintf reported, limited to what the buffer holds. */
gsize fitted_length(int written, gsize capacity);

#endif
