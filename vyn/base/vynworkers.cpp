// Worker threads kept between calls (see vynworkers.h).
#include "vynworkers.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
// Workers 1..started wait for a new generation, run their share of its tasks
// and count themselves done. The pool lives until the process ends (never
// destroyed: no thread is joined at exit).
struct VWPool {
    std::mutex mu;
    std::condition_variable work, done;
    long generation = 0;
    int threads = 1, tasks = 0, pending = 0;
    void (*fn)(void*, int, int) = nullptr;
    void* ctx = nullptr;
    int started = 0;  // workers 1..started run vw_loop
};
VWPool* vw_pool = nullptr;

void vw_share(int threads, int tasks, int worker, void (*fn)(void*, int, int), void* ctx) {
    for (int i = worker; i < tasks; i += threads) fn(ctx, i, worker);
}

void vw_loop(VWPool* p, int worker, long seen) {
    for (;;) {
        int threads, tasks;
        void (*fn)(void*, int, int);
        void* ctx;
        {
            std::unique_lock<std::mutex> lock(p->mu);
            p->work.wait(lock, [&] { return p->generation != seen; });
            seen = p->generation;
            threads = p->threads;
            tasks = p->tasks;
            fn = p->fn;
            ctx = p->ctx;
            if (worker >= threads) continue;  // not in this generation
        }
        vw_share(threads, tasks, worker, fn, ctx);
        std::lock_guard<std::mutex> lock(p->mu);
        if (--p->pending == 0) p->done.notify_one();
    }
}
}  // namespace

int vyn_online_processors() {
    const long c = sysconf(_SC_NPROCESSORS_ONLN);
    return c > 0 ? static_cast<int>(c) : 1;
}

void vyn_workers_run(int threads, int tasks, void (*fn)(void* ctx, int task, int worker), void* ctx) {
    threads = std::max(1, std::min(threads, tasks));
    if (threads == 1) {
        vw_share(1, tasks, 0, fn, ctx);
        return;
    }
    if (!vw_pool) vw_pool = new VWPool;
    VWPool& p = *vw_pool;
    while (p.started < threads - 1) {
        // A new worker waits for the generation after the current one.
        std::lock_guard<std::mutex> lock(p.mu);
        std::thread(vw_loop, &p, ++p.started, p.generation).detach();
    }
    {
        std::lock_guard<std::mutex> lock(p.mu);
        p.threads = threads;
        p.tasks = tasks;
        p.fn = fn;
        p.ctx = ctx;
        p.pending = threads - 1;
        ++p.generation;
    }
    p.work.notify_all();
    vw_share(threads, tasks, 0, fn, ctx);
    std::unique_lock<std::mutex> lock(p.mu);
    p.done.wait(lock, [&] { return p.pending == 0; });
}
