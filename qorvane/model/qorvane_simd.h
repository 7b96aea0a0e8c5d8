// Optional AVX2 copies of the fitter's vector kernels, chosen at run time.
//
// A kernel's body is written once as a QORVANE_SIMD_INLINE function and wrapped twice: once
// plain and once with QORVANE_TARGET_AVX2; qorvane_cpu_has_avx2() picks the wrapper. Only AVX2
// is asked for, not FMA: both copies then do the same roundings in the same order and give the
// same bytes on every x86-64 machine. (No ifunc: its resolver runs before ThreadSanitizer's
// runtime is up.) Elsewhere the AVX2 wrapper is the plain one.
#pragma once

#define QORVANE_SIMD_INLINE static inline __attribute__((always_inline))

#if defined(__GNUC__) && defined(__x86_64__)
#define QORVANE_TARGET_AVX2 __attribute__((target("avx2")))
inline bool qorvane_cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#else
#define QORVANE_TARGET_AVX2
inline bool qorvane_cpu_has_avx2() { return false; }
#endif
