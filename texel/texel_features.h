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
  uint64_t* keys;        // 2 * capacity
  TexelEntry* entries;   // 2 * capacity
  int64_t capacity;      // pixel pairs of the largest direction range
};

// Pairs per direction for half window sizes P, Q (64-bit; 0 when the window is degenerate).
int64_t texel_pairs_capacity(int P, int Q);

// Allocates the scratch for windows of half sizes P, Q. Returns 0 on success, 1 when
// the memory cannot be had (the record is then left empty).
int texel_scratch_alloc(TexelScratch* s, int P, int Q);
void texel_scratch_free(TexelScratch* s);

// Features of one direction of an interior voxel (x, y, z).
void texel_direction_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y,
                              int z, int d, TexelScratch* s, float feat[TEXEL_NUM_FEATURES]);

// The ten four-direction averages of an interior voxel.
void texel_voxel_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y,
                          int z, TexelScratch* s, float acc[TEXEL_NUM_FEATURES]);

// Writes voxel (x, y, z) into the ten feature maps: 0 outside the interior.
void texel_store_voxel(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z,
                       TexelScratch* s, float* const* features);

#endif
