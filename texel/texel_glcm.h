// Grey-level co-occurrence texture features of one voxel: definitions shared by the
// CPU code and the CUDA kernel (everything here compiles for host and device).
#ifndef TEXEL_GLCM_H
#define TEXEL_GLCM_H

#include <math.h>
#include <stdint.h>
#include <string.h>

#if defined(__CUDACC__)
#define TEXEL_HD __host__ __device__
#else
#define TEXEL_HD
#endif

enum { TEXEL_NUM_FEATURES = 10, TEXEL_NUM_DIRECTIONS = 4 };

// Feature order of the ten output maps.
enum TexelFeature {
    TEXEL_CONTRAST = 0,
    TEXEL_DISSIMILARITY = 1,
    TEXEL_HOMOGENEITY = 2,
    TEXEL_ASM = 3,
    TEXEL_ENERGY = 4,
    TEXEL_MAX_PROBABILITY = 5,
    TEXEL_ENTROPY = 6,
    TEXEL_GLCM_MEAN = 7,
    TEXEL_CORRELATION = 8,
    TEXEL_GLCM_VARIANCE = 9
};

// Smallest normal float: start value of the maximum probability.
#define TEXEL_FLT_MIN_NORMAL 1.17549435e-38f

// Direction table, indexed by direction d = 0..3: adjustment of the last column,
// of the first row, of the last row, then dy and dx of the partner pixel.
#define TEXEL_DIR_LAST_COL 0
#define TEXEL_DIR_FIRST_ROW 1
#define TEXEL_DIR_LAST_ROW 2
#define TEXEL_DIR_DY 3
#define TEXEL_DIR_DX 4

TEXEL_HD inline int texel_direction(int row, int d) {
    // Kept as a switch so that the device code needs no constant memory.
    switch (row) {
        case TEXEL_DIR_LAST_COL:
            return d == 1 ? 0 : -1;
        case TEXEL_DIR_FIRST_ROW:
            return d == 2 ? 1 : 0;
        case TEXEL_DIR_LAST_ROW:
            return (d == 1 || d == 3) ? -1 : 0;
        case TEXEL_DIR_DY:
            return d == 0 ? 0 : (d == 2 ? -1 : 1);
        default:
            return d == 1 ? 0 : 1;
    }
}

// Pairs counted for voxel (x, y) in direction d: pixel (u, r) with partner
// (u + dx, r + dy) for columns u0..u1 and rows r0..r1 (bounds inclusive).
struct TexelWindow {
    int dx, dy, u0, u1, r0, r1;
};

TEXEL_HD inline TexelWindow texel_window(int x, int y, int P, int Q, int d) {
    TexelWindow w;
    w.dx = texel_direction(TEXEL_DIR_DX, d);
    w.dy = texel_direction(TEXEL_DIR_DY, d);
    w.u0 = x - P;
    w.u1 = x + P + texel_direction(TEXEL_DIR_LAST_COL, d);
    w.r0 = y - Q + texel_direction(TEXEL_DIR_FIRST_ROW, d);
    w.r1 = y + Q + texel_direction(TEXEL_DIR_LAST_ROW, d);
    return w;
}

// True when the voxel's window lies completely inside its slice.
TEXEL_HD inline bool texel_is_interior(int x, int y, int X, int Y, int P, int Q) {
    return (int64_t)x >= P && (int64_t)x < (int64_t)X - P && (int64_t)y >= Q && (int64_t)y < (int64_t)Y - Q;
}

// Linear index of voxel (x, y, z); x varies fastest.
TEXEL_HD inline int64_t texel_index(int x, int y, int z, int X, int Y) {
    return (int64_t)x + (int64_t)X * ((int64_t)y + (int64_t)Y * (int64_t)z);
}

// Adds one direction's features into the running four-direction average.
TEXEL_HD inline void texel_accumulate(float acc[TEXEL_NUM_FEATURES], const float feat[TEXEL_NUM_FEATURES]) {
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = (float)((double)acc[f] + 0.25 * (double)feat[f]);
}

// Running sums of the single-precision feature formulas. The same record is fed by the
// dense scan (every matrix element) and by the sparse scan (non-zero elements only).
struct TexelSums {
    float mu, nu;    // row and column means
    float var, tau;  // row and column variances
    float contrast, dissimilarity, homogeneity, asm_, maxp, entropy;
    float corr;
};

TEXEL_HD inline void texel_sums_means(TexelSums* s, int i, int j, float p) {
    s->mu += (float)i * p;
    s->nu += (float)j * p;
}

TEXEL_HD inline void texel_sums_moments(TexelSums* s, int i, int j, float p) {
    const float di = (float)i - s->mu;
    const float dj = (float)j - s->nu;
    const float dij = (float)i - (float)j;
    s->var += di * di * p;
    s->tau += dj * dj * p;
    s->contrast += dij * dij * p;
    s->dissimilarity += fabsf(dij) * p;
    s->homogeneity += p / (dij * dij + 1.0f);
    s->asm_ += p * p;
    if (p > s->maxp) s->maxp = p;
    if (p > 0.0f) s->entropy -= p * logf(p);
}

