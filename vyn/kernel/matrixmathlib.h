// Dense complex linear algebra of the spin-dynamics engine.
//
// CMatrix has a fixed capacity of MATRIXMATH_DIM states and is addressed
// 1-based: element (r, c), r and c in 1..n. Storage is one contiguous
// row-major array of std::complex<double> with leading dimension
// MATRIXMATH_DIM, so BLAS can work on it in place. Every operation takes the
// active dimension n (1..MATRIXMATH_DIM) and touches rows/columns 1..n only.
// A CMatrix is 1 MiB: keep instances in static storage, never on the stack.
// The module keeps module-level scratch matrices and is not reentrant.
#pragma once

#include <complex>

constexpr int MATRIXMATH_DIM = 256;

struct CMatrix {
    std::complex<double> e[MATRIXMATH_DIM * MATRIXMATH_DIM];

    std::complex<double>& operator()(int r, int c) { return e[(r - 1) * MATRIXMATH_DIM + (c - 1)]; }
    const std::complex<double>& operator()(int r, int c) const { return e[(r - 1) * MATRIXMATH_DIM + (c - 1)]; }
    // Component access in the 1-based convention: 1 = real part, 2 = imaginary part.
    double& re(int r, int c) { return reinterpret_cast<double*>(&(*this)(r, c))[0]; }
    double& im(int r, int c) { return reinterpret_cast<double*>(&(*this)(r, c))[1]; }
    double re(int r, int c) const { return (*this)(r, c).real(); }
    double im(int r, int c) const { return (*this)(r, c).imag(); }
};

// Complex scalar, 1-based: v[1] real part, v[2] imaginary part, v[0] unused (0).
struct Complex2 {
    double v[3];
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
};

void CMatZero(int n, CMatrix& out);
void CopyCMatrix(int n, const CMatrix& inmat, CMatrix& outmat);
void CMatAdd(int n, const CMatrix& inmat1, const CMatrix& inmat2, CMatrix& outmat);
void CMatRMultAdd(int n, const CMatrix& inmat1, double rfac1, const CMatrix& inmat2, double rfac2, CMatrix& outmat);
void RMultCMat(int n, double rfac, const CMatrix& inmat, CMatrix& outmat);
void CMultCMat(int n, const Complex2& cfac, const CMatrix& inmat, CMatrix& outmat);
void CMatMult(int n, const CMatrix& inmat1, const CMatrix& inmat2, CMatrix& outmat);
void CMatCommutator(int n, const CMatrix& a, const CMatrix& b, CMatrix& outmat);
void Transform(int n, const CMatrix& Ut, const CMatrix& H, const CMatrix& U, CMatrix& prod);
void Adjungate(int n, const CMatrix& P, CMatrix& Q);
void DoRotation(int n, const CMatrix& romat, CMatrix& densmat);
void ExpMatrix(int n, const CMatrix& inm, double tau, CMatrix& outm);
void ExpectationValue(int n, const CMatrix& inmat, const CMatrix& dmat, Complex2& Eval);
void NormCMatrix(int n, CMatrix& mat);
double sign(double p, double q);
double pi_val();
void ShowCMatElements(int n, const CMatrix& inmat);
