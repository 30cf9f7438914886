/* A named thread that runs queued tasks one at a time, in order, with a bounded queue. */
#ifndef PELLUM_WORKER_H
#define PELLUM_WORKER_H

#include <glib.h>

#ifdef __cplusplus
#include <atomic>
#endif

/* At most this many tasks wait; the one being run does not count. */
#define WORKER_MAX_QUEUED 3

typedef void (*worker_func)(gpointer argument);

typedef struct WorkerTask {
    gpointer argument;
    worker_func function;
    gchar *name;
} WorkerTask;

#ifdef __cplusplus
typedef struct Worker {
    GAsyncQueue *queue;
    GThread *thread;
    std::atomic<int> running;
    gchar *name;
} Worker;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the thread at once; nullptr when the record cannot be made. */
Worker *create_worker(const char *name);
/* 1 when queued, 0 when refused (no worker, stopping, or the queue is full). */
int add_worker_task(Worker *worker, const char *name, worker_func function, gpointer argument);
/* Stops taking tasks, runs what is queued, joins the thread and clears *worker. */
void destroy_worker(Worker **worker);
gpointer work_entry(gpointer worker);

#ifdef __cplusplus
}

/* The worker's idle poll in milliseconds (2000 unless shortened for tests). */
unsigned worker_poll_ms();
#endif

#endif
