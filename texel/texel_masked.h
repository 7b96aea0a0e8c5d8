// Texture maps of the voxels of a region of interest. The image holds grey levels
// 0 .. L-1 inside the region and TEXEL_OUTSIDE outside it, so that the shared per-voxel
// code counts only pairs of two voxels inside; the work is a list of the region's voxels,
// so its cost follows the region, not the image.
#ifndef TEXEL_MASKED_H
#define TEXEL_MASKED_H

#include <stdint.h>

#include <vector>

#include "texel_features.h"

// One masked computation. `maps` are ten arrays of X*Y*Z floats owned by the caller;
// only the listed voxels are written.
struct TexelMaskedJob {
    const int32_t* levels;
    int X, Y, Z, P, Q, L;
    const int64_t* voxels;  // linear indices (x + X*(y + Y*z)) of the voxels to compute
    int64_t nvoxels;
    float* const* maps;
    int threads;        // worker threads, at least 1
    double progress_s;  // print progress on stderr once a run has lasted this long; < 0: never
};

// Appends to `out` the voxels inside the region (level not TEXEL_OUTSIDE) whose window
// fits the slice, in ascending index order.
void texel_masked_voxel_list(const int32_t* levels, int X, int Y, int Z, int P, int Q, std::vector<int64_t>* out);

// Pixel pairs counted in direction d for voxel (x, y, z) (grey values in 0 .. L-1 only).
int64_t texel_direction_pair_count(const int32_t* levels, int X, int Y, int P, int Q, int L, int x, int y, int z,
                                   int d);

// Runs texel_voxel_features_masked on every listed voxel with job->threads threads.
// Returns 0 when all are written, 1 when scratch memory or threads could not be had.
int texel_masked_maps(const TexelMaskedJob* job);

#endif