TEXEL_HD inline void texel_sums_corr(TexelSums* s, int i, int j, float p, float denom) {
    s->corr += ((float)j - s->nu) * ((float)i - s->mu) * p / denom;
}

TEXEL_HD inline void texel_sums_init(TexelSums* s) {
    s->mu = s->nu = s->var = s->tau = 0.0f;
    s->contrast = s->dissimilarity = s->homogeneity = s->asm_ = s->entropy = s->corr = 0.0f;
    s->maxp = TEXEL_FLT_MIN_NORMAL;
}

TEXEL_HD inline void texel_sums_to_features(const TexelSums* s, float feat[TEXEL_NUM_FEATURES]) {
    feat[TEXEL_CONTRAST] = s->contrast;
    feat[TEXEL_DISSIMILARITY] = s->dissimilarity;
    feat[TEXEL_HOMOGENEITY] = s->homogeneity;
    feat[TEXEL_ASM] = s->asm_;
    feat[TEXEL_ENERGY] = sqrtf(s->asm_);
    feat[TEXEL_MAX_PROBABILITY] = s->maxp;
    feat[TEXEL_ENTROPY] = s->entropy;
    feat[TEXEL_GLCM_MEAN] = s->mu;
    feat[TEXEL_CORRELATION] = s->corr;
    feat[TEXEL_GLCM_VARIANCE] = s->var;
}

// One more pair in scratch word `w`. While counting, the scratch words hold 32-bit
// integer counts (a float increment stops counting at 2^24); texel_counts_to_float turns
// them into floats afterwards, each count rounded once like a whole count would be.
TEXEL_HD inline void texel_count_pair(float* w) {
    uint32_t c;
    memcpy(&c, w, sizeof c);
    ++c;
    memcpy(w, &c, sizeof c);
}

TEXEL_HD inline void texel_counts_to_float(float* w) {
    uint32_t c;
    memcpy(&c, w, sizeof c);
    *w = (float)c;
}

// Per-voxel computation on a dense L x L scratch per direction (4*L*L floats at
// `scratch`): counts the window in one pass, symmetrises, normalises and scans every
// element. Used by the GPU kernel, where each thread owns its scratch.
TEXEL_HD inline void texel_voxel_dense(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z,
                                       float* scratch, float acc[TEXEL_NUM_FEATURES]) {
    const int64_t LL = (int64_t)L * (int64_t)L;
    const int32_t* slice = image + (int64_t)X * (int64_t)Y * (int64_t)z;
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
    for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
        float* m = scratch + (int64_t)d * LL;
        for (int64_t e = 0; e < LL; ++e) m[e] = 0.0f;  // also integer count 0
        const TexelWindow w = texel_window(x, y, P, Q, d);
        for (int r = w.r0; r <= w.r1; ++r) {
            const int32_t* row = slice + (int64_t)r * X;
            const int32_t* prow = slice + (int64_t)(r + w.dy) * X;
            for (int u = w.u0; u <= w.u1; ++u) {
                const int32_t a = row[u], b = prow[u + w.dx];
                if (a >= 0 && a < L && b >= 0 && b < L) texel_count_pair(&m[(int64_t)a * L + b]);
            }
        }
        for (int64_t e = 0; e < LL; ++e) texel_counts_to_float(&m[e]);
        // Symmetrise in place: both halves from the same pair of counts.
        for (int i = 0; i < L; ++i) {
            m[(int64_t)i * L + i] = 2.0f * m[(int64_t)i * L + i];
            for (int k = i + 1; k < L; ++k) {
                const float s = m[(int64_t)i * L + k] + m[(int64_t)k * L + i];
                m[(int64_t)i * L + k] = s;
                m[(int64_t)k * L + i] = s;
            }
        }
        int64_t T = 0;
        for (int64_t e = 0; e < LL; ++e)
            if (m[e] != 0.0f) T = (int64_t)((float)T + m[e]);
        if (T != 0) {
            const float t = (float)T;
            for (int64_t e = 0; e < LL; ++e) m[e] = m[e] / t;
        }
        TexelSums s;
        texel_sums_init(&s);
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) texel_sums_means(&s, i, j, m[(int64_t)i * L + j]);
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) texel_sums_moments(&s, i, j, m[(int64_t)i * L + j]);
        const float denom = sqrtf(s.tau * s.var);
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) texel_sums_corr(&s, i, j, m[(int64_t)i * L + j], denom);
        float feat[TEXEL_NUM_FEATURES];
        texel_sums_to_features(&s, feat);
        texel_accumulate(acc, feat);
    }
}

#endif
