// Dense complex linear algebra of the spin-dynamics engine.
//
// CMatrix has a fixed capacity of MATRIXMATH_DIM states and is addressed
// 1-based: element (r, c), r and c in 1..n. Storage is one contiguous
// row-major array of std::complex<double> with leading dimension
// MATRIXMATH_DIM, so BLAS can work on it in place. Every operation takes the
// active dimension n (1..MATRIXMATH_DIM) and touches rows/columns 1..n only.
// A CMatrix is 1 MiB: keep instances in static storage, never on the stack.
// Scratch matrices are per thread: the operations may run on several threads
// at once as long as no two threads write the same matrix.
#pragma once

#include <atomic>
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

// ---------------------------------------------------------------------------
// Product paths. CMatMult runs the plain triple loop below
// matrixmath_blas_min_n and cblas_zgemm from there on; both are exposed so
// that tests and benchmarks can compare them. Neither supports aliasing: the
// output must be a different object from both inputs.
// ---------------------------------------------------------------------------
constexpr int MATRIXMATH_BLAS_MIN_N_DEFAULT = 6;          // measured: zgemm wins from n = 6 on
extern int matrixmath_blas_min_n;                         // 1..MATRIXMATH_DIM+1 (the latter: never BLAS)
extern std::atomic<unsigned long> matrixmath_mult_count;  // products formed by CMatMult (diagnostics)
void matrixmath_mult_plain(int n, const CMatrix& a, const CMatrix& b, CMatrix& out);
void matrixmath_mult_blas(int n, const CMatrix& a, const CMatrix& b, CMatrix& out);

// ---------------------------------------------------------------------------
// Hermitian eigensolver and spectral line lists.
//
// hermit embeds A = R + iJ into the real symmetric M = [[R, -J], [J, R]] of
// size N = 2n (up to MATRIXMATH_EIG_DIM), diagonalises M, sorts ascending and
// recovers one complex eigenvector per eigenvalue, orthonormalised within
// groups of equal eigenvalues. Small problems (n <= matrixmath_eig_jacobi_max_n)
// use Jacobi rotations iterated to convergence; larger ones use LAPACK dsyevd
// on the same embedding.
// ---------------------------------------------------------------------------
constexpr int MATRIXMATH_EIG_DIM = 2 * MATRIXMATH_DIM;  // 512
constexpr int MATRIXMATH_EIG_JACOBI_MAX_N_DEFAULT = 8;  // classical Jacobi is O(N^4): LAPACK above
constexpr double MATRIXMATH_JACOBI_TOL = 1e-12;
extern int matrixmath_eig_jacobi_max_n;  // 0: always LAPACK; MATRIXMATH_DIM: always Jacobi

// Real symmetric workspace row: 0-based, MATRIXMATH_EIG_DIM wide.
typedef double MatrixMathEigRow[MATRIXMATH_EIG_DIM];

// Eigenvalues d[0..N-1] and eigenvector columns of v for real symmetric a
// (0-based rows, MATRIXMATH_EIG_DIM wide); destroys a. Returns the number of
// rotations performed (-1 when the safety cap stopped it before convergence).
int jacobi_real_symmetric(int N, MatrixMathEigRow* a, double* d, MatrixMathEigRow* v);
// Selection sort of d[0..N-1] ascending, permuting the columns of v alike.
void sort_eigs(int N, double* d, MatrixMathEigRow* v);
// Orthonormalises the complex columns first_col..last_col (1-based) of the
// vector tables (row i = component i, 1-based, 257 wide).
void complex_gs_range(int n, int first_col, int last_col, double (*vecs_re)[MATRIXMATH_DIM + 1],
                      double (*vecs_im)[MATRIXMATH_DIM + 1]);
// Eigen-decomposition of Hermitian A: A*Z(:,j) = D[j]*Z(:,j), D[1..n]
// ascending (D holds MATRIXMATH_DIM + 1 entries). Z has orthonormal columns,
// also within degenerate eigenvalues. n is limited to 1..MATRIXMATH_DIM.
void hermit(int n, const CMatrix& A, CMatrix& Z, double* D);

// Line list: spc[1][k] amplitude, spc[2][k] frequency in Hz, k = 1..count.
constexpr int MATRIXMATH_MAX_LINES = 256;
typedef double SpectrumLineList[3][MATRIXMATH_DIM + 1];

// Cosine and sine line lists of densmat under static Hamiltonian Hmat (rad/s)
// detected with cohmat: one candidate per ordered eigenstate pair, merged
// within 0.05 Hz as found (first kept line wins, its frequency stays), at most
// MATRIXMATH_MAX_LINES distinct lines (further distinct ones are dropped),
// sorted by frequency. Nc/Ns (line counts) may be null; the lists are merged
// and sorted either way, entries beyond the count are 0.
void DoSpectrum(int n, const CMatrix& densmat, const CMatrix& Hmat, const CMatrix& cohmat, SpectrumLineList csp,
                SpectrumLineList ssp, int* Nc, int* Ns);
// Merges lines closer than 0.05 Hz and sorts by frequency. Npeaks may be null.
void SortSpectrum(int* Npeaks, SpectrumLineList spc);
void zero_spectrum(SpectrumLineList spc);
