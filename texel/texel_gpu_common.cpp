#include <stdio.h>

#include "texel_gpu.h"
#include "texel_gpu_kernel.h"

// a * b, saturated at UINT64_MAX.
static uint64_t texel_mul_sat(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return UINT64_MAX;
    return r;
}

static uint64_t texel_add_sat(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return UINT64_MAX;
    return r;
}

// Bytes per voxel on the device: one int32 grey value and ten float maps.
enum { TEXEL_IMAGE_BYTES = 4, TEXEL_MAPS_BYTES = 4 * TEXEL_NUM_FEATURES };

uint64_t texel_gpu_required_bytes(int X, int Y, int Z) {
    if (X <= 0 || Y <= 0 || Z <= 0) return UINT64_MAX;
    const uint64_t n = texel_mul_sat(texel_mul_sat((uint64_t)X, (uint64_t)Y), (uint64_t)Z);
    return texel_mul_sat(n, TEXEL_IMAGE_BYTES + TEXEL_MAPS_BYTES);
}

uint64_t texel_gpu_chunk_bytes(int X, int64_t rows, int Q, int64_t total_rows) {
    if (X <= 0 || rows <= 0 || Q < 0 || total_rows <= 0) return UINT64_MAX;
    if (rows > total_rows) rows = total_rows;
    uint64_t in_rows = texel_add_sat((uint64_t)rows, texel_mul_sat(2, (uint64_t)Q));
    if (in_rows > (uint64_t)total_rows) in_rows = (uint64_t)total_rows;
    return texel_add_sat(texel_mul_sat(texel_mul_sat(in_rows, (uint64_t)X), TEXEL_IMAGE_BYTES),
                         texel_mul_sat(texel_mul_sat((uint64_t)rows, (uint64_t)X), TEXEL_MAPS_BYTES));
}

// Device memory of one call: `buffers` sets of chunk buffers.
static uint64_t texel_plan_bytes(int X, int64_t rows, int Q, int64_t total_rows, int buffers) {
    return texel_mul_sat((uint64_t)buffers, texel_gpu_chunk_bytes(X, rows, Q, total_rows));
}

int texel_gpu_plan(int X, int Y, int Z, int P, int Q, int L, uint64_t free_bytes, int64_t shared_limit,
                   int64_t chunk_voxels, TexelGpuPlan* plan) {
    plan->key_bytes = L <= 256 ? 2 : (L <= 65536 ? 4 : 8);
    plan->threads = TEXEL_TILE_WIDTH;
    plan->shared_bytes = 0;
    plan->rows_per_chunk = 1;
    plan->chunks = 0;
    plan->buffers = 1;
    plan->device_bytes = UINT64_MAX;
    if (X <= 0 || Y <= 0 || Z <= 0 || P < 0 || Q < 0 || L < 1) return TEXEL_PLAN_NO_MEMORY;

    // Shared memory: half window sizes beyond 2^16 are far past any device's and would
    // overflow the key count.
    int window_fits = 0;
    // The per-voxel routine takes fewer than 2^23 pairs per direction.
    if (P < 65536 && Q < 65536 && texel_key_capacity(P, Q) / 2 < ((int64_t)1 << 23)) {
        for (int threads = 256; threads >= TEXEL_TILE_WIDTH; threads /= 2) {
            const int64_t bytes = texel_shared_bytes(P, Q, threads / TEXEL_TILE_WIDTH, plan->key_bytes);
            plan->threads = threads;
            plan->shared_bytes = bytes;
            if (bytes <= TEXEL_DEFAULT_SHARED_BYTES) {
                window_fits = 1;
                break;
            }
        }
        if (!window_fits && plan->shared_bytes <= shared_limit) window_fits = 1;
    }

    const int64_t total_rows = (int64_t)Y * (int64_t)Z;
    int64_t rows = chunk_voxels / X;
    if (rows < 1) rows = 1;
    if (rows >= total_rows) rows = total_rows;
    for (;;) {
        plan->rows_per_chunk = rows;
        plan->chunks = (total_rows + rows - 1) / rows;
        plan->buffers = plan->chunks > 1 ? 2 : 1;
        plan->device_bytes = texel_plan_bytes(X, rows, Q, total_rows, plan->buffers);
        if (plan->device_bytes <= free_bytes || rows == 1) break;
        rows = (rows + 1) / 2;
    }
    if (plan->device_bytes > free_bytes) return TEXEL_PLAN_NO_MEMORY;
    return window_fits ? TEXEL_PLAN_OK : TEXEL_PLAN_WINDOW_TOO_LARGE;
}

void texel_gpu_print_needed(uint64_t required) {
    fprintf(stderr, "Needed Memory: %.2lf Gb\n", (double)required / 1073741824.0);
}

int texel_gpu_check_memory(uint64_t required, uint64_t free_bytes, uint64_t total_bytes) {
    const double gib = 1073741824.0;
    fprintf(stderr, "CUDA Free Memory:\t%.2f Gb\n", (double)((float)free_bytes / (float)gib));
    fprintf(stderr, "CUDA Total Memory:\t%.2f Gb\n", (double)((float)total_bytes / (float)gib));
    if (free_bytes < required) {
        fprintf(stderr, "CUDA computation aborted, not enough memory on GPU\n");
        return 1;
    }
    fprintf(stderr, "Enough memory on GPU, proceeding with CUDA computation\n");
    return 0;
}
