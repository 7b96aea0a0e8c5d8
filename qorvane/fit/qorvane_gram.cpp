#include "qorvane_gram.h"

#include <cstring>

#include "qorvane_simd.h"

namespace {

// Four doubles per vector (GCC and Clang vector extension, any target; two registers without
// AVX): the block products run four lanes over e without depending on the compiler to find them.
typedef double QgV4 __attribute__((vector_size(32)));

// out = {c0.d0, c0.d1, c1.d0, c1.d1} over m entries.
QORVANE_SIMD_INLINE void qg_dot_block(const double* c0, const double* c1, const double* d0, const double* d1, int m,
                                      double out[4]) {
    QgV4 s00 = {0.0, 0.0, 0.0, 0.0}, s01 = s00, s10 = s00, s11 = s00;
    int i = 0;
    for (; i + 3 < m; i += 4) {
        QgV4 a0, a1, b0, b1;
        memcpy(&a0, c0 + i, sizeof a0);
        memcpy(&a1, c1 + i, sizeof a1);
        memcpy(&b0, d0 + i, sizeof b0);
        memcpy(&b1, d1 + i, sizeof b1);
        s00 += a0 * b0;
        s01 += a0 * b1;
        s10 += a1 * b0;
        s11 += a1 * b1;
    }
    out[0] = (s00[0] + s00[1]) + (s00[2] + s00[3]);
    out[1] = (s01[0] + s01[1]) + (s01[2] + s01[3]);
    out[2] = (s10[0] + s10[1]) + (s10[2] + s10[3]);
    out[3] = (s11[0] + s11[1]) + (s11[2] + s11[3]);
    for (; i < m; ++i) {
        out[0] += c0[i] * d0[i];
        out[1] += c0[i] * d1[i];
        out[2] += c1[i] * d0[i];
        out[3] += c1[i] * d1[i];
    }
}

// The whole Gram matrix; column nf is `extra` when there is one.
QORVANE_SIMD_INLINE void qg_gram(const double* cols, size_t stride, int nf, int m, const double* extra, double* a,
                                 double* g) {
    const int last = extra != nullptr ? nf : nf - 1;
    for (int x = 0; x < nf; x += 2) {
        const int x1 = x + 1 < nf ? x + 1 : x;
        for (int y = x; y <= last; y += 2) {
            const int y1 = y + 1 <= last ? y + 1 : y;
            const double* cy = y < nf ? cols + (size_t)y * stride : extra;
            const double* cy1 = y1 < nf ? cols + (size_t)y1 * stride : extra;
            double out[4];
            qg_dot_block(cols + (size_t)x * stride, cols + (size_t)x1 * stride, cy, cy1, m, out);
            const int xs[2] = {x, x1}, ys[2] = {y, y1};
            for (int u = 0; u < 2; ++u)
                for (int v = 0; v < 2; ++v) {
                    const int i = xs[u], j = ys[v];
                    if (j == nf)
                        g[i] = out[2 * u + v];
                    else
                        a[i * nf + j] = a[j * nf + i] = out[2 * u + v];
                }
        }
    }
}

QORVANE_TARGET_AVX2 void qg_gram_avx2(const double* cols, size_t stride, int nf, int m, const double* extra, double* a,
                                      double* g) {
    qg_gram(cols, stride, nf, m, extra, a, g);
}

void qg_gram_plain(const double* cols, size_t stride, int nf, int m, const double* extra, double* a, double* g) {
    qg_gram(cols, stride, nf, m, extra, a, g);
}

}  // namespace

void qorvane_gram(const double* cols, size_t stride, int nf, int m, const double* extra, double* a, double* g) {
    if (qorvane_cpu_has_avx2())
        qg_gram_avx2(cols, stride, nf, m, extra, a, g);
    else
        qg_gram_plain(cols, stride, nf, m, extra, a, g);
}
