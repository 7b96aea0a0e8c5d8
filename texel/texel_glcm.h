// Grey-level co-occurrence texture features of one voxel: definitions shared by the
// CPU code and the CUDA kernel (everything here compiles for host and device).
#ifndef TEXEL_GLCM_H
#define TEXEL_GLCM_H

#include <math.h>
#include <stdint.h>

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

// ln(p) for the entropy. The device forms it in double precision and rounds once, which
// is the correctly rounded single-precision logarithm; the host uses its C library's
// logf. The two differ in about 2 of 10^4 arguments, by one unit in the last place.
TEXEL_HD inline float texel_log(float p) {
#if defined(__CUDA_ARCH__)
    return (float)log((double)p);
#else
    return logf(p);
#endif
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
    if (p > 0.0f) s->entropy -= p * texel_log(p);
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

#endif
