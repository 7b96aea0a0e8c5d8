// GPU path: one thread per voxel, each with its own four dense L x L matrices in device
// memory, running the same per-voxel steps as the CPU path.
#include <cuda_runtime.h>
#include <stdio.h>

#include "texel_glcm.h"
#include "texel_gpu.h"

__global__ void kernel(int X, int Y, int Z, int* image, int P, int Q, int L, float* scratch, float* features) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z * blockDim.z + threadIdx.z;
    if (x >= X || y >= Y || z >= Z) return;
    const int64_t N = (int64_t)X * Y * Z;
    const int64_t idx = (int64_t)z * X * Y + (int64_t)y * X + x;
    float acc[TEXEL_NUM_FEATURES];
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
    if (texel_is_interior(x, y, X, Y, P, Q)) {
        float* own = scratch + 4 * (int64_t)L * L * idx;
        texel_voxel_dense(image, X, Y, P, Q, L, x, y, z, own, acc);
    }
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) features[f * N + idx] = acc[f];
}

static void texel_gpu_free(int* d_image, float* d_features, float* d_scratch) {
    if (d_image) cudaFree(d_image);
    if (d_features) cudaFree(d_features);
    if (d_scratch) cudaFree(d_scratch);
}

// Leaves the calling thread's CUDA error state clean on a failure return, so that a later
// call does not read this call's error as its own launch status.
static int texel_gpu_fail(int* d_image, float* d_features, float* d_scratch) {
    texel_gpu_free(d_image, d_features, d_scratch);
    cudaGetLastError();
    return 1;
}

int texel_gpu_compute_all(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features) {
    const uint64_t required = texel_gpu_required_bytes(X, Y, Z, L);
    texel_gpu_print_needed(required);
    // Without a usable driver or device the query fails: count that as no free memory, so
    // the check below stops the path with its own message.
    size_t free_bytes = 0, total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) {
        free_bytes = 0;
        total_bytes = 0;
        cudaGetLastError();
    }
    if (texel_gpu_check_memory(required, free_bytes, total_bytes)) return 1;
    cudaDeviceSetLimit(cudaLimitMallocHeapSize, (size_t)required);
    cudaGetLastError();  // the heap limit is advisory; keep its status out of the launch check

    // The estimate fits the free device memory, so these sizes fit size_t.
    const size_t N = (size_t)X * (size_t)Y * (size_t)Z;
    const size_t LL = (size_t)L * (size_t)L;
    int* d_image = nullptr;
    float* d_features = nullptr;
    float* d_scratch = nullptr;
    // A failed allocation or copy must not reach the kernel: a launch on invalid pointers
    // would spoil the device context for the rest of the process.
    if (cudaMalloc((void**)&d_image, N * sizeof(int)) != cudaSuccess ||
        cudaMemcpy(d_image, image, N * sizeof(int), cudaMemcpyHostToDevice) != cudaSuccess ||
        cudaMalloc((void**)&d_features, 10 * N * sizeof(float)) != cudaSuccess ||
        cudaMalloc((void**)&d_scratch, 4 * LL * N * sizeof(float)) != cudaSuccess)
        return texel_gpu_fail(d_image, d_features, d_scratch);

    const dim3 grid(((unsigned)X + 15u) / 16u, ((unsigned)Y + 15u) / 16u, (unsigned)Z);
    const dim3 block(16, 16, 1);
    kernel<<<grid, block>>>(X, Y, Z, d_image, P, Q, L, d_scratch, d_features);
    cudaError_t st = cudaGetLastError();
    fprintf(stderr, "(error code: %s)!\n", cudaGetErrorString(st));
    if (st != cudaSuccess) return texel_gpu_fail(d_image, d_features, d_scratch);
    st = cudaDeviceSynchronize();
    fprintf(stderr, "kernel launched: \"%s\".\n", cudaGetErrorString(st));
    if (st != cudaSuccess) return texel_gpu_fail(d_image, d_features, d_scratch);
    cudaDeviceSynchronize();  // second wait of the sequence (cudaThreadSynchronize is gone)

    // Feature f of voxel idx lies at f*N + idx: one copy per host map.
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f)
        if (cudaMemcpy(features[f], d_features + (size_t)f * N, N * sizeof(float), cudaMemcpyDeviceToHost) !=
            cudaSuccess)
            return texel_gpu_fail(d_image, d_features, d_scratch);
    texel_gpu_free(d_image, d_features, d_scratch);
    return 0;
}
