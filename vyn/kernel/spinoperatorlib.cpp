// Product basis enumeration and spin operator matrices.
#include "spinoperatorlib.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

SpinKet spinop_plus_scratch;
SpinKet spinop_min_scratch;
CMatrix spinop_p, spinop_m;    // ladder matrices for Ix/Iy/Iz
CMatrix spinop_pm, spinop_mp;  // their products for Iz
CMatrix spinop_total_term;     // one term of a total

// Recursive enumeration state of MakeKets.
int spinop_cur[SPINOP_MAX_SPINS + 1];
int spinop_counter;

void spinop_enumerate(SpinKetRow* ket, const int* Ilist, int s, int N) {
    for (int twom = Ilist[s]; twom >= -Ilist[s]; twom -= 2) {
        spinop_cur[s] = twom;
        if (s == N) {
            ++spinop_counter;
            for (int k = 1; k <= N; ++k) ket[spinop_counter][k] = spinop_cur[k];
        } else {
            spinop_enumerate(ket, Ilist, s + 1, N);
        }
    }
}

bool spinop_valid_spin(const int* Ilist, int Xspin) { return Ilist && Xspin >= 1 && Xspin <= SPINOP_MAX_SPINS; }

bool spinop_valid_state(int state) { return state >= 1 && state <= MATRIXMATH_DIM; }

bool spinop_valid_dim(int n) { return n >= 1 && n <= MATRIXMATH_DIM; }

// 1-based position of ket k in the MakeKets enumeration of Ilist; 0 when k
// is not a state of it.
int spinop_ket_index(const int* Ilist, const int* k, int nspins) {
    int index = 0;
    for (int s = 1; s <= nspins; ++s) {
        const int twoI = Ilist[s], step = twoI - k[s];
        if (step < 0 || step > 2 * twoI || step % 2) return 0;
        index = index * (twoI + 1) + step / 2;
    }
    return index + 1;
}

// Matrix of I+ (plus) or I- of spin Xspin: element (k, l) is the coefficient
// of the ladder operator on state l where the result equals state k. The
// operator is applied once per state l (not once per element), then the
// matching states are looked up; the elements are those InproductIplus /
// inproductImin give.
void spinop_make_ladder(bool plus, const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& out) {
    if (!spinop_valid_dim(n) || !Ilist || !ket) return;
    CMatZero(n, out);
    SpinKetRow* scratch = plus ? spinop_plus_scratch : spinop_min_scratch;
    const int nspins = spinop_count_spins(Ilist);
    for (int l = 1; l <= n; ++l) {
        std::memset(scratch[l], 0, sizeof(SpinKetRow));
        double coef = 0.0;
        if (plus)
            operateIplus(Ilist, l, Xspin, ket, scratch, &coef);
        else
            operateImin(Ilist, l, Xspin, ket, scratch, &coef);
        if (coef == 0.0) continue;
        // The state where MakeKets puts this ket (spin 1 slowest, 2m from +2I
        // down), taken when it holds it; else every state is compared.
        const int k0 = spinop_ket_index(Ilist, scratch[l], nspins);
        if (k0 >= 1 && k0 <= n && ket_equal(ket[k0], scratch[l], nspins)) {
            out(k0, l) = std::complex<double>(coef, 0.0);
            continue;
        }
        for (int k = 1; k <= n; ++k)
            if (ket_equal(ket[k], scratch[l], nspins)) out(k, l) = std::complex<double>(coef, 0.0);
    }
}

SpinOpPattern spinop_pattern_b, spinop_pattern_a;

std::vector<std::complex<double>> spinop_row;
std::vector<int> spinop_touched;
std::vector<char> spinop_mark;

typedef void (*SpinOpMatrixFn)(const int*, const SpinKetRow*, int, int, CMatrix&);

void spinop_make_total(SpinOpMatrixFn single, int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm,
                       CMatrix& out) {
    if (!spinop_valid_dim(n)) return;
    CMatZero(n, out);
    if (Nspins > SPINOP_MAX_SPINS) Nspins = SPINOP_MAX_SPINS;
    for (int s = 1; s <= Nspins; ++s) {
        CMatZero(n, spinop_total_term);
        single(Ilist, ket, n, s, spinop_total_term);
        if (Norm == 1) NormCMatrix(n, spinop_total_term);
        CMatAdd(n, out, spinop_total_term, out);
    }
}

}  // namespace

// out = a b for a with few nonzero elements per row (ladder matrices: at most
// one), summed in the order of k; with a single term per element this is
// exactly the value a dense product gives.
void spinop_pattern(int n, const CMatrix& m, SpinOpPattern& p) {
    p.start.assign(n + 1, 0);
    p.col.clear();
    for (int k = 1; k <= n; ++k) {
        for (int j = 1; j <= n; ++j)
            if (m(k, j) != 0.0) p.col.push_back(j);
        p.start[k] = static_cast<int>(p.col.size());
    }
}

