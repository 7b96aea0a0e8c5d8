// Preparation of one sector of the current 1D/2D sequence for the optimiser:
// carries the state into the sector and the observable back from the end of
// the sequence, stores both in the context and calls the optimiser's checks.
#include "vynoptseq.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "vyn.h"
#include "vyn_prop_fast.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;

double vos_wx[VYN_MAX_RF_POINTS];  // waveform of a carried sector
double vos_wy[VYN_MAX_RF_POINTS];
CMatrix vos_hc;
CMatrix vos_u;
CMatrix vos_adj;
CMatrix vos_tmp;
CMatrix vos_prefix;
CMatrix vos_suffix;
}  // namespace

// --- sector workflow -----------------------------------------------------

int vynopt_load_waveform_xy(const char* path, int n, double* xb, double* yb) {
    if (!path || !path[0] || n < 1 || n > VYN_MAX_RF_POINTS) return 0;
    if (!BinArrayIn2D(n, xb, yb, path)) return 0;
    for (int l = 0; l < n; ++l)
        if (!std::isfinite(xb[l]) || !std::isfinite(yb[l])) {
            std::printf("Sequence optimization: non-finite sample %d in %s\n", l, path);
            return 0;
        }
    return 1;
}

int vynopt_build_sector_propagator_2d(int s, CMatrix& U) {
    const VYNSequenceState& q = vyn_sequence;
    if (s < 1 || s > VYN_MAX_SECTORS) return 0;
    const int ap = q.noti[s];
    const int type = q.sectype[s];
    const double step = ap < 1 ? 0.0 : q.sectdur[s] / ap;
    const double offset = kTwoPi * q.statoff[s];
    if (type != 1 && type != 2) {
        std::printf("Sequence optimization: unsupported sector type %d in sector %d\n", type, s);
        return 0;
    }
    if (ap <= 0) {
        std::printf("Sequence optimization: invalid ap in sector %d\n", s);
        return 0;
    }
    if (q.nevo[s] != 1) {
        std::printf("Sequence optimization: sector %d has nevo=%d.\n", s, q.nevo[s]);
        std::puts("Stage 2 only supports sectors with nevo == 1.");
        return 0;
    }
    if (!vynopt_load_waveform_xy(q.fnames[s], ap, vos_wx, vos_wy)) {
        std::printf("Sequence optimization: could not read waveform file for sector %d:\n", s);
        std::printf("  %s\n", q.fnames[s]);
        return 0;
    }
    const int n = vyn_spin.n;
    CMatAdd(n, vyn_spin.Izee, vyn_spin.Icoup, vos_hc);
    vynopt_sector_product(n, vos_wx, vos_wy, ap, step, offset, vos_hc, U);
    return 1;
}

int vynopt_apply_sector_forward_2d(int s, CMatrix& rho) {
    if (!vynopt_build_sector_propagator_2d(s, vos_u)) return 0;
    DoRotation(vyn_spin.n, vos_u, rho);
    return 1;
}

int vynopt_apply_sector_backward_to_observable_2d(int s, CMatrix& obs) {
    if (!vynopt_build_sector_propagator_2d(s, vos_u)) return 0;
    const int n = vyn_spin.n;
    // obs <- U obs U^dagger
    Adjungate(n, vos_u, vos_adj);
    Transform(n, vos_u, obs, vos_adj, vos_tmp);
    CopyCMatrix(n, vos_tmp, obs);
    return 1;
}

int vynopt_load_selected_sector_into_runtime(int s) {
    const VYNSequenceState& q = vyn_sequence;
    if (s < 1 || s > VYN_MAX_SECTORS) return 0;
    const int ap = q.noti[s];
    if (ap < 1 || ap > VYN_MAX_RF_POINTS) return 0;
    if (!vynopt_load_waveform_xy(q.fnames[s], ap, vos_wx, vos_wy)) return 0;
    VYNWaveformState& wf = vyn_waveform;
    std::memcpy(wf.xb, vos_wx, sizeof(double) * ap);
    std::memcpy(wf.yb, vos_wy, sizeof(double) * ap);
    for (int l = 0; l < ap; ++l) wf.gx[l] = wf.gy[l] = wf.gz[l] = 0.0;
    VYNPropagationState& pr = vyn_prop;
    pr.ap = ap;
    pr.h = q.sectdur[s] / ap;
    pr.pt = q.sectdur[s];
    pr.statoff_s = kTwoPi * q.statoff[s];
    VYNGridState& g = vyn_grid;
    g.ndw = 1;
    g.x0_s = g.y0_s = g.z0_s = 0.0;
    g.dx_s = g.dy_s = g.dz_s = 0.0;
    g.gs = 0.0;
    vyn_spin.pulseflag = 1;
    vyn_spin.rfpulsedefined = 1;
    vyn_spin.calc = 0;
    return 1;
}

