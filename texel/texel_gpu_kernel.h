// Device code of the GPU path, written for host and device alike so that the host tests
// run exactly what the kernel runs: the per-voxel routine on sorted pair keys, the
// loading of an image tile into shared memory and the per-thread work of one tile.
//
// Per voxel and direction every counted pixel pair (a, b) becomes the key (a, b) and, for
// a != b, also its mirror (b, a). Sorted, equal keys form one run per non-zero element of
// the symmetrised matrix, in row-major order, and the run length is the element's value
// (twice it on the diagonal). The features are then summed over those elements in the
// order of a full L x L scan, which gives the dense definition's values bit for bit with
// no L x L storage.
#ifndef TEXEL_GPU_KERNEL_H
#define TEXEL_GPU_KERNEL_H

#include <stdint.h>

#include "texel_glcm.h"

// Width of a tile in voxels: one warp per tile row, so that loads and stores of a row
// are coalesced.
enum { TEXEL_TILE_WIDTH = 32 };

// Key storage per voxel: twice the most pixel pairs of one direction (a pair and its
// mirror). Direction 0 has 2P columns of 2Q+1 rows, direction 1 has 2P+1 columns of 2Q
// rows, the diagonals 2P x 2Q.
TEXEL_HD inline int64_t texel_key_capacity(int P, int Q) {
    const int64_t d0 = 2 * (int64_t)P * (2 * (int64_t)Q + 1);
    const int64_t d1 = (2 * (int64_t)P + 1) * 2 * (int64_t)Q;
    return 2 * (d0 > d1 ? d0 : d1);
}

// Bits of the column in a key: the smallest key type whose halves hold 0 .. L-1.
template <typename Key>
struct TexelKeyBits {
    enum { shift = 4 * (int)sizeof(Key) };
};

// Shell sort (gaps of Ciura, extended) of n keys at k[0], k[stride], k[2*stride], ...
template <typename Key>
TEXEL_HD inline void texel_sort_strided(Key* k, int64_t n, int64_t stride) {
    const int64_t gaps[] = {8858, 3937, 1750, 701, 301, 132, 57, 23, 10, 4, 1};
    for (int g = 0; g < (int)(sizeof gaps / sizeof gaps[0]); ++g) {
        const int64_t gap = gaps[g];
        if (gap >= n) continue;
        for (int64_t i = gap; i < n; ++i) {
            const Key v = k[i * stride];
            int64_t j = i;
            for (; j >= gap && k[(j - gap) * stride] > v; j -= gap) k[j * stride] = k[(j - gap) * stride];
            k[j * stride] = v;
        }
    }
}

// Features of one direction from its m sorted keys (n < 2^23 counted pairs, m >= n).
template <typename Key>
TEXEL_HD inline void texel_keys_features(const Key* keys, int64_t ks, int64_t m, int64_t n, int L,
                                         float feat[TEXEL_NUM_FEATURES]) {
    const int shift = TexelKeyBits<Key>::shift;
    const Key mask = (Key)(((uint64_t)1 << shift) - 1);
    // Each counted pair adds 2 to the total; below 2^23 pairs every step of its
    // single-precision accumulation over the elements is exact, so it is 2n.
    const int64_t T = 2 * n;
    const float t = (float)T;
    TexelSums sums;
    texel_sums_init(&sums);
    int64_t nz = 0;
    // Three passes in row-major order: means, then the moments about them, then the
    // correlation with its denominator.
    for (int pass = 0; pass < 3; ++pass) {
        const float denom = pass == 2 ? sqrtf(sums.tau * sums.var) : 0.0f;
        for (int64_t e = 0; e < m;) {
            const Key k = keys[e * ks];
            int64_t run = 1;
            while (e + run < m && keys[(e + run) * ks] == k) ++run;
            e += run;
            const int i = (int)(k >> shift), j = (int)(k & mask);
            // Off the diagonal the run holds C[i][j] + C[j][i], exact like the run itself.
            const float s = i == j ? 2.0f * (float)run : (float)run;
            const float p = T != 0 ? s / t : s;
            if (pass == 0) {
                texel_sums_means(&sums, i, j, p);
                ++nz;
            } else if (pass == 1) {
                texel_sums_moments(&sums, i, j, p);
            } else {
                texel_sums_corr(&sums, i, j, p, denom);
            }
        }
    }
    // Zero elements change no sum, except the correlation when its denominator is 0:
    // there each zero element adds 0/0. Read through volatile so that the division is
    // done at run time like the dense scan's.
    const float denom = sqrtf(sums.tau * sums.var);
    if (denom == 0.0f && (uint64_t)nz < (uint64_t)L * (uint64_t)L) {
        volatile float zero = 0.0f;
        sums.corr += zero / denom;
    }
    texel_sums_to_features(&sums, feat);
}

