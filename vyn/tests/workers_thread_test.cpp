// Worker threads kept between calls: every task runs once, on worker
// task mod threads, and its results are visible when the call returns,
// across many calls with thread counts that grow and shrink.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "vynworkers.h"

namespace {

TEST(Workers, EveryTaskOnceOnItsWorkerAcrossCalls) {
    struct Call {
        int threads, tasks;
    };
    const Call calls[] = {{2, 5}, {1, 3}, {3, 7}, {8, 3}, {2, 64}, {4, 4}, {3, 0}, {6, 11}, {2, 1}};
    for (int round = 0; round < 50; ++round)
        for (const Call& c : calls) {
            SCOPED_TRACE(testing::Message()
                         << "round " << round << ", " << c.threads << " threads, " << c.tasks << " tasks");
            std::vector<std::atomic<int>> runs(c.tasks);
            std::vector<int> worker(c.tasks, -1), value(c.tasks, 0);  // plain: read after the call
            for (auto& r : runs) r = 0;
            vyn_workers_for(c.threads, c.tasks, [&](int i, int w) {
                ++runs[i];
                worker[i] = w;
                value[i] = 3 * i + round;
            });
            const int used = c.tasks < c.threads ? c.tasks : c.threads;
            for (int i = 0; i < c.tasks; ++i) {
                ASSERT_EQ(runs[i].load(), 1) << "task " << i;
                ASSERT_EQ(worker[i], i % used) << "task " << i;
                ASSERT_EQ(value[i], 3 * i + round) << "task " << i;
            }
        }
}

}  // namespace
