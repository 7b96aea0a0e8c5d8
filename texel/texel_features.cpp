#include "texel_features.h"

#include <stdlib.h>

#include <algorithm>

int64_t texel_pairs_capacity(int P, int Q, int X, int Y) {
    if (P < 0 || Q < 0 || X <= 0 || Y <= 0) return 0;
    // Every direction's range lies inside the (2P+1) x (2Q+1) window.
    const int64_t cols = 2 * (int64_t)P + 1 < X ? 2 * (int64_t)P + 1 : X;
    const int64_t rows = 2 * (int64_t)Q + 1 < Y ? 2 * (int64_t)Q + 1 : Y;
    return cols * rows;
}

int texel_scratch_alloc(TexelScratch* s, int P, int Q, int X, int Y) {
    s->keys = nullptr;
    s->entries = nullptr;
    s->capacity = 0;
    const int64_t cap = texel_pairs_capacity(P, Q, X, Y);
    if (cap <= 0 || (uint64_t)cap > SIZE_MAX / (4 * sizeof(TexelEntry))) return 1;
    s->keys = (uint64_t*)malloc((size_t)cap * sizeof(uint64_t));
    s->entries = (TexelEntry*)malloc((size_t)cap * 4 * sizeof(TexelEntry));
    if (!s->keys || !s->entries) {
        texel_scratch_free(s);
        return 1;
    }
    s->capacity = cap;
    return 0;
}

void texel_scratch_free(TexelScratch* s) {
    free(s->keys);
    free(s->entries);
    s->keys = nullptr;
    s->entries = nullptr;
    s->capacity = 0;
}

static void texel_sort_keys(uint64_t* k, int64_t n) {
    if (n <= 64) {
        for (int64_t a = 1; a < n; ++a) {
            const uint64_t v = k[a];
            int64_t b = a;
            for (; b > 0 && k[b - 1] > v; --b) k[b] = k[b - 1];
            k[b] = v;
        }
    } else {
        std::sort(k, k + n);
    }
}

static inline uint64_t texel_entry_pos(const TexelEntry& e) { return ((uint64_t)(uint32_t)e.i << 32) | (uint32_t)e.j; }

static void texel_sort_entries(TexelEntry* v, int64_t n) {
    if (n <= 64) {
        for (int64_t a = 1; a < n; ++a) {
            const TexelEntry e = v[a];
            const uint64_t key = texel_entry_pos(e);
            int64_t b = a;
            for (; b > 0 && texel_entry_pos(v[b - 1]) > key; --b) v[b] = v[b - 1];
            v[b] = e;
        }
    } else {
        std::sort(v, v + n,
                  [](const TexelEntry& a, const TexelEntry& b) { return texel_entry_pos(a) < texel_entry_pos(b); });
    }
}

