// GPU path of a library built without the CUDA toolkit: always fails, so the caller
// runs the CPU path.
#include <stdio.h>

#include "texel_gpu.h"

int texel_gpu_compute_all(const int32_t*, int, int, int, int, int, int, float* const*) {
    fprintf(stderr, "CUDA support not built into this library\n");
    return 1;
}

int texel_gpu_device_name(char* buf, size_t bufsz) {
    if (bufsz > 0) buf[0] = '\0';
    return 1;
}

void texel_gpu_force_allocation_failure(int) {}