// The ten four-direction averages of one interior voxel. `win` points at the voxel's
// pixel in a 2-D array of row pitch `pitch` that holds its whole window; `keys` is the
// voxel's key storage, texel_key_capacity(P, Q) keys at keys[0], keys[ks], ...
// Grey values outside 0 .. L-1 are not counted. Needs L <= 2^shift of the key type and
// fewer than 2^23 pairs per direction (texel_key_capacity(P, Q) / 2).
template <typename Key>
TEXEL_HD inline void texel_voxel_sorted(const int32_t* win, int64_t pitch, int P, int Q, int L, Key* keys, int64_t ks,
                                        float acc[TEXEL_NUM_FEATURES]) {
    const int shift = TexelKeyBits<Key>::shift;
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
    for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
        const TexelWindow w = texel_window(0, 0, P, Q, d);
        int64_t m = 0, n = 0;
        for (int r = w.r0; r <= w.r1; ++r) {
            const int32_t* row = win + (int64_t)r * pitch;
            const int32_t* prow = win + (int64_t)(r + w.dy) * pitch + w.dx;
            for (int u = w.u0; u <= w.u1; ++u) {
                const int32_t a = row[u], b = prow[u];
                if (a < 0 || a >= L || b < 0 || b >= L) continue;
                ++n;
                keys[m++ * ks] = (Key)(((Key)a << shift) | (Key)b);
                if (a != b) keys[m++ * ks] = (Key)(((Key)b << shift) | (Key)a);
            }
        }
        texel_sort_strided(keys, m, ks);
        float feat[TEXEL_NUM_FEATURES];
        texel_keys_features(keys, ks, m, n, L, feat);
        texel_accumulate(acc, feat);
    }
}

// One kernel launch: the feature maps of global rows row0 .. row0+rows-1, where global
// row g is row g % Y of slice g / Y. The input holds the rows in_row0 .. in_row0+in_rows-1
// (the output rows and up to Q rows of halo on either side).
struct TexelLaunch {
    const int32_t* in;
    int64_t in_row0, in_rows;
    float* out;         // feature f of output voxel v at out[f * out_pitch + v]
    int64_t out_pitch;  // at least rows * X
    int64_t row0, rows;
    int X, Y, P, Q, L;
    int tile_rows;  // tile height: threads per block / TEXEL_TILE_WIDTH
};

// The chunk k of a volume of `total_rows` global rows cut into chunks of `rows_per_chunk`
// rows, with its halo rows clipped to the volume.
struct TexelChunk {
    int64_t row0, rows, in_row0, in_rows;
};

TEXEL_HD inline TexelChunk texel_chunk(int64_t k, int64_t rows_per_chunk, int64_t total_rows, int Q) {
    TexelChunk c;
    c.row0 = k * rows_per_chunk;
    c.rows = total_rows - c.row0 < rows_per_chunk ? total_rows - c.row0 : rows_per_chunk;
    c.in_row0 = c.row0 - Q < 0 ? 0 : c.row0 - Q;
    const int64_t end = c.row0 + c.rows + Q > total_rows ? total_rows : c.row0 + c.rows + Q;
    c.in_rows = end - c.in_row0;
    return c;
}

