// Texture features of one voxel on the CPU: counts the pixel pairs of each direction in
// one pass over the window and evaluates the features over the non-zero entries of the
// symmetrised matrix only, in row-major order, so that every value equals the one of a
// full L x L scan bit for bit.
#ifndef TEXEL_FEATURES_H
#define TEXEL_FEATURES_H

#include <stdint.h>

#include "texel_glcm.h"

// One non-zero element of a symmetrised (later normalised) co-occurrence matrix.
struct TexelEntry {
    int32_t i, j;
    float s;
};

// Per-worker scratch: room for the tagged pair keys and the distinct elements of one
// direction.
struct TexelScratch {
    uint64_t* keys;       // capacity
    TexelEntry* entries;  // 4 * capacity: upper, mirrored and merged elements
    int64_t capacity;     // pixel pairs of the largest direction range
};

// Most pixel pairs of one direction for half window sizes P, Q in an X x Y slice: the
// window is clipped to the slice (a window larger than the slice has no interior voxel),
// so huge P or Q need no huge scratch. 0 for negative or non-positive arguments.
int64_t texel_pairs_capacity(int P, int Q, int X, int Y);

// Allocates the scratch for windows of half sizes P, Q in X x Y slices. Returns 0 on
// success, 1 when the memory cannot be had (the record is then left empty).
int texel_scratch_alloc(TexelScratch* s, int P, int Q, int X, int Y);
void texel_scratch_free(TexelScratch* s);

// Features of one direction of an interior voxel (x, y, z). Returns the number of pixel
// pairs counted (pairs with a grey value outside 0 .. L-1 are not).
int64_t texel_direction_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, int d,
                                 TexelScratch* s, float feat[TEXEL_NUM_FEATURES]);

// The ten four-direction averages of an interior voxel.
void texel_voxel_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, TexelScratch* s,
                          float acc[TEXEL_NUM_FEATURES]);

// Writes voxel (x, y, z) into the ten feature maps: 0 outside the interior.
void texel_store_voxel(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, TexelScratch* s,
                       float* const* features);

// Grey level that marks a voxel outside a region of interest: it lies outside 0 .. L-1,
// so every pixel pair with such a voxel is left out of the counting.
enum { TEXEL_OUTSIDE = -1 };

// Mask-aware variant of texel_voxel_features, for images whose voxels outside the region
// carry TEXEL_OUTSIDE: a pair counts only when both voxels lie inside. Directions without
// any counted pair are left out of the average (the others get weight 1/k, so with all
// four present the result is texel_voxel_features' bit for bit); with none, every
// feature is NaN. Returns the number of directions averaged.
int texel_voxel_features_masked(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z,
                                TexelScratch* s, float acc[TEXEL_NUM_FEATURES]);

#endif
