// Helpers shared by the kernel tests: random matrices, norms, comparisons.
#pragma once

#include <cmath>
#include <complex>
#include <random>

#include "matrixmathlib.h"

namespace kt {

inline void fill_random(int n, CMatrix& m, unsigned seed, double scale = 1.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) m(r, c) = std::complex<double>(scale * u(rng), scale * u(rng));
}

// Random Hermitian matrix with entries of magnitude up to `scale`.
inline void fill_hermitian(int n, CMatrix& m, unsigned seed, double scale = 1.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int r = 1; r <= n; ++r) {
        m(r, r) = std::complex<double>(scale * u(rng), 0.0);
        for (int c = r + 1; c <= n; ++c) {
            m(r, c) = std::complex<double>(scale * u(rng), scale * u(rng));
            m(c, r) = std::conj(m(r, c));
        }
    }
}

inline void identity(int n, CMatrix& m) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) m(r, c) = (r == c) ? 1.0 : 0.0;
}

inline double frob(int n, const CMatrix& m) {
    double s = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s += std::norm(m(r, c));
    return std::sqrt(s);
}

inline double frob_diff(int n, const CMatrix& a, const CMatrix& b) {
    double s = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s += std::norm(a(r, c) - b(r, c));
    return std::sqrt(s);
}

inline double max_abs_diff(int n, const CMatrix& a, const CMatrix& b) {
    double m = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) m = std::fmax(m, std::abs(a(r, c) - b(r, c)));
    return m;
}

// Distance of m from the identity (max element).
inline double dist_identity(int n, const CMatrix& m) {
    double d = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) d = std::fmax(d, std::abs(m(r, c) - (r == c ? 1.0 : 0.0)));
    return d;
}

// Restores a module setting when the test scope ends.
struct IntSetting {
    int& ref;
    int saved;
    IntSetting(int& r, int v) : ref(r), saved(r) { ref = v; }
    ~IntSetting() { ref = saved; }
};

}  // namespace kt
