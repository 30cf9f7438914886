// The launcher's task worker: package tasks run here so that HTTP replies never wait.
#include "worker.h"

#include <pthread.h>
#include <syslog.h>

#include "export.h"
#include "main.h"

// Package tasks need little stack (shell commands run in processes of their own): the
// default of several megabytes would only reserve memory on a camera that has little.
constexpr gulong worker_stack_size = 256 * 1024;

unsigned worker_poll_ms()
{
    unsigned tick = pellum_test_tick_ms();
    return tick != 0 ? tick : 2000;
}

static void free_task(WorkerTask *task)
{
    if (task == nullptr)
        return;
    g_free(task->name);
    g_free(task);
}

// The thread's own start: named as g_thread_new would name it (the system keeps the first 15
// bytes), then the worker's loop.
static gpointer worker_thread(gpointer data)
{
    auto *worker = static_cast<Worker *>(data);
    char name[16];
    g_strlcpy(name, worker->name != nullptr ? worker->name : "work", sizeof name);
    pthread_setname_np(pthread_self(), name);
    return work_entry(worker);
}

extern "C" ZENT_EXPORT Worker *create_worker(const char *name)
{
    Worker *worker = new (std::nothrow) Worker{};
    if (worker == nullptr)
        return nullptr;
    worker->queue = g_async_queue_new();
    worker->running.store(1);
    worker->name = name != nullptr ? g_strdup(name) : nullptr;
    // g_thread_new takes no stack size; this older call is the one that does.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    worker->thread = g_thread_create_full(worker_thread, worker, worker_stack_size, TRUE, FALSE,
                                          G_THREAD_PRIORITY_NORMAL, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (worker->thread == nullptr) {
        g_async_queue_unref(worker->queue);
        g_free(worker->name);
        delete worker;
        return nullptr;
    }
    return worker;
}

extern "C" ZENT_EXPORT int add_worker_task(Worker *worker, const char *name, worker_func function,
                                           gpointer argument)
{
    if (worker == nullptr)
        return 0;
    WorkerTask *task = g_try_new0(WorkerTask, 1);
    if (task == nullptr)
        return 0;
    task->argument = argument;
    task->function = function;
    task->name = name != nullptr ? g_strdup(name) : nullptr;
    if (worker->queue == nullptr || worker->running.load() == 0) {
        free_task(task);
        return 0;
    }
    // Length test and push under one lock, so concurrent adds cannot pass the limit.
    g_async_queue_lock(worker->queue);
    if (g_async_queue_length_unlocked(worker->queue) < WORKER_MAX_QUEUED) {
        g_async_queue_push_unlocked(worker->queue, task);
        g_async_queue_unlock(worker->queue);
        return 1;
    }
    g_async_queue_unlock(worker->queue);
    free_task(task);
    return 0;
}

extern "C" ZENT_EXPORT gpointer work_entry(gpointer data)
{
    auto *worker = static_cast<Worker *>(data);
    const char *wname = worker->name != nullptr ? worker->name : "";
    const char *wsep = worker->name != nullptr ? "::" : "";
    syslog(LOG_DEBUG, "There are %d tasks in queue", g_async_queue_length(worker->queue));
    while (worker->running.load() != 0 || g_async_queue_length(worker->queue) > 0) {
        auto *task = static_cast<WorkerTask *>(g_async_queue_try_pop(worker->queue));
        if (task == nullptr) {
            g_usleep(static_cast<gulong>(worker_poll_ms()) * 1000);
            continue;
        }
        syslog(LOG_DEBUG, "%s%s Got task%s%s!", wname, wsep, task->name != nullptr ? " " : "",
               task->name != nullptr ? task->name : "");
        if (task->function != nullptr)
            task->function(task->argument);
        free_task(task);
    }
    syslog(LOG_DEBUG, "%s%s Exiting worker thread!", wname, wsep);
    return nullptr;
}

extern "C" ZENT_EXPORT void destroy_worker(Worker **worker)
{
    if (worker == nullptr || *worker == nullptr)
        return;
    Worker *w = *worker;
    *worker = nullptr;
    w->running.store(0);
    g_thread_join(w->thread);
    // Nothing can be queued any more: running is 0 and the thread has drained the queue.
    g_async_queue_unref(w->queue);
    g_free(w->name);
    delete w;
}
