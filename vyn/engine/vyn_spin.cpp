// Spin-system group of the engine: reset, interactive definition, the build
// route from the model-bound inputs, and the Hamiltonians.
#include <climits>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"
#include "vyn.h"

namespace {

// Engine scratch for the spin-system builders.
CMatrix vs_work;  // accumulates a Hamiltonian
CMatrix vs_op_a;

double vs_two_pi() { return 2.0 * pi_val(); }

// Formatted reads from standard input. 1: value read; 0: unreadable token,
// rest of the line discarded; -1: end of input.
int vs_read_int(int* out) {
    const int r = consule_read_int(out);
    if (r != 0) return r;
    consule_discard_line();
    return consule_at_end() ? -1 : 0;
}

int vs_read_double(double* out) {
    const int r = consule_read_double(out);
    if (r != 0) return r;
    consule_discard_line();
    return consule_at_end() ? -1 : 0;
}

// Product of (2I + 1) over spins 1..nspins, saturated at INT_MAX so that
// absurd quantum numbers cannot overflow. A factor below 1 is reported
// through *bad_spin (first such spin), else *bad_spin is 0.
long long vs_state_count(const int* twoI, int nspins, int* bad_spin) {
    long long n = 1;
    *bad_spin = 0;
    for (int s = 1; s <= nspins; ++s) {
        const long long f = static_cast<long long>(twoI[s]) + 1;
        if (f < 1 && *bad_spin == 0) *bad_spin = s;
        n *= f;
        if (n > INT_MAX) n = INT_MAX;
        if (n < INT_MIN) n = INT_MIN;
    }
    return n;
}

bool vs_dim_ok(int n) { return n >= 1 && n <= MATRIXMATH_DIM; }

int vs_clamp_spins(int nspins) {
    if (nspins < 0) return 0;
    return nspins > VYN_MAX_SPINS ? VYN_MAX_SPINS : nspins;
}

// Single-spin operators of the current basis, built once per build:
// vs_ops[s - 1][0..2] = Ix(s), Iy(s), Iz(s).
CMatrix vs_ops[VYN_MAX_SPINS][3];
SpinOpPattern vs_patterns[VYN_MAX_SPINS][3];  // their nonzero elements
enum { VS_IX = 0, VS_IY = 1, VS_IZ = 2 };

void vs_prepare_ops() {
    VYNSpinState& S = vyn_spin;
    for (int s = 1; s <= vs_clamp_spins(S.Nspins); ++s) {
        MakeMatrixIx(S.Ilist, S.ket, S.n, s, vs_ops[s - 1][VS_IX]);
        MakeMatrixIy(S.Ilist, S.ket, S.n, s, vs_ops[s - 1][VS_IY]);
        MakeMatrixIz(S.Ilist, S.ket, S.n, s, vs_ops[s - 1][VS_IZ]);
        for (int w = 0; w < 3; ++w) spinop_pattern(S.n, vs_ops[s - 1][w], vs_patterns[s - 1][w]);
    }
}

// acc += factor * op(k) * op(l).
void vs_add_pair_term(int which, int k, int l, double factor, CMatrix& acc) {
    VYNSpinState& S = vyn_spin;
    spinop_sparse_mult_add(S.n, vs_ops[k - 1][which], vs_patterns[k - 1][which], vs_ops[l - 1][which],
                           vs_patterns[l - 1][which], factor, acc);
}

// Coupling term of pair (k, l) with j in rad/s into acc (operators prepared).
void vs_add_coupling(int k, int l, double j, bool exact, CMatrix& acc) {
    if (exact) {
        vs_add_pair_term(VS_IX, k, l, j, acc);
        vs_add_pair_term(VS_IY, k, l, j, acc);
    }
    vs_add_pair_term(VS_IZ, k, l, j, acc);
}

// densmat = sum over spins of relspinamp[s] * Iz(s) / ||Iz(s)|| (operators prepared).
void vs_build_boltzmann() {
    VYNSpinState& S = vyn_spin;
    CMatZero(S.n, S.densmat);
    for (int s = 1; s <= vs_clamp_spins(S.Nspins); ++s) {
        CopyCMatrix(S.n, vs_ops[s - 1][VS_IZ], vs_op_a);
        NormCMatrix(S.n, vs_op_a);
        CMatRMultAdd(S.n, S.densmat, 1.0, vs_op_a, S.relspinamp[s], S.densmat);
    }
}

// Izee = sum over spins of 2*pi*resofreqs[s] * Iz(s) (operators prepared).
void vs_build_zeeman() {
    VYNSpinState& S = vyn_spin;
    CMatZero(S.n, S.Izee);
    for (int s = 1; s <= vs_clamp_spins(S.Nspins); ++s)
        CMatRMultAdd(S.n, S.Izee, 1.0, vs_ops[s - 1][VS_IZ], vs_two_pi() * S.resofreqs[s], S.Izee);
}

// Unnormalised totals, summed in spin order like MakeTotalIx/Iy/Iz (operators prepared).
void vs_build_totals() {
    VYNSpinState& S = vyn_spin;
    CMatrix* totals[3] = {&S.Ixtot, &S.Iytot, &S.Iztot};
    for (int w = 0; w < 3; ++w) {
        CMatZero(S.n, *totals[w]);
        for (int s = 1; s <= vs_clamp_spins(S.Nspins); ++s) CMatAdd(S.n, *totals[w], vs_ops[s - 1][w], *totals[w]);
    }
}

// Asks one value per spin into values[1..]; prompt_fmt takes the spin number.
// An unreadable answer counts as 0.
void vs_ask_per_spin(const char* prompt_fmt, double* values) {
    for (int s = 1; s <= vs_clamp_spins(vyn_spin.Nspins); ++s) {
        std::printf(prompt_fmt, s);
        std::fflush(stdout);
        double v = 0.0;
        if (vs_read_double(&v) != 1) v = 0.0;
        values[s] = v;
    }
}

}  // namespace