int VYNOptimizationPrepareCurrent2DSequenceSector(int k, int objective_mode) {
    const VYNSequenceState& q = vyn_sequence;
    VYNSpinState& sp = vyn_spin;
    if (!q.systemset || sp.Nspins <= 0) {
        std::puts("Sequence optimization: no current prepared spin system.");
        return 0;
    }
    if (!q.sectorset || q.nos <= 0) {
        std::puts("Sequence optimization: no current prepared pulse sequence.");
        return 0;
    }
    if (q.sequencetype != VYN_SEQTYPE_2D) {
        std::puts("Sequence optimization: stage 2 currently supports only the");
        std::puts("prepared 1D/2D sequence family (sequencetype == 2).");
        return 0;
    }
    const int nos = q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos;
    if (k < 1 || k > nos) {
        std::printf("Sequence optimization: invalid sector index %d (nos=%d)\n", k, q.nos);
        return 0;
    }
    if (q.noti[k] <= 0) {
        std::printf("Sequence optimization: invalid ap in selected sector %d\n", k);
        return 0;
    }
    if (q.nevo[k] != 1) {
        std::printf("Sequence optimization: selected sector %d has nevo=%d.\n", k, q.nevo[k]);
        std::puts("Stage 2 only supports optimizable sectors with nevo == 1.");
        return 0;
    }
    // The parameter conversions need a power-of-two grid: refused before anything changes.
    if (!vyn_opt_check_sample_count(q.noti[k])) return 0;

    if (!VYN_RebuildSpinSystemFromPulseSequenceGlobals()) {
        std::puts("Sequence optimization: could not rebuild the spin system.");
        return 0;
    }
    const int n = sp.n;
    CopyCMatrix(n, sp.densmat, vos_prefix);
    CopyCMatrix(n, sp.Istat, vos_suffix);
    for (int s = 1; s < k; ++s)
        if (!vynopt_apply_sector_forward_2d(s, vos_prefix)) {
            std::printf("Sequence optimization: failed while building prefix at sector %d\n", s);
            return 0;
        }
    for (int s = nos; s > k; --s)
        if (!vynopt_apply_sector_backward_to_observable_2d(s, vos_suffix)) {
            std::printf("Sequence optimization: failed while building suffix at sector %d\n", s);
            return 0;
        }
    if (!vynopt_load_selected_sector_into_runtime(k)) {
        std::printf("Sequence optimization: failed to load selected sector %d into runtime.\n", k);
        return 0;
    }
    const VYNOptObjectiveMode mode =
        objective_mode == VYN_OPT_OBJECTIVE_ABS_EXPECT ? VYN_OPT_OBJECTIVE_ABS_EXPECT : VYN_OPT_OBJECTIVE_RE_EXPECT;
    VYNOptimizationResetContext();
    VYNOptimizationSetPrefixState(&vos_prefix);
    VYNOptimizationSetSuffixObservable(&vos_suffix);
    VYNOptimizationSetStaticSectorOffsetRad(vyn_prop.statoff_s);
    VYNOptimizationSetObjectiveMode(mode);

    std::puts("\nPrepared current 1D/2D sequence for sector optimization:");
    std::printf("  chosen sector          : %d / %d\n", k, q.nos);
    std::printf("  sector waveform file   : %s\n", q.fnames[k]);
    std::printf("  sector type            : %d\n", q.sectype[k]);
    std::printf("  ap                     : %d\n", vyn_prop.ap);
    std::printf("  h                      : %.12g s\n", vyn_prop.h);
    std::printf("  duration               : %.12g s\n", vyn_prop.pt);
    std::printf("  static sector offset   : %.12g rad/s\n", vyn_prop.statoff_s);
    std::puts(mode == VYN_OPT_OBJECTIVE_ABS_EXPECT ? "  objective mode         : |<O>|"
                                                   : "  objective mode         : Re <O>");
    std::printf("  prefix sectors cached  : %d\n", k - 1);
    std::printf("  suffix sectors cached  : %d\n\n", nos - k);
    return 1;
}
