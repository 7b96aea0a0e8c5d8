// Per-thread scratch of the shared spatial propagation and the worker count.
#include <sched.h>
#include <unistd.h>

#include "vyn_prop_fast_internal.h"

std::vector<std::unique_ptr<VPSWorker>> vps_workers;

void vps_size_worker(VPSWorker& w, int n, int ap) {
    const size_t nn = static_cast<size_t>(n) * n;
    w.hr.resize(nn);
    w.hr_prev.resize(nn);
    w.ov.resize(nn);
    w.lam.resize(n);
    w.offsets.resize(ap > 0 ? ap : 1);
    w.q.resize(nn);
    w.z.resize(nn);
    w.x.resize(nn);
    w.ph.resize(n);
}

void vps_prepare_workers(int count, int n, int ap) {
    while (static_cast<int>(vps_workers.size()) < count) vps_workers.emplace_back(new VPSWorker);
    for (int i = 0; i < count; ++i) vps_size_worker(*vps_workers[i], n, ap);
}

int vps_thread_count() {
    int t = vyn_spatial_options.threads;
    if (t <= 0) {
        // The cores this process may use (taskset, cgroups and Slurm narrow them).
        cpu_set_t set;
        const long c = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
        t = c > 0 ? static_cast<int>(c) : 1;
    }
    return t > 64 ? 64 : t;
}