void init() {
    VYNSpinState& S = vyn_spin;
    S.spinsystemdefined = 0;
    S.rfpulsedefined = 0;
    S.offsetsdefined = 0;
    vyn_grid.x0_s = vyn_grid.y0_s = vyn_grid.z0_s = 0.0;
    vyn_grid.dx_s = vyn_grid.dy_s = vyn_grid.dz_s = 0.0;
    vyn_grid.ndx = vyn_grid.ndy = vyn_grid.ndz = 1;
    vyn_grid.gs = 0.0;
    vyn_grid.ndw = 1;
    S.calc = 0;
    S.pulseflag = 2;
    S.Istat_typed_scale = 0.0;
    if (S.n > 0) {
        const int n = S.n > MATRIXMATH_DIM ? MATRIXMATH_DIM : S.n;
        CMatZero(n, S.densmat);
        CMatZero(n, S.Izee);
        CMatZero(n, S.Icoup);
        CMatZero(n, S.Izgrad);
        CMatZero(n, S.Ixtot);
        CMatZero(n, S.Iytot);
        CMatZero(n, S.Iztot);
        CMatZero(n, S.Istat);
    }
}

int Ispins() {
    VYNSpinState& S = vyn_spin;
    for (;;) {
        // Cleared on every attempt: entries of a longer, refused attempt must
        // not survive into the basis of a shorter one.
        for (int s = 1; s <= VYN_MAX_SPINS; ++s) S.Ilist[s] = 0;
        std::printf("\nNumber of Spins (1..%d) = ", VYN_MAX_SPINS);
        std::fflush(stdout);
        int nspins = 0;
        const int r = vs_read_int(&nspins);
        if (r < 0) return 0;
        if (r == 0) continue;
        S.Nspins = nspins;
        if (nspins < 1 || nspins > VYN_MAX_SPINS) continue;

        bool restart = false;
        for (int s = 1; s <= nspins; ++s) {
            std::printf("I quantum number of spin(%d) = x/2  with x = ", s);
            std::fflush(stdout);
            int x = 0;
            const int rx = vs_read_int(&x);
            if (rx < 0) return 0;
            if (rx == 0) {
                restart = true;
                break;
            }
            S.Ilist[s] = x;
            S.quantnum[s] = x;
        }
        if (restart) continue;

        int bad = 0;
        const long long n = vs_state_count(S.Ilist, nspins, &bad);
        if (n >= MATRIXMATH_DIM + 1) {
            std::printf("\nToo many states (n=%lld > %d). Redefine spins.\n", n, MATRIXMATH_DIM);
            continue;
        }
        MakeKets(S.ket, S.Ilist);
        std::printf("\nNumber of states n = %lld\n", n);
        return 1;
    }
}

