#include "texel_features.h"

#include <stdlib.h>

#include <algorithm>

// Keys order the entries of a matrix row-major: row in the upper 32 bits, column above
// one tag bit (0: the count belongs to element (row, column), 1: it is the transposed
// count that symmetrisation adds to it).
static inline uint64_t texel_key(uint32_t row, uint32_t col, uint32_t tag) {
  return ((uint64_t)row << 32) | ((uint64_t)col << 1) | tag;
}

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
  if (cap <= 0 || (uint64_t)cap > SIZE_MAX / (2 * sizeof(uint64_t))) return 1;
  s->keys = (uint64_t*)malloc((size_t)cap * 2 * sizeof(uint64_t));
  s->entries = (TexelEntry*)malloc((size_t)cap * 2 * sizeof(TexelEntry));
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
  if (n <= 48) {
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

void texel_direction_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y,
                              int z, int d, TexelScratch* s, float feat[TEXEL_NUM_FEATURES]) {
  const int32_t* slice = image + (int64_t)X * (int64_t)Y * (int64_t)z;
  const int dx = texel_direction(TEXEL_DIR_DX, d), dy = texel_direction(TEXEL_DIR_DY, d);
  const int u0 = x - P, u1 = x + P + texel_direction(TEXEL_DIR_LAST_COL, d);
  const int r0 = y - Q + texel_direction(TEXEL_DIR_FIRST_ROW, d);
  const int r1 = y + Q + texel_direction(TEXEL_DIR_LAST_ROW, d);

  // One pass over the window: each counted pair adds its own key and, off the
  // diagonal, the transposed key.
  uint64_t* keys = s->keys;
  int64_t n = 0;
  for (int r = r0; r <= r1; ++r) {
    const int32_t* row = slice + (int64_t)r * X;
    const int32_t* prow = slice + (int64_t)(r + dy) * X;
    for (int u = u0; u <= u1; ++u) {
      const int32_t a = row[u], b = prow[u + dx];
      if (a < 0 || a >= L || b < 0 || b >= L) continue;
      keys[n++] = texel_key((uint32_t)a, (uint32_t)b, 0);
      if (a != b) keys[n++] = texel_key((uint32_t)b, (uint32_t)a, 1);
    }
  }
  texel_sort_keys(keys, n);

  // Collapse runs into the distinct non-zero elements of the symmetrised matrix,
  // already in row-major order.
  TexelEntry* ent = s->entries;
  int64_t nz = 0;
  for (int64_t a = 0; a < n;) {
    const uint64_t pos = keys[a] >> 1;
    int64_t own = 0, trans = 0;
    for (; a < n && (keys[a] >> 1) == pos; ++a) {
      if (keys[a] & 1u) ++trans;
      else ++own;
    }
    TexelEntry* e = &ent[nz++];
    e->i = (int32_t)(pos >> 31);
    e->j = (int32_t)(pos & 0x7fffffffu);
    e->s = (e->i == e->j) ? 2.0f * (float)own : (float)own + (float)trans;
  }

  // Total, accumulated in row-major order through single precision.
  int64_t T = 0;
  for (int64_t e = 0; e < nz; ++e) T = (int64_t)((float)T + ent[e].s);
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
}

void texel_voxel_features(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y,
                          int z, TexelScratch* s, float acc[TEXEL_NUM_FEATURES]) {
  for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) acc[f] = 0.0f;
  float feat[TEXEL_NUM_FEATURES];
  for (int d = 0; d < TEXEL_NUM_DIRECTIONS; ++d) {
    texel_direction_features(image, X, Y, P, Q, L, x, y, z, d, s, feat);
    texel_accumulate(acc, feat);
  }
}

void texel_store_voxel(const int32_t* image, int X, int Y, int P, int Q, int L, int x, int y, int z,
                       TexelScratch* s, float* const* features) {
  const int64_t idx = texel_index(x, y, z, X, Y);
  float acc[TEXEL_NUM_FEATURES] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  if (texel_is_interior(x, y, X, Y, P, Q)) texel_voxel_features(image, X, Y, P, Q, L, x, y, z, s, acc);
  for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) features[f][idx] = acc[f];
}
