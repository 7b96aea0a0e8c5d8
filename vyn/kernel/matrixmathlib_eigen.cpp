// Hermitian eigensolver (real embedding) and spectral line lists.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "matrixmathlib.h"

extern "C" void dsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
                        double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t jobz_len,
                        std::size_t uplo_len);

int matrixmath_eig_jacobi_max_n = MATRIXMATH_EIG_JACOBI_MAX_N_DEFAULT;

namespace {

constexpr int EN = MATRIXMATH_EIG_DIM;
constexpr int VD = MATRIXMATH_DIM + 1;

// Real embedding workspace: matrix, eigenvectors (columns), eigenvalues.
MatrixMathEigRow eig_a[EN];
MatrixMathEigRow eig_v[EN];
double eig_d[EN];

// LAPACK workspace for N = EN: column-major matrix, lwork = 1 + 6N + 2N^2, liwork = 3 + 5N.
constexpr int LAPACK_LWORK = 1 + 6 * EN + 2 * EN * EN;
constexpr int LAPACK_LIWORK = 3 + 5 * EN;
double lapack_a[EN * EN];
double lapack_work[LAPACK_LWORK];
int lapack_iwork[LAPACK_LIWORK];

// Complex eigenvector tables: row i = component i, column j = vector j (1-based).
double vec_re[VD][VD];
double vec_im[VD][VD];
double vec_val[VD];

// DoSpectrum scratch.
CMatrix spec_rot, spec_rot_adj, spec_sig, spec_sto;
double spec_e[VD];

// A Jacobi run far beyond this many rotations is not converging.
int jacobi_rotation_cap(int N) { return 100 * N * N + 1000; }

// Diagonalises the embedding in eig_a with LAPACK; eigenvalues ascending into
// eig_d, eigenvector columns into eig_v. Returns false when LAPACK failed.
bool mm_lapack_symmetric(int N) {
    // M is symmetric, so the row-major workspace reads the same column-major.
    for (int i = 0; i < N; ++i) std::memcpy(&lapack_a[static_cast<std::size_t>(i) * N], eig_a[i], sizeof(double) * N);
    const char jobz = 'V', uplo = 'U';
    const int lwork = 1 + 6 * N + 2 * N * N, liwork = 3 + 5 * N;
    int info = 0;
    dsyevd_(&jobz, &uplo, &N, lapack_a, &N, eig_d, lapack_work, &lwork, lapack_iwork, &liwork, &info, 1, 1);
    if (info != 0) return false;
    for (int j = 0; j < N; ++j) {
        const double* col = &lapack_a[static_cast<std::size_t>(j) * N];
        for (int i = 0; i < N; ++i) eig_v[i][j] = col[i];
    }
    return true;
}

// Copies real eigenvector column `col` of eig_v into complex vector slot `slot`.
void mm_take_vector(int n, int col, int slot, double value) {
    for (int i = 0; i < n; ++i) {
        vec_re[i + 1][slot] = eig_v[i][col];
        vec_im[i + 1][slot] = eig_v[n + i][col];
    }
    vec_val[slot] = value;
}

// Removes from column j of (re, im) its components along the orthonormal
// columns first..j-1 and returns the Euclidean norm that remains.
double mm_project_out(int n, int first, int j, double (*re)[VD], double (*im)[VD]) {
    for (int k = first; k < j; ++k) {
        double dr = 0.0, di = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double ar = re[i][k], ai = im[i][k], br = re[i][j], bi = im[i][j];
            dr += ar * br + ai * bi;
            di += ar * bi - ai * br;
        }
        for (int i = 1; i <= n; ++i) {
            const double ar = re[i][k], ai = im[i][k];
            re[i][j] -= dr * ar - di * ai;
            im[i][j] -= dr * ai + di * ar;
        }
    }
    double s = 0.0;
    for (int i = 1; i <= n; ++i) s += re[i][j] * re[i][j] + im[i][j] * im[i][j];
    return std::sqrt(s);
}

void mm_scale_vector(int n, int j, double f, double (*re)[VD], double (*im)[VD]) {
    for (int i = 1; i <= n; ++i) {
        re[i][j] *= f;
        im[i][j] *= f;
    }
}

