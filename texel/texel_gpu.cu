// GPU path: blocks of 32 x (threads / 32) voxels of one tile of rows; each block loads its
// image tile with the window halo into shared memory, each thread sorts its voxel's pair
// keys in shared memory and sums the features (texel_gpu_kernel.h). The volume passes
// through the device in chunks of rows, two buffer sets in flight on two streams, through
// pinned staging buffers, so that copies overlap the kernel of the other chunk.
#include <cuda_runtime.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "texel_gpu.h"
#include "texel_gpu_kernel.h"

template <typename Key>
__global__ void texel_kernel(TexelLaunch a) {
    extern __shared__ __align__(8) unsigned char texel_smem[];
    int32_t* tile = reinterpret_cast<int32_t*>(texel_smem);
    Key* keys = reinterpret_cast<Key*>(texel_smem + texel_keys_offset(a.P, a.Q, a.tile_rows));
    const int64_t tiles = texel_tile_count(&a);
    // Grid-stride over the tiles: any number of tiles with a grid sized to the device.
    for (int64_t t = blockIdx.x; t < tiles; t += gridDim.x) {
        texel_tile_load(&a, t, (int)threadIdx.x, (int)blockDim.x, tile);
        __syncthreads();
        texel_tile_voxel<Key>(&a, t, (int)threadIdx.x, (int)blockDim.x, tile, keys);
        __syncthreads();  // the tile is reloaded for the next one
    }
}

namespace {

std::atomic<int> g_fail_allocation(-1);

// Everything one call holds; released on every return.
struct TexelGpuCall {
    int fail_at = -1, allocations = 0;
    int buffers = 0;
    int32_t* d_in[2] = {nullptr, nullptr};
    float* d_out[2] = {nullptr, nullptr};
    int32_t* h_in[2] = {nullptr, nullptr};  // pinned staging, or null for direct copies
    float* h_out[2] = {nullptr, nullptr};
    cudaStream_t stream[2] = {nullptr, nullptr};
};

bool texel_device_alloc(TexelGpuCall* c, void** p, size_t bytes) {
    if (c->allocations++ == c->fail_at) return false;
    return cudaMalloc(p, bytes) == cudaSuccess;
}

bool texel_pinned_alloc(TexelGpuCall* c, void** p, size_t bytes) {
    if (c->allocations++ == c->fail_at) return false;
    return cudaHostAlloc(p, bytes, cudaHostAllocDefault) == cudaSuccess;
}

void texel_release(TexelGpuCall* c) {
    for (int b = 0; b < 2; ++b) {
        if (c->stream[b]) cudaStreamSynchronize(c->stream[b]);
        if (c->d_in[b]) cudaFree(c->d_in[b]);
        if (c->d_out[b]) cudaFree(c->d_out[b]);
        if (c->h_in[b]) cudaFreeHost(c->h_in[b]);
        if (c->h_out[b]) cudaFreeHost(c->h_out[b]);
        if (c->stream[b]) cudaStreamDestroy(c->stream[b]);
        c->d_in[b] = nullptr;
        c->d_out[b] = nullptr;
        c->h_in[b] = nullptr;
        c->h_out[b] = nullptr;
        c->stream[b] = nullptr;
    }
}

// Pinned staging buffers for every stream buffer, or none: without them the
// copies go straight from and to the caller's buffers. True when staged.
bool texel_stage_buffers(TexelGpuCall* call, size_t in_elems, size_t out_pitch) {
    bool staged = true;
    for (int b = 0; b < call->buffers && staged; ++b)
        staged = texel_pinned_alloc(call, (void**)&call->h_in[b], in_elems * sizeof(int32_t)) &&
                 texel_pinned_alloc(call, (void**)&call->h_out[b], TEXEL_NUM_FEATURES * out_pitch * sizeof(float));
    if (!staged) {
        for (int b = 0; b < 2; ++b) {
            if (call->h_in[b]) cudaFreeHost(call->h_in[b]);
            if (call->h_out[b]) cudaFreeHost(call->h_out[b]);
            call->h_in[b] = nullptr;
            call->h_out[b] = nullptr;
        }
        cudaGetLastError();
    }
    return staged;
}

// Leaves the calling thread's CUDA error state clean on a failure return, so that a later
// call does not read this call's error as its own launch status.
int texel_fail(TexelGpuCall* c) {
    texel_release(c);
    cudaGetLastError();
    return 1;
}

int texel_device_attribute(cudaDeviceAttr attr) {
    int dev = 0, v = 0;
    if (cudaGetDevice(&dev) != cudaSuccess || cudaDeviceGetAttribute(&v, attr, dev) != cudaSuccess) {
        cudaGetLastError();
        return 0;
    }
    return v;
}

template <typename Key>
void texel_launch(const TexelLaunch& a, const TexelGpuPlan& plan, int sms, cudaStream_t s) {
    static_assert(sizeof(Key) == 2 || sizeof(Key) == 4 || sizeof(Key) == 8, "key size");
    if (plan.shared_bytes > TEXEL_DEFAULT_SHARED_BYTES)
        cudaFuncSetAttribute(texel_kernel<Key>, cudaFuncAttributeMaxDynamicSharedMemorySize, (int)plan.shared_bytes);
    int per_sm = 0;
    if (cudaOccupancyMaxActiveBlocksPerMultiprocessor(&per_sm, texel_kernel<Key>, plan.threads,
                                                      (size_t)plan.shared_bytes) != cudaSuccess ||
        per_sm < 1) {
        cudaGetLastError();
        per_sm = 4;
    }
    int64_t blocks = (int64_t)per_sm * (sms > 0 ? sms : 1);
    const int64_t tiles = texel_tile_count(&a);
    if (blocks > tiles) blocks = tiles;
    if (blocks > 0x7fffffff) blocks = 0x7fffffff;
    texel_kernel<Key><<<(unsigned)blocks, plan.threads, (size_t)plan.shared_bytes, s>>>(a);
}

void texel_launch_keys(const TexelLaunch& a, const TexelGpuPlan& plan, int sms, cudaStream_t s) {
    if (plan.key_bytes == 2)
        texel_launch<uint16_t>(a, plan, sms, s);
    else if (plan.key_bytes == 4)
        texel_launch<uint32_t>(a, plan, sms, s);
    else
        texel_launch<uint64_t>(a, plan, sms, s);
}

}  // namespace

