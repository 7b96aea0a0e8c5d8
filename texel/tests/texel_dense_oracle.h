// Reference evaluation of the co-occurrence steps exactly as defined: for every grey-level
// pair the window is scanned once per direction, the full L x L matrices are symmetrised,
// normalised and scanned. Slow (L*L window scans per voxel); for checks and benchmarks only.
#ifndef TEXEL_DENSE_ORACLE_H
#define TEXEL_DENSE_ORACLE_H

#include <math.h>
#include <stdint.h>

#include <vector>

namespace texel_oracle {

struct Dir {
    int last_col, first_row, last_row, dy, dx;
};
static const Dir kDirs[4] = {{-1, 0, 0, 0, 1}, {0, 0, -1, 1, 0}, {-1, 1, 0, -1, 1}, {-1, 0, -1, 1, 1}};

inline int pix(const int32_t* img, int X, int Y, int x, int y, int z) {
    return img[(int64_t)x + (int64_t)X * ((int64_t)y + (int64_t)Y * z)];
}

// Ten four-direction averages of the interior voxel (x, y, z).
inline void voxel(const int32_t* img, int X, int Y, int P, int Q, int L, int x, int y, int z, float out[10]) {
    std::vector<float> C((size_t)L * L), S((size_t)L * L);
    for (int f = 0; f < 10; ++f) out[f] = 0.0f;
    for (int d = 0; d < 4; ++d) {
        const Dir& D = kDirs[d];
        for (int i = 0; i < L; ++i)
            for (int k = 0; k < L; ++k) {
                int n = 0;
                for (int u = x - P; u <= x + P + D.last_col; ++u)
                    for (int r = y - Q + D.first_row; r <= y + Q + D.last_row; ++r)
                        if (pix(img, X, Y, u, r, z) == i && pix(img, X, Y, u + D.dx, r + D.dy, z) == k) ++n;
                C[(size_t)i * L + k] = (float)n;
            }
        for (int i = 0; i < L; ++i)
            for (int k = 0; k < L; ++k)
                S[(size_t)i * L + k] =
                    (i == k) ? 2.0f * C[(size_t)i * L + i] : C[(size_t)i * L + k] + C[(size_t)k * L + i];
        int T = 0;
        for (int i = 0; i < L; ++i)
            for (int k = 0; k < L; ++k) T = (int)((float)T + S[(size_t)i * L + k]);
        if (T != 0)
            for (size_t e = 0; e < S.size(); ++e) S[e] = S[e] / (float)T;
        auto p = [&](int i, int j) { return S[(size_t)i * L + j]; };
        float mu = 0, nu = 0;
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) {
                mu += (float)i * p(i, j);
                nu += (float)j * p(i, j);
            }
        float var = 0, tau = 0, con = 0, dis = 0, hom = 0, asmv = 0, ent = 0, mx = 1.17549435e-38f;
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) {
                const float v = p(i, j);
                var += ((float)i - mu) * ((float)i - mu) * v;
                tau += ((float)j - nu) * ((float)j - nu) * v;
                con += (float)(i - j) * (float)(i - j) * v;
                dis += fabsf((float)(i - j)) * v;
                hom += v / ((float)(i - j) * (float)(i - j) + 1.0f);
                asmv += v * v;
                if (v > mx) mx = v;
                if (v > 0.0f) ent -= v * logf(v);
            }
        float cor = 0;
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) cor += ((float)j - nu) * ((float)i - mu) * p(i, j) / sqrtf(tau * var);
        const float feat[10] = {con, dis, hom, asmv, sqrtf(asmv), mx, ent, mu, cor, var};
        for (int f = 0; f < 10; ++f) out[f] = (float)((double)out[f] + 0.25 * (double)feat[f]);
    }
}

inline bool interior(int x, int y, int X, int Y, int P, int Q) { return x >= P && x < X - P && y >= Q && y < Y - Q; }

// Ten maps of a whole volume, map f at [f][idx].
inline std::vector<std::vector<float>> volume(const int32_t* img, int X, int Y, int Z, int P, int Q, int L) {
    const size_t N = (size_t)X * Y * Z;
    std::vector<std::vector<float>> maps(10, std::vector<float>(N, 0.0f));
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                if (!interior(x, y, X, Y, P, Q)) continue;
                float v[10];
                voxel(img, X, Y, P, Q, L, x, y, z, v);
                const size_t idx = (size_t)x + (size_t)X * ((size_t)y + (size_t)Y * z);
                for (int f = 0; f < 10; ++f) maps[f][idx] = v[f];
            }
    return maps;
}

}  // namespace texel_oracle

#endif
