// The task worker: the queue limit (also under concurrent adds), order, draining on stop,
// and the thread name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "worker.h"

namespace
{

// Shortens the idle poll before anything reads it.
const bool tick_set = [] { return setenv("PELLUM_TEST_TICK_MS", "20", 1) == 0; }();

// A task that holds the worker until released, so that later tasks have to wait.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    static void run(gpointer p)
    {
        auto *g = static_cast<Gate *>(p);
        std::unique_lock<std::mutex> lock(g->m);
        g->entered = true;
        g->cv.notify_all();
        g->cv.wait(lock, [g] { return g->open; });
    }
    void wait_entered()
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [this] { return entered; }));
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

struct Record {
    std::mutex m;
    std::vector<int> order;
    std::string thread_name;
    size_t stack_size = 0;
};

struct Step {
    Record *record;
    int n;
};

void record_step(gpointer p)
{
    auto *s = static_cast<Step *>(p);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    pthread_attr_t attr;
    size_t stack = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    std::lock_guard<std::mutex> lock(s->record->m);
    s->record->order.push_back(s->n);
    s->record->thread_name = name;
    s->record->stack_size = stack;
    delete s;
}

TEST(Worker, FourthWaitingTaskIsRefused)
{
    ASSERT_TRUE(tick_set);
    Worker *w = create_worker("Api-worker");
    ASSERT_NE(w, nullptr);
    Gate gate;
    Record rec;
    ASSERT_EQ(add_worker_task(w, "Gate", Gate::run, &gate), 1);
    gate.wait_entered();
    // The running task has left the queue: three more wait.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(add_worker_task(w, "Step", record_step, new Step{&rec, i}), 1);
    auto *refused = new Step{&rec, 99};
    EXPECT_EQ(add_worker_task(w, "Step", record_step, refused), 0);
    delete refused; // a refused task's argument stays the caller's
    gate.release();
    destroy_worker(&w);
    EXPECT_EQ(w, nullptr);
    EXPECT_EQ(rec.order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(rec.thread_name, "Api-worker");
    // A modest stack of its own, not the process default of megabytes.
    EXPECT_GE(rec.stack_size, 128u * 1024);
    EXPECT_LE(rec.stack_size, 512u * 1024);
}

TEST(Worker, LongNamesAreCutForTheThreadOnly)
{
    ASSERT_TRUE(tick_set);
    Worker *w = create_worker("Api-worker-with-a-long-name");
    ASSERT_NE(w, nullptr);
    Record rec;
    ASSERT_EQ(add_worker_task(w, "Step", record_step, new Step{&rec, 1}), 1);
    destroy_worker(&w);
    EXPECT_EQ(rec.thread_name, "Api-worker-with");
}

TEST(Worker, ConcurrentAddsRespectTheLimit)
{
    Worker *w = create_worker("busy");
    Gate gate;
    Record rec;
    ASSERT_EQ(add_worker_task(w, nullptr, Gate::run, &gate), 1);
    gate.wait_entered();
    std::atomic<int> accepted{0};
    std::vector<std::thread> adders;
    for (int t = 0; t < 8; ++t)
        adders.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                auto *s = new Step{&rec, t * 100 + i};
                if (add_worker_task(w, "Step", record_step, s))
                    ++accepted;
                else
                    delete s;
            }
        });
    for (auto &a : adders)
        a.join();
    EXPECT_EQ(accepted.load(), WORKER_MAX_QUEUED);
    gate.release();
    destroy_worker(&w);
    EXPECT_EQ(rec.order.size(), static_cast<size_t>(WORKER_MAX_QUEUED));
}

TEST(Worker, StopRunsEveryQueuedTaskInOrder)
{
    Worker *w = create_worker(nullptr);
    Gate gate;
    Record rec;
    ASSERT_EQ(add_worker_task(w, nullptr, Gate::run, &gate), 1);
    gate.wait_entered();
    ASSERT_EQ(add_worker_task(w, nullptr, record_step, new Step{&rec, 1}), 1);
    ASSERT_EQ(add_worker_task(w, "two", record_step, new Step{&rec, 2}), 1);
    Worker *copy = w;
    std::thread stopper([&] { destroy_worker(&w); });
    // Stopping: no new task is taken while the queue drains.
    while (copy->running.load() != 0)
        std::this_thread::yield();
    auto *late = new Step{&rec, 3};
    EXPECT_EQ(add_worker_task(copy, "late", record_step, late), 0);
    delete late;
    gate.release();
    stopper.join();
    EXPECT_EQ(rec.order, (std::vector<int>{1, 2}));
    // Without a name the thread is called "work".
    EXPECT_EQ(rec.thread_name, "work");
}

TEST(Worker, IdleWorkerStartsATaskPromptlyAndNothingIsAcceptedWithoutOne)
{
    Record rec;
    auto *s = new Step{&rec, 7};
    EXPECT_EQ(add_worker_task(nullptr, "x", record_step, s), 0);
    delete s;
    Worker *none = nullptr;
    destroy_worker(&none);
    destroy_worker(nullptr);

    Worker *w = create_worker("idle");
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let it go idle
    ASSERT_EQ(add_worker_task(w, "Step", record_step, new Step{&rec, 7}), 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(rec.m);
            if (!rec.order.empty())
                break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    destroy_worker(&w);
    EXPECT_EQ(rec.order, (std::vector<int>{7}));
}

} // namespace