int64_t texel_direction_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, int d,
                                 TexelScratch* s, float feat[TEXEL_NUM_FEATURES]) {
    const int32_t* slice = image + (int64_t)X * (int64_t)Y * (int64_t)z;
    const TexelWindow w = texel_window(x, y, P, Q, d);

    // One pass over the window. A counted pair (a, b) becomes the key of its unordered
    // pair {lo, hi}: lo in the upper 32 bits, hi above a tag bit telling whether the pair
    // was counted as (hi, lo).
    uint64_t* keys = s->keys;
    int64_t n = 0;
    for (int r = w.r0; r <= w.r1; ++r) {
        const int32_t* row = slice + (int64_t)r * X;
        const int32_t* prow = slice + (int64_t)(r + w.dy) * X;
        for (int u = w.u0; u <= w.u1; ++u) {
            const int32_t a = row[u], b = prow[u + w.dx];
            if (a < 0 || a >= L || b < 0 || b >= L) continue;
            keys[n++] =
                a <= b ? ((uint64_t)a << 32) | ((uint64_t)b << 1) : ((uint64_t)b << 32) | ((uint64_t)a << 1) | 1u;
        }
    }
    texel_sort_keys(keys, n);

    // Upper triangle (diagonal included) of the symmetrised matrix in row-major order:
    // S[i][k] = C[i][k] + C[k][i], S[i][i] = 2 C[i][i].
    TexelEntry* upper = s->entries;
    TexelEntry* lower = s->entries + s->capacity;
    TexelEntry* ent = s->entries + 2 * s->capacity;
    int64_t nu = 0, nl = 0;
    for (int64_t a = 0; a < n;) {
        const uint64_t pos = keys[a] >> 1;
        int64_t fwd = 0, bwd = 0;
        for (; a < n && (keys[a] >> 1) == pos; ++a) {
            if (keys[a] & 1u)
                ++bwd;
            else
                ++fwd;
        }
        TexelEntry* e = &upper[nu++];
        e->i = (int32_t)(pos >> 31);
        e->j = (int32_t)(pos & 0x7fffffffu);
        if (e->i == e->j) {
            e->s = 2.0f * (float)fwd;
        } else {
            e->s = (float)fwd + (float)bwd;
            lower[nl].i = e->j;
            lower[nl].j = e->i;
            lower[nl].s = e->s;
            ++nl;
        }
    }
    // Mirror elements, then one merge gives every non-zero element in row-major order
    // (within a row the mirrored ones lie left of the diagonal, the upper ones on or right).
    texel_sort_entries(lower, nl);
    int64_t nz = 0;
    for (int64_t a = 0, b = 0; a < nu || b < nl;) {
        if (b >= nl || (a < nu && texel_entry_pos(upper[a]) < texel_entry_pos(lower[b])))
            ent[nz++] = upper[a++];
        else
            ent[nz++] = lower[b++];
    }

    // Total, accumulated in row-major order through single precision. Each counted pair
    // adds 2 to the total; while that stays below 2^24 every step is exact.
    int64_t T = 0;
    if (2 * n < (int64_t)1 << 24) {
        T = 2 * n;
    } else {
        for (int64_t e = 0; e < nz; ++e) T = (int64_t)((float)T + ent[e].s);
    }
    if (T != 0) {
        const float t = (float)T;
        for (int64_t e = 0; e < nz; ++e) ent[e].s = ent[e].s / t;
    }

    TexelSums sums;
    texel_sums_init(&sums);
    for (int64_t e = 0; e < nz; ++e) texel_sums_means(&sums, ent[e].i, ent[e].j, ent[e].s);
    for (int64_t e = 0; e < nz; ++e) texel_sums_moments(&sums, ent[e].i, ent[e].j, ent[e].s);
    const float denom = sqrtf(sums.tau * sums.var);
    for (int64_t e = 0; e < nz; ++e) texel_sums_corr(&sums, ent[e].i, ent[e].j, ent[e].s, denom);
    // Zero elements add +0 or -0 to every sum, which changes none of them (a sum that
    // starts at +0 never becomes -0), except the correlation when its denominator is 0:
    // there each zero element adds 0/0.
    if (denom == 0.0f && (uint64_t)nz < (uint64_t)L * (uint64_t)L) {
        // Read through volatile so that 0/0 is evaluated at run time and yields the same
        // NaN as the division in the full scan (a folded constant may differ in sign).
        volatile float zero = 0.0f;
        sums.corr += zero / denom;
    }
    texel_sums_to_features(&sums, feat);
    return n;
}

void texel_voxel_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, TexelScratch* s,
                          float acc[TEXEL_NUM_FEATURES]) {
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
    float feat[TEXEL_NUM_FEATURES];
    for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
        texel_direction_features(image, X, Y, P, Q, L, x, y, z, d, s, feat);
        texel_accumulate(acc, feat);
    }
}

void texel_store_voxel(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z, TexelScratch* s,
                       float* const* features) {
    const int64_t idx = texel_index(x, y, z, X, Y);
    float acc[TEXEL_NUM_FEATURES] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    if (texel_is_interior(x, y, X, Y, P, Q)) texel_voxel_features(image, X, Y, P, Q, L, x, y, z, s, acc);
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) features[f][idx] = acc[f];
}

int texel_voxel_features_masked(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z,
                                TexelScratch* s, float acc[TEXEL_NUM_FEATURES]) {
    float feat[TEXEL_NUM_DIRECTIONS][TEXEL_NUM_FEATURES];
    int used[TEXEL_NUM_DIRECTIONS];
    int k = 0;
    for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
        used[d] = texel_direction_features(image, X, Y, P, Q, L, x, y, z, d, s, feat[d]) > 0;
        k += used[d];
    }
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = k == 0 ? NAN : 0.0f;
    // 1/4 is exact, so four directions give the same operations as texel_accumulate.
    const double w = 1.0 / (double)(k == 0 ? 1 : k);
    for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
        if (!used[d]) continue;
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = (float)((double)acc[f] + w * (double)feat[d][f]);
    }
    return k;
}
