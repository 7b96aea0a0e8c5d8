// Optional AVX2 copies of the fitter's vector kernels, chosen at run time.
//
// QORVANE_SIMD_CLONES on a function makes GCC build it twice on x86-64, for AVX2 and for the
// baseline, and pick one when the program starts; QORVANE_SIMD_INLINE pulls a helper into each
// copy. Only AVX2 is asked for, not FMA: the copies then do the same roundings in the same order
// and give the same bytes on every x86-64 machine. Elsewhere both expand to plain code.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QORVANE_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#define QORVANE_SIMD_INLINE static inline __attribute__((always_inline))
#else
#define QORVANE_SIMD_CLONES
#define QORVANE_SIMD_INLINE static inline
#endif
