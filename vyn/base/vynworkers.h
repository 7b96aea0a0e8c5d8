// Worker threads kept between calls: a fixed partition of tasks over them.
//
// Task i runs on worker i mod threads (worker 0 is the calling thread), so a
// task's worker index (its scratch) is fixed by the thread count and each
// task's result can be computed by the same code whatever that count. The
// threads start on first use and then wait for work; starting threads for
// every short parallel section cost more than the section at small sizes.
// One caller at a time; a task must not start workers itself.
#pragma once

// Runs fn(ctx, task, worker) for task = 0..tasks-1 on min(threads, tasks)
// workers and returns when all are done. threads < 1 counts as 1.
void vyn_workers_run(int threads, int tasks, void (*fn)(void* ctx, int task, int worker), void* ctx);

// The same for a callable f(task, worker).
template <class F>
void vyn_workers_for(int threads, int tasks, F&& f) {
    vyn_workers_run(
        threads, tasks, [](void* ctx, int task, int worker) { (*static_cast<F*>(ctx))(task, worker); },
        static_cast<void*>(&f));
}

// Online processors (at least 1).
int vyn_online_processors();
