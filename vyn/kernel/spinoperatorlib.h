// Spin operators on the product basis of up to eight spins.
//
// SpinIList: 2I per spin, entries 1..8 (entry 0 unused).
// SpinKet:   basis table, entry (state, s) = 2m of spin s in basis state
//            `state` (1..n); state 1 has every spin at m = +I, the first spin
//            varies slowest. Row 0 and spins beyond the system are 0.
// Matrix elements come from applying a ladder operator to a basis state and
// comparing with the other basis state, so any mix of spin quantum numbers
// works. The module keeps scratch tables/matrices and is not reentrant.
#pragma once

#include <vector>

#include "matrixmathlib.h"

constexpr int SPINOP_MAX_SPINS = 8;

typedef int SpinIList[SPINOP_MAX_SPINS + 1];
typedef int SpinKet[MATRIXMATH_DIM + 1][SPINOP_MAX_SPINS + 1];
typedef int SpinKetRow[SPINOP_MAX_SPINS + 1];

// Number of spins of an Ilist: the highest s in 1..8 with Ilist[s] > 0.
int spinop_count_spins(const int* Ilist);
// Number of states of an Ilist: product of (Ilist[s] + 1) over the counted
// spins; 0 when some entry is negative or the product exceeds MATRIXMATH_DIM.
int spinop_count_states(const int* Ilist);

// Fills the basis table (see above). Either argument null: nothing happens.
void MakeKets(SpinKetRow* ket, const int* Ilist);

// Applies I+ (I-) of spin Xspin to row Xstate of inket; the resulting state
// goes into row Xstate of outket and its coefficient into *coefficient (0
// when the operator annihilates the state; outket row is then a plain copy).
void operateIplus(const int* Ilist, int Xstate, int Xspin, const SpinKetRow* inket, SpinKetRow* outket,
                  double* coefficient);
void operateImin(const int* Ilist, int Xstate, int Xspin, const SpinKetRow* inket, SpinKetRow* outket,
                 double* coefficient);

// 1 if entries 1..Nspins of the two rows agree, else 0.
int ket_equal(const int* a_row, const int* b_row, int Nspins);

// <Brastate| I+(Xspin) |Ketstate> as real part element1, imaginary element2.
void InproductIplus(const int* Ilist, const SpinKetRow* ket, int Brastate, int Ketstate, int Xspin, double* element1,
                    double* element2);
void inproductImin(const int* Ilist, const SpinKetRow* ket, int Brastate, int Ketstate, int Xspin, double* element1,
                   double* element2);

// Single-spin operators of spin Xspin in the full n-state basis.
void MakeMatrixIplus(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matrixIp);
void MakeMatrixImin(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matrixIm);
void MakeMatrixIx(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIx);
void MakeMatrixIy(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIy);
void MakeMatrixIz(const int* Ilist, const SpinKetRow* ket, int n, int Xspin, CMatrix& matIz);

// Sums over spins 1..Nspins; Norm = 1 scales each term to unit Frobenius
// norm first, any other value adds them unnormalised.
// out = a b for a with few non-zero elements per row (single-spin operators):
// zero elements of a are skipped, sums run in the order of k, so a single term
// per element gives exactly the value of a dense product; O(n^2) per product.
void spinop_sparse_mult(int n, const CMatrix& a, const CMatrix& b, CMatrix& out);
// acc = 1 acc + factor (a b) element by element, as CMatRMultAdd(n, acc, 1,
// ab, factor, acc) after spinop_sparse_mult(n, a, b, ab) computes it, with
// the same values; only the nonzero elements of a b are visited (adding a
// zero product leaves an element as it is).
void spinop_sparse_mult_add(int n, const CMatrix& a, const CMatrix& b, double factor, CMatrix& acc);
// The nonzero columns of the rows of a matrix: row k's are col[start[k - 1]
// .. start[k] - 1], ascending. With the patterns of a and b given (operators
// used in many products), the product-and-add does not scan them again.
struct SpinOpPattern {
    std::vector<int> start, col;
};
void spinop_pattern(int n, const CMatrix& m, SpinOpPattern& p);
void spinop_sparse_mult_add(int n, const CMatrix& a, const SpinOpPattern& pa, const CMatrix& b, const SpinOpPattern& pb,
                            double factor, CMatrix& acc);

void MakeTotalIx(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Ixtot);
void MakeTotalIy(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Iytot);
void MakeTotalIz(int n, int Nspins, const SpinKetRow* ket, const int* Ilist, int Norm, CMatrix& Iztot);
