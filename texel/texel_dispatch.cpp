#include "texel_dispatch.h"

#include <stdio.h>

#include "texel_cpu.h"

int texel_check_arguments(int64_t length, int X, int Y, int Z, int P, int Q, int L, char* errbuf, size_t errbufsz) {
    if (X <= 0 || Y <= 0 || Z <= 0) {
        snprintf(errbuf, errbufsz, "image sizes must be positive (X=%d, Y=%d, Z=%d)", X, Y, Z);
        return 1;
    }
    if (P < 0 || Q < 0) {
        snprintf(errbuf, errbufsz, "half window sizes must not be negative (P=%d, Q=%d)", P, Q);
        return 1;
    }
    if (L < 1) {
        snprintf(errbuf, errbufsz, "number of grey levels must be at least 1 (L=%d)", L);
        return 1;
    }
    // Each factor is below 2^31, so the product of two fits; compare the third by division.
    const int64_t xy = (int64_t)X * (int64_t)Y;
    if (length < 0 || xy > length || (int64_t)Z > length / xy) {
        snprintf(errbuf, errbufsz, "image array holds %lld elements, fewer than X*Y*Z = %d*%d*%d", (long long)length, X,
                 Y, Z);
        return 1;
    }
    return 0;
}

int texel_compute_maps(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features,
                       int cores, TexelGpuFn gpu, TexelPixelsFn again, void* ctx) {
    if (gpu && gpu(image, X, Y, Z, P, Q, L, features) == 0) return 0;
    fprintf(stderr, "CUDA computation failed, switching to posix\n");
    if (Z < cores) {
        fprintf(stderr, "Computing using posix at column level on %d cores\n", cores);
        const int32_t* pixels = again ? again(ctx) : image;
        if (!pixels) return 2;
        fprintf(stderr, "Computing using POSIX at column level on %d cores\n", cores);
        return pComputeAllCooccurenceMatricesColumnLevel(pixels, X, Y, Z, P, Q, L, features);
    }
    const int32_t* pixels = again ? again(ctx) : image;
    if (!pixels) return 2;
    fprintf(stderr, "Computing using POSIX at image level on %d cores\n", cores);
    return pComputeAllCooccurenceMatricesImageLevel(pixels, X, Y, Z, P, Q, L, features, cores);
}