// Real embedding [[R, -J], [J, R]] of the n x n complex matrix A into eig_a.
void mm_embed(int n, const CMatrix& A) {
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double re = A.re(r + 1, c + 1), im = A.im(r + 1, c + 1);
            eig_a[r][c] = re;
            eig_a[r][n + c] = -im;
            eig_a[n + r][c] = im;
            eig_a[n + r][n + c] = re;
        }
}

// Takes eigenvector column c into slot, orthogonal to slots first..slot-1;
// true (slot normalised) when enough of it remains to be a new vector.
bool mm_accept_candidate(int n, int c, int first, int slot, double value) {
    mm_take_vector(n, c, slot, value);
    const double rest = mm_project_out(n, first, slot, vec_re, vec_im);
    if (rest > 1e-6) {
        mm_scale_vector(n, slot, 1.0 / rest, vec_re, vec_im);
        return true;
    }
    return false;
}

}  // namespace

int jacobi_real_symmetric(int N, MatrixMathEigRow* a, double* d, MatrixMathEigRow* v) {
    if (N > EN) N = EN;  // rows are EN wide: never reach beyond them
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) v[i][j] = (i == j) ? 1.0 : 0.0;

    const int cap = jacobi_rotation_cap(N);
    int rotations = 0;
    bool converged = false;
    while (rotations < cap) {
        int p = 0, q = 1;
        double max_off = -1.0;
        for (int i = 0; i < N; ++i)
            for (int j = i + 1; j < N; ++j) {
                const double x = std::fabs(a[i][j]);
                if (x > max_off) {
                    max_off = x;
                    p = i;
                    q = j;
                }
            }
        if (max_off < MATRIXMATH_JACOBI_TOL) {  // also N < 2: nothing to rotate
            converged = true;
            break;
        }
        const double app = a[p][p], aqq = a[q][q], apq = a[p][q];
        const double tau = (aqq - app) / (2.0 * apq);
        const double t = sign(1.0, tau) / (std::fabs(tau) + std::sqrt(tau * tau + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        a[p][p] = app - t * apq;
        a[q][q] = aqq + t * apq;
        a[p][q] = a[q][p] = 0.0;
        for (int k = 0; k < N; ++k) {
            if (k == p || k == q) continue;
            const double x = a[p][k], y = a[q][k];
            a[p][k] = a[k][p] = c * x - s * y;
            a[q][k] = a[k][q] = c * y + s * x;
        }
        for (int i = 0; i < N; ++i) {
            const double x = v[i][p], y = v[i][q];
            v[i][p] = c * x - s * y;
            v[i][q] = c * y + s * x;
        }
        ++rotations;
    }
    for (int i = 0; i < N; ++i) d[i] = a[i][i];
    return converged ? rotations : -1;
}

void sort_eigs(int N, double* d, MatrixMathEigRow* v) {
    if (N > EN) N = EN;
    for (int i = 0; i < N - 1; ++i) {
        int jmin = i;
        for (int j = i + 1; j < N; ++j)
            if (d[j] < d[jmin]) jmin = j;
        if (jmin == i) continue;
        const double t = d[i];
        d[i] = d[jmin];
        d[jmin] = t;
        for (int r = 0; r < N; ++r) {
            const double x = v[r][i];
            v[r][i] = v[r][jmin];
            v[r][jmin] = x;
        }
    }
}

void complex_gs_range(int n, int first_col, int last_col, double (*vecs_re)[MATRIXMATH_DIM + 1],
                      double (*vecs_im)[MATRIXMATH_DIM + 1]) {
    if (n > MATRIXMATH_DIM) n = MATRIXMATH_DIM;
    if (first_col < 1) first_col = 1;
    if (last_col > MATRIXMATH_DIM) last_col = MATRIXMATH_DIM;
    for (int j = first_col; j <= last_col; ++j) {
        const double norm = mm_project_out(n, first_col, j, vecs_re, vecs_im);
        mm_scale_vector(n, j, norm > 0.0 ? 1.0 / norm : 0.0, vecs_re, vecs_im);
    }
}

void hermit(int n, const CMatrix& A, CMatrix& Z, double* D) {
    if (n < 1) return;
    if (n > MATRIXMATH_DIM) n = MATRIXMATH_DIM;
    const int N = 2 * n;

    // 1. Real embedding M = [[R, -J], [J, R]].
    for (int i = 0; i < N; ++i) std::memset(eig_a[i], 0, sizeof(double) * N);
    mm_embed(n, A);

    // 2. Diagonalise and sort ascending.
    if (n > matrixmath_eig_jacobi_max_n && mm_lapack_symmetric(N)) {
        // eigenvalues already ascending; the sort keeps them in place
    } else {
        if (n > matrixmath_eig_jacobi_max_n) {  // LAPACK failed: rebuild the embedding for Jacobi
            mm_embed(n, A);
        }
        jacobi_real_symmetric(N, eig_a, eig_d, eig_v);
    }
    sort_eigs(N, eig_d, eig_v);

    // 3. One complex vector per eigenvalue pair, orthonormal within groups.
    for (int i = 0; i < VD; ++i) {
        std::memset(vec_re[i], 0, sizeof(vec_re[i]));
        std::memset(vec_im[i], 0, sizeof(vec_im[i]));
    }
    std::memset(vec_val, 0, sizeof(vec_val));
    int taken = 0;
    int col = 0;
    while (col < N && taken < n) {
        const double lam = eig_d[col];
        int g = 1;
        while (col + g < N) {
            const double lam2 = eig_d[col + g];
            if (std::fabs(lam2 - lam) <= (std::fabs(lam2) + std::fabs(lam) + 1.0) * 1e-9 + 1e-12)
                ++g;
            else
                break;
        }
        int multiplicity = (g + 1) / 2;
        if (multiplicity < 1) multiplicity = 1;
        if (multiplicity > n - taken) multiplicity = n - taken;

        // Preferred columns col, col+2, ...; a preferred column may stand for
        // the same complex vector as an earlier one (its partner (-w; u)), in
        // which case the remaining group columns stand in for it.
        const int first_slot = taken + 1;
        int accepted = 0;
        for (int m = 0; m < multiplicity; ++m) {
            const int c = (col + 2 * m < col + g) ? col + 2 * m : col + m;
            if (mm_accept_candidate(n, c, first_slot, first_slot + accepted, lam)) ++accepted;
        }
        for (int c = col; c < col + g && accepted < multiplicity; ++c) {
            if (mm_accept_candidate(n, c, first_slot, first_slot + accepted, lam)) ++accepted;
        }
        if (accepted > 0) complex_gs_range(n, first_slot, first_slot + accepted - 1, vec_re, vec_im);
        for (int i = 1; i <= n; ++i) {  // clear a rejected candidate left in the next slot
            if (first_slot + accepted <= MATRIXMATH_DIM) {
                vec_re[i][first_slot + accepted] = 0.0;
                vec_im[i][first_slot + accepted] = 0.0;
            }
        }
        taken += accepted;
        col += g;
    }

    // 4. Fill missing slots from the start of the sorted list.
    for (int c = 0; taken < n && c < N; ++c) {
        ++taken;
        mm_take_vector(n, c, taken, eig_d[c]);
        const double nrm = mm_project_out(n, taken, taken, vec_re, vec_im);
        if (nrm > 0.0) mm_scale_vector(n, taken, 1.0 / nrm, vec_re, vec_im);
    }

    // 5. Z(i, j) = component i of vector j.
    CMatZero(n, Z);
    for (int j = 1; j <= n; ++j) {
        D[j] = vec_val[j];
        for (int i = 1; i <= n; ++i) Z(i, j) = std::complex<double>(vec_re[i][j], vec_im[i][j]);
    }
}

void zero_spectrum(SpectrumLineList spc) {
    for (int k = 1; k <= MATRIXMATH_MAX_LINES; ++k) {
        spc[1][k] = 0.0;
        spc[2][k] = 0.0;
    }
}

namespace {

// Adds a candidate line to a merged list of *count lines: its amplitude goes to
// the first kept line within 0.05 Hz (that line's frequency does not move);
// otherwise it becomes a new line while fewer than MATRIXMATH_MAX_LINES are
// kept, and is dropped once the list is full.
void mm_merge_line(SpectrumLineList spc, int* count, double amp, double f) {
    for (int j = 1; j <= *count; ++j)
        if (spc[2][j] - 0.05 <= f && f <= spc[2][j] + 0.05) {
            spc[1][j] += amp;
            return;
        }
    if (*count >= MATRIXMATH_MAX_LINES) return;
    ++*count;
    spc[1][*count] = amp;
    spc[2][*count] = f;
}

// Bubble sort of lines 1..count by frequency (a pair with equal frequencies
// is swapped as well).
void mm_sort_lines(SpectrumLineList spc, int count) {
    for (int k = 1; k <= count; ++k)
        for (int i = 2; i <= count - k + 1; ++i)
            if (spc[2][i - 1] >= spc[2][i]) {
                const double ta = spc[1][i - 1], tf = spc[2][i - 1];
                spc[1][i - 1] = spc[1][i];
                spc[2][i - 1] = spc[2][i];
                spc[1][i] = ta;
                spc[2][i] = tf;
            }
}

}  // namespace

void DoSpectrum(int n, const CMatrix& densmat, const CMatrix& Hmat, const CMatrix& cohmat, SpectrumLineList csp,
                SpectrumLineList ssp, int* Nc, int* Ns) {
    zero_spectrum(csp);
    zero_spectrum(ssp);
    if (n < 1 || n > MATRIXMATH_DIM) {  // no basis: empty lists
        if (Nc) *Nc = 0;
        if (Ns) *Ns = 0;
        return;
    }
    CMatZero(n, spec_rot);
    CMatZero(n, spec_rot_adj);
    CMatZero(n, spec_sig);
    CMatZero(n, spec_sto);

    hermit(n, Hmat, spec_rot, spec_e);
    Adjungate(n, spec_rot, spec_rot_adj);
    Transform(n, spec_rot_adj, densmat, spec_rot, spec_sig);
    Transform(n, spec_rot_adj, cohmat, spec_rot, spec_sto);

    // Up to n(n-1) candidate lines: each is merged into the list as it is
    // found, so the 256 slots hold distinct lines and no transition is lost
    // however many candidates a large system has. Merging in candidate order
    // gives the same lists as collecting first and merging afterwards.
    const double two_pi = 2.0 * pi_val();
    int nc = 0, ns = 0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            if (r == c) continue;
            const double dE = spec_e[c] - spec_e[r];
            const double f = std::fabs(dE) / two_pi;
            const std::complex<double> z = spec_sto(r, c) * spec_sig(c, r);
            if (std::fabs(z.real()) > 1e-12) mm_merge_line(csp, &nc, z.real(), f);
            double a = z.imag();
            if (dE < 0.0) a = -a;
            if (std::fabs(a) > 1e-12) mm_merge_line(ssp, &ns, a, f);
        }
    mm_sort_lines(csp, nc);
    mm_sort_lines(ssp, ns);
    if (Nc) *Nc = nc;
    if (Ns) *Ns = ns;
}

