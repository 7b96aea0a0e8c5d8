#include "texel_cpu.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "texel_features.h"

int texel_processor_count(void) {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : (n > 4096 ? 4096 : (int)n);
}

void texel_column_worker(const TexelTask* t) {
    for (int y = 0; y < t->Y; ++y)
        texel_store_voxel(t->image, t->X, t->Y, t->P, t->Q, t->L, t->x, y, t->z, t->scratch, t->features);
}

void texel_slice_worker(const TexelTask* t) {
    for (int x = 0; x < t->X; ++x)
        for (int y = 0; y < t->Y; ++y)
            texel_store_voxel(t->image, t->X, t->Y, t->P, t->Q, t->L, x, y, t->z, t->scratch, t->features);
}

// A pool of worker slots draws tasks in their natural order (slice by slice, column by
// column within a slice) from one shared counter, so that threads are started once per
// call instead of once per task. Each task still writes only its own voxels.
struct TexelPool {
    const int32_t* image;
    int X, Y, Z, P, Q, L;
    float* const* features;
    int per_column;  // 1: tasks are columns (z, x); 0: tasks are slices
    int64_t ntasks;
    std::atomic<int64_t> next;
};

// Fills in a pool for one call: the tasks are the X * Z columns or the Z slices.
static void texel_pool_init(TexelPool* pool, const int32_t* image, int X, int Y, int Z, int P, int Q, int L,
                            float* const* features, int per_column) {
    pool->image = image;
    pool->X = X;
    pool->Y = Y;
    pool->Z = Z;
    pool->P = P;
    pool->Q = Q;
    pool->L = L;
    pool->features = features;
    pool->per_column = per_column;
    if (per_column)
        pool->ntasks = (X > 0 && Z > 0) ? (int64_t)X * Z : 0;
    else
        pool->ntasks = Z > 0 ? Z : 0;
    pool->next.store(0);
}

struct TexelSlot {
    TexelPool* pool;
    TexelScratch scratch;
    pthread_t thread;
    int started;
};

static void* texel_pool_worker(void* arg) {
    TexelSlot* slot = (TexelSlot*)arg;
    TexelPool* pool = slot->pool;
    TexelTask task;
    task.image = pool->image;
    task.L = pool->L;
    task.P = pool->P;
    task.Q = pool->Q;
    task.X = pool->X;
    task.Y = pool->Y;
    task.features = pool->features;
    task.scratch = &slot->scratch;
    for (;;) {
        const int64_t k = pool->next.fetch_add(1, std::memory_order_relaxed);
        if (k >= pool->ntasks) break;
        if (pool->per_column) {
            task.z = (int)(k / pool->X);
            task.x = (int)(k % pool->X);
            texel_column_worker(&task);
        } else {
            task.z = (int)k;
            task.x = 0;
            texel_slice_worker(&task);
        }
    }
    return nullptr;
}

// Runs the pool with `nslots` slots. A slot whose thread cannot be created is served by
// the calling thread after the others have started, so no task is ever lost.
static int texel_run_pool(TexelPool* pool, int nslots, const pthread_attr_t* attr) {
    if (pool->ntasks <= 0) return 0;
    if ((int64_t)nslots > pool->ntasks) nslots = (int)pool->ntasks;
    if (nslots < 1) nslots = 1;
    TexelSlot* slots = (TexelSlot*)calloc((size_t)nslots, sizeof(TexelSlot));
    if (!slots) return 1;
    int usable = 0;
    for (int s = 0; s < nslots; ++s) {
        slots[s].pool = pool;
        if (texel_scratch_alloc(&slots[s].scratch, pool->P, pool->Q, pool->X, pool->Y) == 0) ++usable;
    }
    int status = 0;
    if (usable == 0) {
        status = 1;
    } else {
        int self = -1;
        for (int s = 0; s < nslots; ++s) {
            if (!slots[s].scratch.keys) continue;
            if (pthread_create(&slots[s].thread, attr, texel_pool_worker, &slots[s]) == 0)
                slots[s].started = 1;
            else if (self < 0)
                self = s;
        }
        if (self >= 0) texel_pool_worker(&slots[self]);
        for (int s = 0; s < nslots; ++s)
            if (slots[s].started) pthread_join(slots[s].thread, nullptr);
    }
    for (int s = 0; s < nslots; ++s) texel_scratch_free(&slots[s].scratch);
    free(slots);
    return status;
}

int pComputeAllCooccurenceMatricesColumnLevel(const int32_t* image, int X, int Y, int Z, int P, int Q, int L,
                                              float* const* features) {
    fprintf(stderr, "pComputeAllCooccurenceMatricesColumnLevel\n");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    TexelPool pool;
    texel_pool_init(&pool, image, X, Y, Z, P, Q, L, features, 1);
    fprintf(stderr, "we are starting the multi threaded computation!\n");
    const int status = texel_run_pool(&pool, TEXEL_COLUMN_SLOTS, &attr);
    pthread_attr_destroy(&attr);
    fprintf(stderr, "we are nearly at the end!\n");
    return status;
}

int pComputeAllCooccurenceMatricesImageLevel(const int32_t* image, int X, int Y, int Z, int P, int Q, int L,
                                             float* const* features, int cores) {
    TexelPool pool;
    texel_pool_init(&pool, image, X, Y, Z, P, Q, L, features, 0);
    const int status = texel_run_pool(&pool, cores < 1 ? 1 : cores, nullptr);
    fprintf(stderr, "All POSIX threads finished computation!\n");
    return status;
}
