// GPU path: one CUDA thread per voxel, pair keys sorted in shared memory, the volume
// streamed through the device in chunks of rows.
#ifndef TEXEL_GPU_H
#define TEXEL_GPU_H

#include <stddef.h>
#include <stdint.h>

// Fills the ten feature maps on the current CUDA device. Returns 0 on success and 1 on
// any failure (no device or driver, not enough device memory, a window too large for
// the kernel's shared memory, allocation, copy, launch or execution error, or a library
// built without CUDA); device and pinned host memory are released on every return.
int texel_gpu_compute_all(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features);

// Name of the current CUDA device into buf; 0 when there is one, 1 otherwise.
int texel_gpu_device_name(char* buf, size_t bufsz);

// Makes allocation number `k` (0-based, device or pinned host) of the next call of
// texel_gpu_compute_all fail as if the memory were exhausted; -1 clears it. For tests.
void texel_gpu_force_allocation_failure(int k);

// Device memory of a volume held whole: the image and the ten maps, X*Y*Z*44 bytes,
// formed in 64 bits; UINT64_MAX when it does not fit or a size is not positive.
uint64_t texel_gpu_required_bytes(int X, int Y, int Z);

// Device memory of one buffer set for chunks of `rows` rows of width X: the ten maps of
// the rows and their image rows with Q halo rows either side, clipped to `total_rows`.
uint64_t texel_gpu_chunk_bytes(int X, int64_t rows, int Q, int64_t total_rows);

// How one call runs on the device.
struct TexelGpuPlan {
    int key_bytes;           // 2, 4 or 8: the smallest key whose halves hold 0 .. L-1
    int threads;             // per block, a multiple of the tile width
    int64_t shared_bytes;    // dynamic shared memory per block
    int64_t rows_per_chunk;  // global rows (a row of one slice) per chunk
    int64_t chunks;
    int buffers;            // buffer sets in flight: 1 for a single chunk, else 2
    uint64_t device_bytes;  // everything the call allocates on the device
};

enum {
    TEXEL_PLAN_OK = 0,
    TEXEL_PLAN_NO_MEMORY = 1,        // not even one-row chunks fit `free_bytes`
    TEXEL_PLAN_WINDOW_TOO_LARGE = 2  // a block of one warp needs more shared memory
};

// Shared memory a block may use without asking the device for more.
enum { TEXEL_DEFAULT_SHARED_BYTES = 48 * 1024 };
// Voxels per chunk when the volume is larger: several waves of a large GPU per chunk,
// while the pinned staging (44 bytes per voxel and buffer set) stays small.
enum { TEXEL_CHUNK_VOXELS = 1 << 20 };

// Plans a call: key size from L; the most threads per block (256 down to 32) whose
// shared memory stays within the default, else one warp within `shared_limit`; chunks of
// about `chunk_voxels` voxels (the whole volume when it has no more), halved until the
// buffers fit `free_bytes`. The plan is filled in on every return.
int texel_gpu_plan(int X, int Y, int Z, int P, int Q, int L, uint64_t free_bytes, int64_t shared_limit,
                   int64_t chunk_voxels, TexelGpuPlan* plan);

// Prints the "Needed Memory" line of the GPU path.
void texel_gpu_print_needed(uint64_t required);

// The memory check of the GPU path: prints the free/total lines and the verdict,
// returns 1 when `free_bytes` is below `required` (strictly), else 0.
int texel_gpu_check_memory(uint64_t required, uint64_t free_bytes, uint64_t total_bytes);

#endif
