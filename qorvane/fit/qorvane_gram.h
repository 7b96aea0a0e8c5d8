// Gram matrices of dense columns (normal equations, Fisher matrices).
#pragma once
#include <cstddef>

// a[i * nf + j] = sum over e < m of col_i[e] * col_j[e] for the nf columns col_i = cols + i * stride
// (a symmetric, written whole); with extra != nullptr also g[i] = col_i . extra. Two lanes and
// 2 x 2 blocks of columns, so the sums are not in index order.
void qorvane_gram(const double* cols, size_t stride, int nf, int m, const double* extra, double* a, double* g);