void spinop_sparse_mult(int n, const CMatrix& a, const CMatrix& b, CMatrix& out) {
    CMatZero(n, out);
    const SpinOpPattern& pb = spinop_pattern_b;
    spinop_pattern(n, b, spinop_pattern_b);
    for (int i = 1; i <= n; ++i)
        for (int k = 1; k <= n; ++k) {
            const std::complex<double> aik = a(i, k);
            if (aik == 0.0) continue;
            for (int t = pb.start[k - 1]; t < pb.start[k]; ++t) out(i, pb.col[t]) += aik * b(k, pb.col[t]);
        }
}

void spinop_sparse_mult_add(int n, const CMatrix& a, const CMatrix& b, double factor, CMatrix& acc) {
    spinop_pattern(n, a, spinop_pattern_a);
    spinop_pattern(n, b, spinop_pattern_b);
    spinop_sparse_mult_add(n, a, spinop_pattern_a, b, spinop_pattern_b, factor, acc);
}

void spinop_sparse_mult_add(int n, const CMatrix& a, const SpinOpPattern& pa, const CMatrix& b, const SpinOpPattern& pb,
                            double factor, CMatrix& acc) {
    spinop_row.assign(n + 1, std::complex<double>(0.0, 0.0));
    spinop_mark.assign(n + 1, 0);
    for (int i = 1; i <= n; ++i) {
        spinop_touched.clear();
        for (int s = pa.start[i - 1]; s < pa.start[i]; ++s) {
            const int k = pa.col[s];
            const std::complex<double> aik = a(i, k);
            for (int t = pb.start[k - 1]; t < pb.start[k]; ++t) {
                const int j = pb.col[t];
                if (!spinop_mark[j]) {
                    spinop_mark[j] = 1;
                    spinop_row[j] = 0.0;
                    spinop_touched.push_back(j);
                }
                spinop_row[j] += aik * b(k, j);
            }
        }
        for (int j : spinop_touched) {
            spinop_mark[j] = 0;
            if (spinop_row[j] != 0.0) acc(i, j) = 1.0 * acc(i, j) + factor * spinop_row[j];
        }
    }
}

int spinop_count_spins(const int* Ilist) {
    if (!Ilist) return 0;
    int N = 0;
    for (int s = 1; s <= SPINOP_MAX_SPINS; ++s)
        if (Ilist[s] > 0) N = s;
    return N;
}

int spinop_count_states(const int* Ilist) {
    const int N = spinop_count_spins(Ilist);
    if (N == 0) return 0;
    int states = 1;
    for (int s = 1; s <= N; ++s) {
        if (Ilist[s] < 0) return 0;
        // Compare without forming Ilist[s] + 1 (INT_MAX would overflow):
        // Ilist[s] + 1 > q is Ilist[s] >= q for integers.
        if (Ilist[s] >= MATRIXMATH_DIM / states) return 0;
        states *= Ilist[s] + 1;
    }
    return states;
}

void MakeKets(SpinKetRow* ket, const int* Ilist) {
    if (!ket || !Ilist) return;
    std::memset(ket, 0, sizeof(SpinKet));
    const int N = spinop_count_spins(Ilist);
    if (N == 0) return;
    if (spinop_count_states(Ilist) == 0) {
        std::fprintf(stderr, "MakeKets: too many states for Nspins=%d (max %d)\n", N, MATRIXMATH_DIM);
        return;
    }
    spinop_counter = 0;
    std::memset(spinop_cur, 0, sizeof(spinop_cur));
    spinop_enumerate(ket, Ilist, 1, N);
}

void operateIplus(const int* Ilist, int Xstate, int Xspin, const SpinKetRow* inket, SpinKetRow* outket,
                  double* coefficient) {
    *coefficient = 0.0;
    if (!spinop_valid_spin(Ilist, Xspin) || !spinop_valid_state(Xstate)) return;
    for (int s = 1; s <= SPINOP_MAX_SPINS; ++s) outket[Xstate][s] = inket[Xstate][s];
    const int twoI = Ilist[Xspin];
    const int twom = inket[Xstate][Xspin];
    if (twoI > twom + 1) {
        outket[Xstate][Xspin] = twom + 2;
        const double a = (twoI - twom) / 2.0, b = (twoI + twom + 2) / 2.0;
        const double prod = a * b;
        *coefficient = prod > 0.0 ? std::sqrt(prod) : 0.0;
    }
}

