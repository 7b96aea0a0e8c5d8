// Matrix exponentials and the real symmetric eigensolver for callers that
// run on several threads: every operation works in a caller-owned workspace
// and touches no module state.
//
// ExpMatrix (matrixmathlib.h) stays the reference: a Taylor series with
// scaling and squaring. matrixmath_exp_pade computes the same exp(i tau A)
// with a diagonal Pade approximant of degree 3, 5, 7, 9 or 13 chosen from
// the 1-norm of tau A (13 with scaling and squaring beyond that), which
// needs six products and one linear solve where the series needs a dozen
// or more products.
#pragma once

#include <complex>
#include <vector>

#include "matrixmathlib.h"

struct MatrixExpWork {
    CMatrix a, a2, a4, a6, u, v, t;
    int ipiv[MATRIXMATH_DIM];
};

// outm = exp(i tau inm); outm may alias inm. The result agrees with
// ExpMatrix to about 1e-14 relative (tested to 1e-12).
void matrixmath_exp_pade(int n, const CMatrix& inm, double tau, CMatrix& outm, MatrixExpWork& w);

struct MatrixSymEigWork {
    double work[1 + 6 * MATRIXMATH_DIM + 2 * MATRIXMATH_DIM * MATRIXMATH_DIM];
    int iwork[3 + 5 * MATRIXMATH_DIM];
};

// Eigen-decomposition of the real symmetric n x n matrix a (row-major,
// leading dimension lda >= n, n in 1..MATRIXMATH_DIM) by LAPACK dsyevd:
// afterwards row j of a holds the unit eigenvector of eigenvalue w[j]
// (0-based, ascending), i.e. a = V^T for A = V diag(w) V^T. False when LAPACK
// reports a failure (a and w are then unspecified).
bool matrixmath_sym_eig(int n, double* a, int lda, double* w, MatrixSymEigWork& work);

// exp(-i t A) for a real symmetric n x n matrix a (row-major, leading
// dimension n, n in 1..MATRIXMATH_DIM), as its real and imaginary planes
// re = cos(tA), im = -sin(tA) (n x n, row-major): the Taylor series of cos
// and sin of B = tA / 2^k with ||B||_1 <= 1/2 (eight terms in B^2 each,
// truncation below 1e-18 relative), evaluated in seven real products
// (Paterson-Stockmeyer), then k double-angle steps of two products each.
// At n = 64 that is about a third of the cost of the eigen-decomposition.
// False for a non-finite matrix or more than 40 doublings.
struct MatrixRealExpWork {
    std::vector<double> buf;
};
bool matrixmath_exp_real_sym(int n, const double* a, double t, double* re, double* im, MatrixRealExpWork& w);

// Packed matrices: n x n, row-major, leading dimension n (the layout of a
// matrix in dm.bin).

// rho <- P^dagger rho P; x is n x n scratch.
void matrixmath_packed_rotate(int n, const std::complex<double>* P, std::complex<double>* rho, std::complex<double>* x);
// out = op(a) b for the real n x n matrix a (row-major, op = transpose when
// transpose) and packed complex b: one real product on the interleaved
// storage. out must not alias b.
void matrixmath_packed_real_left(int n, bool transpose, const double* a, const std::complex<double>* b,
                                 std::complex<double>* out);

// out = a b^T for real n x n matrices (row-major, leading dimension n).
void matrixmath_real_mult_bt(int n, const double* a, const double* b, double* out);

// c = alpha a b + beta c for row-major real matrices: a is m x k (leading
// dimension lda), b is k x n (ldb), c is m x n (ldc).
void matrixmath_real_gemm(int m, int n, int k, double alpha, const double* a, int lda, const double* b, int ldb,
                          double beta, double* c, int ldc);

// Sets the number of threads BLAS uses for one product and returns the
// previous number.
int matrixmath_set_blas_threads(int threads);