TEXEL_HD inline int64_t texel_tiles_x(int X) { return ((int64_t)X + TEXEL_TILE_WIDTH - 1) / TEXEL_TILE_WIDTH; }

TEXEL_HD inline int64_t texel_tile_count(const TexelLaunch* a) {
    return texel_tiles_x(a->X) * ((a->rows + a->tile_rows - 1) / a->tile_rows);
}

// Shared memory of a block: the image tile with its halo (int32), then the threads' keys.
TEXEL_HD inline int64_t texel_tile_pitch(int P) { return TEXEL_TILE_WIDTH + 2 * (int64_t)P; }
TEXEL_HD inline int64_t texel_tile_elements(int P, int Q, int tile_rows) {
    return texel_tile_pitch(P) * ((int64_t)tile_rows + 2 * (int64_t)Q);
}
// Byte offset of the keys: the tile rounded up to 8 bytes.
TEXEL_HD inline int64_t texel_keys_offset(int P, int Q, int tile_rows) {
    return (texel_tile_elements(P, Q, tile_rows) * 4 + 7) / 8 * 8;
}
TEXEL_HD inline int64_t texel_shared_bytes(int P, int Q, int tile_rows, int key_bytes) {
    const int64_t threads = (int64_t)tile_rows * TEXEL_TILE_WIDTH;
    return texel_keys_offset(P, Q, tile_rows) + threads * texel_key_capacity(P, Q) * key_bytes;
}

// Loads tile `tile` with its halo: thread `tid` of `nthreads` copies every nthreads-th
// element, so that consecutive threads read consecutive pixels of a row. Pixels outside
// the input rows or the slice width become -1 (never counted; no interior window reaches
// them).
TEXEL_HD inline void texel_tile_load(const TexelLaunch* a, int64_t tile, int tid, int nthreads, int32_t* smem) {
    const int64_t tx = texel_tiles_x(a->X);
    const int64_t x0 = (tile % tx) * TEXEL_TILE_WIDTH - a->P;
    const int64_t g0 = a->row0 + (tile / tx) * a->tile_rows - a->Q;
    const int64_t pitch = texel_tile_pitch(a->P);
    const int64_t count = texel_tile_elements(a->P, a->Q, a->tile_rows);
    for (int64_t s = tid; s < count; s += nthreads) {
        const int64_t g = g0 + s / pitch, x = x0 + s % pitch;
        int32_t v = -1;
        if (g >= a->in_row0 && g < a->in_row0 + a->in_rows && x >= 0 && x < a->X)
            v = a->in[(g - a->in_row0) * a->X + x];
        smem[s] = v;
    }
}

// The voxel of thread `tid` in tile `tile`: its ten features (0 outside the interior)
// written to the output; threads beyond the slice width or the launch's rows do nothing.
template <typename Key>
TEXEL_HD inline void texel_tile_voxel(const TexelLaunch* a, int64_t tile, int tid, int nthreads, const int32_t* smem,
                                      Key* keys) {
    const int64_t tx = texel_tiles_x(a->X);
    const int c = tid % TEXEL_TILE_WIDTH, r = tid / TEXEL_TILE_WIDTH;
    const int64_t x = (tile % tx) * TEXEL_TILE_WIDTH + c;
    const int64_t lr = (tile / tx) * a->tile_rows + r;  // row within the launch
    if (x >= a->X || lr >= a->rows) return;
    const int y = (int)((a->row0 + lr) % a->Y);
    float acc[TEXEL_NUM_FEATURES];
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
    if (texel_is_interior((int)x, y, a->X, a->Y, a->P, a->Q)) {
        const int32_t* win = smem + ((int64_t)r + a->Q) * texel_tile_pitch(a->P) + c + a->P;
        texel_voxel_sorted(win, texel_tile_pitch(a->P), a->P, a->Q, a->L, keys + tid, nthreads, acc);
    }
    const int64_t v = lr * a->X + x;
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) a->out[f * a->out_pitch + v] = acc[f];
}

#endif