void SetupSpins() {
    VYNSpinState& S = vyn_spin;
    if (!Ispins()) {
        S.spinsystemdefined = 0;
        return;
    }
    int bad = 0;
    long long n = vs_state_count(S.Ilist, vs_clamp_spins(S.Nspins), &bad);
    if (bad) {
        std::fprintf(stderr, "SetupSpins: invalid spin quantum number for spin %d\n", bad);
        n = 0;
    }
    if (n > 0 && n < MATRIXMATH_DIM + 1) {
        S.n = static_cast<int>(n);
        MakeKets(S.ket, S.Ilist);
        vs_prepare_ops();
        vs_build_totals();
        S.spinsystemdefined = 1;
    } else {
        std::fprintf(stderr, "SetupSpins: resulting dimension n=%lld out of supported range (1..MATRIXMATH_DIM)\n", n);
        S.spinsystemdefined = 0;
    }
}

void MakeBoltzmann() {
    VYNSpinState& S = vyn_spin;
    if (!vs_dim_ok(S.n)) return;
    CMatZero(S.n, S.densmat);
    vs_ask_per_spin("\nRelative Intensity of Spin (%d) : ", S.relspinamp);
    vs_prepare_ops();
    vs_build_boltzmann();
}

void MakeZeeman() {
    VYNSpinState& S = vyn_spin;
    if (!vs_dim_ok(S.n)) return;
    vs_ask_per_spin("\nOffset-frequency [Hz] of Spin(%d) : ", S.resofreqs);
    vs_prepare_ops();
    vs_build_zeeman();
}

void SpinSpinCoupling() {
    VYNSpinState& S = vyn_spin;
    if (!vs_dim_ok(S.n)) return;
    CMatZero(S.n, vs_work);
    std::memset(S.jc, 0, sizeof(S.jc));
    std::memset(S.couplings, 0, sizeof(S.couplings));
    S.Jcount = 0;
    const int ns = vs_clamp_spins(S.Nspins);
    if (ns > 1) {
        std::puts("*************************************");
        std::puts("***  Define J coupling constants  ***");
        std::puts("*************************************\n");
        std::puts("1. Weak-Coupling approximation");
        std::puts("2. Exact calculation");
        std::printf("Your choice [1,2] : ");
        std::fflush(stdout);
        int choice = 1;
        if (vs_read_int(&choice) != 1) choice = 1;
        S.Jexact = choice;
        std::printf("\n");
        std::puts("Give all scalar coupling constants J(i,j) [Hz]");
        std::puts("Hamiltonian term: 2\u03c0 J(i,j) (Ix_i Ix_j + Iy_i Iy_j + Iz_i Iz_j)");
        std::puts("(weak coupling drops transverse terms)\n");
        vs_prepare_ops();
        for (int k = 1; k <= ns; ++k)
            for (int l = k + 1; l <= ns; ++l) {
                std::printf("J(%d,%d) = ", k, l);
                std::fflush(stdout);
                double J = 0.0;
                if (vs_read_double(&J) != 1) J = 0.0;
                ++S.Jcount;
                S.couplings[S.Jcount] = J;
                S.jc[k][l] = S.jc[l][k] = J;
                const double j = vs_two_pi() * J;
                if (j == 0.0) continue;
                std::printf("Calculating coupling term for (%d,%d)\n", k, l);
                vs_add_coupling(k, l, j, choice != 1, vs_work);
            }
        CopyCMatrix(S.n, vs_work, S.Icoup);
    } else {
        S.Jexact = 1;
        CMatZero(S.n, S.Icoup);
    }
}