void SortSpectrum(int* Npeaks, SpectrumLineList spc) {
    if (Npeaks == nullptr || *Npeaks < 2) return;
    const int old_count = *Npeaks > MATRIXMATH_MAX_LINES ? MATRIXMATH_MAX_LINES : *Npeaks;
    double amp[MATRIXMATH_MAX_LINES + 1];
    double freq[MATRIXMATH_MAX_LINES + 1];
    int count = 1;
    amp[1] = spc[1][1];
    freq[1] = spc[2][1];
    for (int i = 2; i <= old_count; ++i) {
        const double f = spc[2][i];
        int match = 0;
        for (int j = 1; j <= count; ++j)
            if (freq[j] - 0.05 <= f && f <= freq[j] + 0.05) {
                match = j;
                break;
            }
        if (match) {
            amp[match] += spc[1][i];
        } else if (count < MATRIXMATH_MAX_LINES) {
            ++count;
            amp[count] = spc[1][i];
            freq[count] = f;
        }
    }
    for (int k = 1; k <= count; ++k) {
        spc[1][k] = amp[k];
        spc[2][k] = freq[k];
    }
    for (int k = count + 1; k <= old_count; ++k) {
        spc[1][k] = 0.0;
        spc[2][k] = 0.0;
    }
    mm_sort_lines(spc, count);
    *Npeaks = count;
}