void operateImin(const int* Ilist, int Xstate, int Xspin, const SpinKetRow* inket, SpinKetRow* outket,
                 double* coefficient) {
    *coefficient = 0.0;
    if (!spinop_valid_spin(Ilist, Xspin) || !spinop_valid_state(Xstate)) return;
    for (int s = 1; s <= SPINOP_MAX_SPINS; ++s) outket[Xstate][s] = inket[Xstate][s];
    const int twoI = Ilist[Xspin];
    const int twom = inket[Xstate][Xspin];
    if (twom - 1 > -twoI) {
        outket[Xstate][Xspin] = twom - 2;
        const double a = (twom + twoI) / 2.0, b = (twoI - twom + 2) / 2.0;
        const double prod = a * b;
        *coefficient = prod > 0.0 ? std::sqrt(prod) : 0.0;
    }
}

int ket_equal(const int* a_row, const int* b_row, int Nspins) {
    for (int s = 1; s <= Nspins && s <= SPINOP_MAX_SPINS; ++s)
        if (a_row[s] != b_row[s]) return 0;
    return 1;
}

namespace {
void spinop_inproduct(bool plus, const int* Ilist, const SpinKetRow* ket, int Brastate, int Ketstate, int Xspin,
                      double* element1, double* element2) {
    *element1 = 0.0;
    *element2 = 0.0;
    if (!spinop_valid_state(Brastate) || !spinop_valid_state(Ketstate)) return;
    SpinKetRow* scratch = plus ? spinop_plus_scratch : spinop_min_scratch;
    std::memset(scratch[Ketstate], 0, sizeof(SpinKetRow));
    double coef = 0.0;
    if (plus)
        operateIplus(Ilist, Ketstate, Xspin, ket, scratch, &coef);
    else
        operateImin(Ilist, Ketstate, Xspin, ket, scratch, &coef);
    if (coef == 0.0) return;
    if (ket_equal(ket[Brastate], scratch[Ketstate], spinop_count_spins(Ilist))) *element1 = coef;
}
}  // namespace

void InproductIplus(const int* Ilist, const SpinKetRow* ket, int Brastate, int Ketstate, int Xspin, double* element1,
                    double* element2) {
    spinop_inproduct(true, Ilist, ket, Brastate, Ketstate, Xspin, element1, element2);
}

void inproductImin(const int* Ilist, const SpinKetRow* ket, int Brastate, int Ketstate, int Xspin, double* element1,
                   double* element2) {
    spinop_inproduct(false, Ilist, ket, Brastate, Ketstate, Xspin, element1, element2);
}

void MakeMatrixIplus(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matrixIp) {
    spinop_make_ladder(true, Ilist, ket, n, Xspin, matrixIp);
}

void MakeMatrixImin(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matrixIm) {
    spinop_make_ladder(false, Ilist, ket, n, Xspin, matrixIm);
}

void MakeMatrixIx(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIx) {
    if (!spinop_valid_dim(n)) return;
    MakeMatrixIplus(Ilist, ket, n, Xspin, spinop_p);
    MakeMatrixImin(Ilist, ket, n, Xspin, spinop_m);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            matIx(r, c) = std::complex<double>(0.5 * (spinop_p.re(r, c) + spinop_m.re(r, c)), 0.0);
}

void MakeMatrixIy(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIy) {
    if (!spinop_valid_dim(n)) return;
    MakeMatrixIplus(Ilist, ket, n, Xspin, spinop_p);
    MakeMatrixImin(Ilist, ket, n, Xspin, spinop_m);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            matIy(r, c) = std::complex<double>(0.0, 0.5 * (spinop_m.re(r, c) - spinop_p.re(r, c)));
}

void MakeMatrixIz(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIz) {
    if (!spinop_valid_dim(n)) return;
    MakeMatrixIplus(Ilist, ket, n, Xspin, spinop_p);
    MakeMatrixImin(Ilist, ket, n, Xspin, spinop_m);
    // [I+, I-] / 2 with sparse products (one term per element).
    spinop_sparse_mult(n, spinop_p, spinop_m, spinop_pm);
    spinop_sparse_mult(n, spinop_m, spinop_p, spinop_mp);
    CMatRMultAdd(n, spinop_pm, 1.0, spinop_mp, -1.0, matIz);
    RMultCMat(n, 0.5, matIz, matIz);
}

void MakeTotalIx(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Ixtot) {
    spinop_make_total(MakeMatrixIx, n, Nspins, ket, Ilist, Norm, Ixtot);
}

void MakeTotalIy(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Iytot) {
    spinop_make_total(MakeMatrixIy, n, Nspins, ket, Ilist, Norm, Iytot);
}

void MakeTotalIz(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Iztot) {
    spinop_make_total(MakeMatrixIz, n, Nspins, ket, Ilist, Norm, Iztot);
}
