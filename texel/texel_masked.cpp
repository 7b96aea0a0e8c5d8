#include "texel_masked.h"

#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <atomic>

void texel_masked_voxel_list(const int32_t* levels, int X, int Y, int Z, int P, int Q, std::vector<int64_t>* out) {
    for (int z = 0; z < Z; ++z)
        for (int y = Q; y < Y - Q; ++y)
            for (int x = P; x < X - P; ++x) {
                const int64_t idx = texel_index(x, y, z, X, Y);
                if (levels[idx] != TEXEL_OUTSIDE) out->push_back(idx);
            }
}

int64_t texel_direction_pair_count(const int32_t* levels, int X, int Y, int P, int Q, int L, int x, int y, int z,
                                   int d) {
    const int32_t* slice = levels + (int64_t)X * (int64_t)Y * (int64_t)z;
    const TexelWindow w = texel_window(x, y, P, Q, d);
    int64_t n = 0;
    for (int r = w.r0; r <= w.r1; ++r)
        for (int u = w.u0; u <= w.u1; ++u) {
            const int32_t a = slice[(int64_t)r * X + u], b = slice[(int64_t)(r + w.dy) * X + u + w.dx];
            n += a >= 0 && a < L && b >= 0 && b < L;
        }
    return n;
}

namespace {

enum { TEXEL_MASKED_CHUNK = 256 };

struct TexelMaskedShared {
    const TexelMaskedJob* job;
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};
    std::atomic<int> running{0};
};

struct TexelMaskedWorker {
    TexelMaskedShared* shared;
    TexelScratch scratch;
    pthread_t thread;
    int started;
};

void* texel_masked_worker(void* arg) {
    TexelMaskedWorker* w = (TexelMaskedWorker*)arg;
    const TexelMaskedJob* j = w->shared->job;
    const int64_t XY = (int64_t)j->X * j->Y;
    float acc[TEXEL_NUM_FEATURES];
    for (;;) {
        const int64_t a = w->shared->next.fetch_add(TEXEL_MASKED_CHUNK, std::memory_order_relaxed);
        if (a >= j->nvoxels) break;
        const int64_t b = a + TEXEL_MASKED_CHUNK < j->nvoxels ? a + TEXEL_MASKED_CHUNK : j->nvoxels;
        for (int64_t k = a; k < b; ++k) {
            const int64_t idx = j->voxels[k];
            const int z = (int)(idx / XY), y = (int)(idx % XY / j->X), x = (int)(idx % j->X);
            texel_voxel_features_masked(j->levels, j->X, j->Y, j->P, j->Q, j->L, x, y, z, &w->scratch, acc);
            for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) j->maps[f][idx] = acc[f];
        }
        w->shared->done.fetch_add(b - a, std::memory_order_relaxed);
    }
    w->shared->running.fetch_sub(1);
    return nullptr;
}

double texel_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// Waits for the workers, printing a progress line about once a second after the first
// `after` seconds.
void texel_masked_watch(TexelMaskedShared* sh, double after) {
    const double start = texel_now();
    double next_print = start + after;
    int printed = 0;
    while (sh->running.load() > 0) {
        const struct timespec nap = {0, 50 * 1000 * 1000};
        nanosleep(&nap, nullptr);
        const double now = texel_now();
        if (after >= 0 && now >= next_print && sh->running.load() > 0) {
            const int64_t done = sh->done.load();
            fprintf(stderr, "texel-maps: %lld of %lld voxels (%.0f %%), %.0f s\n", (long long)done,
                    (long long)sh->job->nvoxels, 100.0 * (double)done / (double)sh->job->nvoxels, now - start);
            next_print = now + 1.0;
            printed = 1;
        }
    }
    if (printed) fprintf(stderr, "texel-maps: %lld voxels done\n", (long long)sh->job->nvoxels);
}

}  // namespace

int texel_masked_maps(const TexelMaskedJob* job) {
    if (job->nvoxels <= 0) return 0;
    int n = job->threads < 1 ? 1 : job->threads;
    if ((int64_t)n > job->nvoxels) n = (int)job->nvoxels;
    std::vector<TexelMaskedWorker> workers((size_t)n);
    TexelMaskedShared shared;
    shared.job = job;
    int status = 0;
    for (int k = 0; k < n && status == 0; ++k) {
        workers[k].shared = &shared;
        workers[k].started = 0;
        if (texel_scratch_alloc(&workers[k].scratch, job->P, job->Q, job->X, job->Y) != 0) status = 1;
    }
    for (int k = 0; k < n && status == 0; ++k) {
        shared.running.fetch_add(1);
        if (pthread_create(&workers[k].thread, nullptr, texel_masked_worker, &workers[k]) == 0) {
            workers[k].started = 1;
        } else {
            shared.running.fetch_sub(1);
            if (k == 0) status = 1;  // with at least one worker the others' share is drawn by it
            break;
        }
    }
    if (status == 0) texel_masked_watch(&shared, job->progress_s);
    for (int k = 0; k < n; ++k) {
        if (workers[k].started) pthread_join(workers[k].thread, nullptr);
        texel_scratch_free(&workers[k].scratch);
    }
    return status;
}