void MakeGradientOperator() {
    VYNSpinState& S = vyn_spin;
    if (S.n > 0 && S.Nspins > 0 && S.n <= MATRIXMATH_DIM) {
        MakeTotalIz(S.n, vs_clamp_spins(S.Nspins), S.ket, S.Ilist, 0, S.Izgrad);
    } else {
        std::fprintf(stderr, "MakeGradientOperator: spin system not set up (n=%d, Nspins=%d)\n", S.n, S.Nspins);
    }
}

void AccumulateCMat(int dim, const CMatrix& add, CMatrix& acc) { CMatAdd(dim, acc, add, acc); }

int BuildSpinSystemFromPulseSequenceGlobals() {
    VYNSpinState& S = vyn_spin;
    double jin[VYN_MAX_SPINS + 1][VYN_MAX_SPINS + 1];
    bool any_jc = false;
    for (int k = 0; k <= VYN_MAX_SPINS; ++k)
        for (int l = 0; l <= VYN_MAX_SPINS; ++l) {
            jin[k][l] = (k >= 1 && l >= 1) ? S.jc[k][l] : 0.0;
            if (jin[k][l] > 0.0 || jin[k][l] < 0.0) any_jc = true;
        }

    if (S.Nspins < 1) S.Nspins = 1;
    if (S.Nspins > VYN_MAX_SPINS) S.Nspins = VYN_MAX_SPINS;

    // Dimension first: a basis above the kernel's capacity is refused before
    // any state changes, so no matrix operation ever runs with it.
    SpinIList ilist = {0};
    long long n = 1;
    for (int s = 1; s <= S.Nspins; ++s) {
        ilist[s] = S.quantnum[s] < 0 ? 0 : S.quantnum[s];
        n *= static_cast<long long>(ilist[s]) + 1;
        if (n > INT_MAX) n = INT_MAX;
    }
    if (n > MATRIXMATH_DIM) {
        std::fprintf(
            stderr,
            "BuildSpinSystemFromPulseSequenceGlobals: %lld states exceed the supported %d; spin system not built\n", n,
            MATRIXMATH_DIM);
        S.spinsystemdefined = 0;
        return 0;
    }
    std::memcpy(S.Ilist, ilist, sizeof(S.Ilist));
    S.n = static_cast<int>(n);

    if (!VYN_GetSmokeCheckMode()) {
        std::puts("\nBuildSpinSystemFromPulseSequenceGlobals()");
        std::printf("  Nspins = %d\n", S.Nspins);
        std::printf("  n      = %d\n", S.n);
        for (int s = 1; s <= S.Nspins; ++s)
            std::printf("  spin %d: quantnum=%d  Ilist=%d  relspinamp=%g  resofreq=%g Hz\n", s, S.quantnum[s],
                        S.Ilist[s], S.relspinamp[s], S.resofreqs[s]);
        std::printf("\n");
    }

    MakeKets(S.ket, S.Ilist);
    vs_prepare_ops();
    vs_build_boltzmann();
    vs_build_zeeman();

    std::memset(S.jc, 0, sizeof(S.jc));
    CMatZero(S.n, vs_work);
    if (S.Nspins > 1) {
        int idx = 1;
        for (int k = 1; k <= S.Nspins; ++k)
            for (int l = k + 1; l <= S.Nspins; ++l) {
                double J = 0.0;
                if (any_jc)
                    J = jin[k][l];
                else if (idx <= S.Jcount && idx <= VYN_MAX_COUPLINGS)
                    J = S.couplings[idx];
                S.jc[k][l] = S.jc[l][k] = J;
                ++idx;
                const double j = vs_two_pi() * J;
                if (j == 0.0) continue;
                vs_add_coupling(k, l, j, S.Jexact != 1, vs_work);
            }
    }
    CopyCMatrix(S.n, vs_work, S.Icoup);
    vs_build_totals();
    // The gradient operator is the total Iz (MakeGradientOperator sums the
    // same single-spin matrices in the same order).
    CopyCMatrix(S.n, S.Iztot, S.Izgrad);
    S.spinsystemdefined = 1;
    S.rfpulsedefined = 1;
    S.offsetsdefined = 1;
    return 1;
}

int VYN_RebuildSpinSystemFromPulseSequenceGlobals() { return BuildSpinSystemFromPulseSequenceGlobals(); }
