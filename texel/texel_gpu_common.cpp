#include <stdio.h>

#include "texel_gpu.h"

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

uint64_t texel_gpu_required_bytes(int X, int Y, int Z, int L) {
    if (X <= 0 || Y <= 0 || Z <= 0 || L <= 0) return UINT64_MAX;
    const uint64_t n = texel_mul_sat(texel_mul_sat((uint64_t)X, (uint64_t)Y), (uint64_t)Z);
    const uint64_t per_voxel = texel_add_sat(texel_mul_sat(4, texel_mul_sat((uint64_t)L, (uint64_t)L)), 11);
    return texel_add_sat(texel_mul_sat(texel_mul_sat(n, per_voxel), 4), 288);
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