void texel_gpu_force_allocation_failure(int k) { g_fail_allocation.store(k); }

int texel_gpu_device_name(char* buf, size_t bufsz) {
    int count = 0, dev = 0;
    cudaDeviceProp prop;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1 || cudaGetDevice(&dev) != cudaSuccess ||
        cudaGetDeviceProperties(&prop, dev) != cudaSuccess) {
        cudaGetLastError();
        if (bufsz > 0) buf[0] = '\0';
        return 1;
    }
    snprintf(buf, bufsz, "%s (compute capability %d.%d, %d multiprocessors)", prop.name, prop.major, prop.minor,
             prop.multiProcessorCount);
    return 0;
}

int texel_gpu_compute_all(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features) {
    TexelGpuCall call;
    call.fail_at = g_fail_allocation.exchange(-1);

    // Without a usable driver or device the query fails: count that as no free memory, so
    // the memory check stops the path with its own message.
    size_t free_bytes = 0, total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) {
        free_bytes = 0;
        total_bytes = 0;
        cudaGetLastError();
    }
    const int64_t shared_limit = texel_device_attribute(cudaDevAttrMaxSharedMemoryPerBlockOptin);
    const int sms = texel_device_attribute(cudaDevAttrMultiProcessorCount);
    TexelGpuPlan plan;
    const int verdict = texel_gpu_plan(X, Y, Z, P, Q, L, free_bytes, shared_limit, TEXEL_CHUNK_VOXELS, &plan);
    texel_gpu_print_needed(plan.device_bytes);
    if (texel_gpu_check_memory(plan.device_bytes, free_bytes, total_bytes)) return 1;
    if (verdict == TEXEL_PLAN_WINDOW_TOO_LARGE) {
        fprintf(stderr, "CUDA computation aborted, window too large for GPU shared memory\n");
        return 1;
    }

    const int64_t total_rows = (int64_t)Y * (int64_t)Z;
    const int64_t in_rows_max =
        plan.rows_per_chunk + 2 * (int64_t)Q < total_rows ? plan.rows_per_chunk + 2 * (int64_t)Q : total_rows;
    // The buffers fit the free device memory, so these sizes fit size_t.
    const size_t in_elems = (size_t)in_rows_max * (size_t)X;
    const size_t out_pitch = (size_t)plan.rows_per_chunk * (size_t)X;
    call.buffers = plan.buffers;
    for (int b = 0; b < call.buffers; ++b) {
        if (!texel_device_alloc(&call, (void**)&call.d_in[b], in_elems * sizeof(int32_t)) ||
            !texel_device_alloc(&call, (void**)&call.d_out[b], TEXEL_NUM_FEATURES * out_pitch * sizeof(float)) ||
            cudaStreamCreateWithFlags(&call.stream[b], cudaStreamNonBlocking) != cudaSuccess)
            return texel_fail(&call);
    }
    // Pinned staging makes the copies asynchronous; without it the copies go straight
    // from and to the caller's buffers (correct, only without overlap).
    const bool staged = texel_stage_buffers(&call, in_elems, out_pitch);

    TexelLaunch a;
    a.X = X;
    a.Y = Y;
    a.P = P;
    a.Q = Q;
    a.L = L;
    a.tile_rows = plan.threads / TEXEL_TILE_WIDTH;
    a.out_pitch = (int64_t)out_pitch;
    // Copies the finished maps of buffer b (chunk k) from the staging buffer.
    auto drain = [&](int b, int64_t k) {
        if (!staged) return;
        const TexelChunk c = texel_chunk(k, plan.rows_per_chunk, total_rows, Q);
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f)
            memcpy(features[f] + (size_t)c.row0 * X, call.h_out[b] + (size_t)f * out_pitch,
                   (size_t)c.rows * X * sizeof(float));
    };

    cudaError_t launch_status = cudaSuccess, exec_status = cudaSuccess;
    int64_t pending[2] = {-1, -1};  // chunk whose maps are on their way into buffer b
    for (int64_t k = 0; k < plan.chunks; ++k) {
        const int b = (int)(k % call.buffers);
        cudaStream_t s = call.stream[b];
        if (pending[b] >= 0) {
            exec_status = cudaStreamSynchronize(s);
            if (exec_status != cudaSuccess) break;
            drain(b, pending[b]);
            pending[b] = -1;
        }
        const TexelChunk c = texel_chunk(k, plan.rows_per_chunk, total_rows, Q);
        const int32_t* src = image + (size_t)c.in_row0 * X;
        const size_t n_in = (size_t)c.in_rows * X;
        if (staged) {
            memcpy(call.h_in[b], src, n_in * sizeof(int32_t));
            src = call.h_in[b];
        }
        if (cudaMemcpyAsync(call.d_in[b], src, n_in * sizeof(int32_t), cudaMemcpyHostToDevice, s) != cudaSuccess)
            return texel_fail(&call);
        a.in = call.d_in[b];
        a.in_row0 = c.in_row0;
        a.in_rows = c.in_rows;
        a.out = call.d_out[b];
        a.row0 = c.row0;
        a.rows = c.rows;
        texel_launch_keys(a, plan, sms, s);
        launch_status = cudaGetLastError();
        if (launch_status != cudaSuccess) break;
        const size_t n_out = (size_t)c.rows * X;
        if (staged) {
            // The ten maps lie out_pitch apart: one copy reaches the last map's rows.
            if (cudaMemcpyAsync(call.h_out[b], call.d_out[b],
                                ((TEXEL_NUM_FEATURES - 1) * out_pitch + n_out) * sizeof(float), cudaMemcpyDeviceToHost,
                                s) != cudaSuccess)
                return texel_fail(&call);
        } else {
            for (int f = 0; f < TEXEL_NUM_FEATURES; ++f)
                if (cudaMemcpyAsync(features[f] + (size_t)c.row0 * X, call.d_out[b] + (size_t)f * out_pitch,
                                    n_out * sizeof(float), cudaMemcpyDeviceToHost, s) != cudaSuccess)
                    return texel_fail(&call);
        }
        pending[b] = k;
    }
    fprintf(stderr, "(error code: %s)!\n", cudaGetErrorString(launch_status));
    if (launch_status != cudaSuccess) return texel_fail(&call);
    if (exec_status == cudaSuccess) exec_status = cudaDeviceSynchronize();
    fprintf(stderr, "kernel launched: \"%s\".\n", cudaGetErrorString(exec_status));
    if (exec_status != cudaSuccess) return texel_fail(&call);
    cudaDeviceSynchronize();  // second wait of the sequence (cudaThreadSynchronize is gone)
    for (int b = 0; b < call.buffers; ++b)
        if (pending[b] >= 0) drain(b, pending[b]);
    texel_release(&call);
    return 0;
}
