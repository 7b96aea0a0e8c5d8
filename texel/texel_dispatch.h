// The library's one operation without its Java wrapping: argument checks and the
// choice between the GPU path and the two CPU variants.
#ifndef TEXEL_DISPATCH_H
#define TEXEL_DISPATCH_H

#include <stddef.h>
#include <stdint.h>

typedef int (*TexelGpuFn)(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features);

// Checks the arguments of one call: `length` elements in the image array, sizes
// positive, P and Q not negative, L at least 1, X*Y*Z (in 64 bits) within the array.
// Returns 0 when they are usable, else 1 with a message in errbuf.
int texel_check_arguments(int64_t length, int X, int Y, int Z, int P, int Q, int L, char* errbuf, size_t errbufsz);

// Obtains the image elements once more for the CPU path (the JNI entry asks Java for the
// array again); null when they cannot be had.
typedef const int32_t* (*TexelPixelsFn)(void* ctx);

// Tries `gpu` on `image`; when it fails, prints the fallback lines, obtains the elements
// again through `again` (null: keep using `image`) and runs the column-level CPU variant
// on them if Z < cores, else the slice-level variant with `cores` threads.
// Returns 0 when the maps are complete, 1 when the CPU path ran out of memory, 2 when
// `again` returned null (nothing computed).
int texel_compute_maps(const int32_t* image, int X, int Y, int Z, int P, int Q, int L, float* const* features,
                       int cores, TexelGpuFn gpu, TexelPixelsFn again, void* ctx);

#endif
