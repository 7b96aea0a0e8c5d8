// Discretisation of real-valued intensities into the grey levels 0 .. L-1 of the
// co-occurrence matrices, over a region of interest (or the whole image).
//
//   --levels L:     k = min(L-1, floor(L * (v - min) / (max - min)))  (k = 0 when max == min);
//                   an integer image whose region values already lie in 0 .. L-1 is used as it is.
//   --bin-width W:  k = floor((v - min) / W), and L = 1 + the largest k.
//
// min and max are taken over the region's voxels, the formulas are evaluated in double
// precision in the order written, and voxels outside the region become TEXEL_OUTSIDE.
#ifndef TEXEL_LEVELS_H
#define TEXEL_LEVELS_H

#include <stddef.h>
#include <stdint.h>

enum { TEXEL_MAX_LEVELS = 256 };

struct TexelLevelsInfo {
    int L;            // grey levels of the result
    double min, max;  // intensity range of the region
    int as_is;        // 1: integer values used unchanged
    int64_t inside;   // voxels of the region
};

// Discretises `n` intensities into `out`. `inside` (null: every voxel) marks the region;
// `integer_data` says that the values are integers of an integer data type. Exactly one
// of `levels` (2 .. TEXEL_MAX_LEVELS) and `bin_width` (> 0) is used: levels when it is
// positive. Returns 0, or 1 with a message in err (empty region, a non-finite intensity
// inside it, more than TEXEL_MAX_LEVELS bins of width W); `first_bad` receives the index
// of the first non-finite value inside.
int texel_discretise(const double* v, const uint8_t* inside, int64_t n, int integer_data, int levels, double bin_width,
                     int32_t* out, TexelLevelsInfo* info, int64_t* first_bad, char* err, size_t errsz);

#endif
