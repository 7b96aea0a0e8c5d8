#include "texel_levels.h"

#include <math.h>
#include <stdio.h>

#include "texel_features.h"

// Range of the region; 1 with *bad set when a value inside is not finite.
static int texel_region_range(const double* v, const uint8_t* inside, int64_t n, TexelLevelsInfo* info, int64_t* bad) {
    info->inside = 0;
    info->min = INFINITY;
    info->max = -INFINITY;
    for (int64_t k = 0; k < n; ++k) {
        if (inside && !inside[k]) continue;
        if (!isfinite(v[k])) {
            *bad = k;
            return 1;
        }
        ++info->inside;
        if (v[k] < info->min) info->min = v[k];
        if (v[k] > info->max) info->max = v[k];
    }
    return 0;
}

int texel_discretise(const double* v, const uint8_t* inside, int64_t n, int integer_data, int levels, double bin_width,
                     int32_t* out, TexelLevelsInfo* info, int64_t* first_bad, char* err, size_t errsz) {
    *first_bad = -1;
    info->L = 0;
    info->as_is = 0;
    if (texel_region_range(v, inside, n, info, first_bad)) {
        snprintf(err, errsz, "intensity %g inside the %s is not finite", v[*first_bad], inside ? "mask" : "image");
        return 1;
    }
    if (info->inside == 0) {
        snprintf(err, errsz, "the mask contains no voxel (no non-zero value)");
        return 1;
    }
    const double lo = info->min, hi = info->max;
    if (levels > 0) {
        info->L = levels;
        info->as_is = integer_data && lo >= 0.0 && hi <= (double)(levels - 1);
    } else {
        const double top = floor((hi - lo) / bin_width);
        if (!(top < (double)TEXEL_MAX_LEVELS)) {
            snprintf(err, errsz, "bin width %g over the range %g .. %g gives %.0f levels; at most %d are allowed",
                     bin_width, lo, hi, top + 1.0, (int)TEXEL_MAX_LEVELS);
            return 1;
        }
        info->L = (int)top + 1;
    }
    for (int64_t k = 0; k < n; ++k) {
        if (inside && !inside[k]) {
            out[k] = TEXEL_OUTSIDE;
        } else if (levels <= 0) {
            out[k] = (int32_t)floor((v[k] - lo) / bin_width);
        } else if (info->as_is) {
            out[k] = (int32_t)v[k];
        } else if (hi == lo) {
            out[k] = 0;
        } else {
            const double q = floor((double)levels * (v[k] - lo) / (hi - lo));
            out[k] = q >= (double)(levels - 1) ? levels - 1 : (int32_t)q;
        }
    }
    return 0;
}
