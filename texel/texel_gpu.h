// GPU path: one CUDA thread per voxel, dense per-voxel scratch in device memory.
#ifndef TEXEL_GPU_H
#define TEXEL_GPU_H

#include <stdint.h>

// Fills the ten feature maps on the current CUDA device. Returns 0 on success and 1 on
// any failure (no device or driver, not enough device memory, launch or execution error,
// or a library built without CUDA); device memory is released on every return.
int texel_gpu_compute_all(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features);

// Device memory the GPU path needs, in bytes: X*Y*Z*(4*L*L + 11)*4 + 288, formed in
// 64 bits; UINT64_MAX when the value does not fit.
uint64_t texel_gpu_required_bytes(int X, int Y, int Z, int L);

// Prints the "Needed Memory" line of the GPU path.
void texel_gpu_print_needed(uint64_t required);

// The memory check of the GPU path: prints the free/total lines and the verdict,
// returns 1 when `free_bytes` is below `required` (strictly), else 0.
int texel_gpu_check_memory(uint64_t required, uint64_t free_bytes, uint64_t total_bytes);

#endif
