// Free precession of a sector without RF: one shared factor exp(-i Hc T)
// and a diagonal phase per voxel.
#include <cmath>

#include "vyn_prop_fast_internal.h"

void vps_static_factor(const VPSContext& c, double T, cd* S, VPSWorker& wk) {
    const VYNSpatialSector& s = *c.s;
    const int n = s.n;
    if (c.method == VYN_STEP_EXP_EIG) {
        double* hr = wk.hr.data();
        for (int r = 1; r <= n; ++r)
            for (int col = 1; col <= n; ++col) hr[static_cast<size_t>(r - 1) * n + col - 1] = (*s.hc)(r, col).real();
        if (matrixmath_sym_eig(n, hr, n, wk.lam.data(), wk.eig)) {
            vps_exp_from_eig(n, hr, wk.lam.data(), T, wk.z.data(), S);
            return;
        }
    }
    for (int r = 1; r <= n; ++r)
        for (int col = 1; col <= n; ++col) wk.series.hneg(r, col) = -(*s.hc)(r, col);
    if (c.method == VYN_STEP_EXP_TAYLOR)
        ExpMatrix(n, wk.series.hneg, T, wk.product);
    else
        matrixmath_exp_pade(n, wk.series.hneg, T, wk.product, wk.exp);
    vps_pack(n, wk.product, S);
}

void vps_free_precession_phases(const VYNSpatialSector& s, const VPSStructure& structure, int threads, cd* buf,
                                int first, int count) {
    const int n = s.n;
    const size_t nn = static_cast<size_t>(n) * n;
    vps_parallel(count, threads, [&](int i, int worker) {
        double x, y, z;
        vps_position(s, first + i, &x, &y, &z);
        double W = 0.0;
        for (int l = 0; l < s.ap; ++l) W += vps_offset(s, l, x, y, z);
        cd* ph = vps_workers[worker]->ph.data();
        for (int k = 0; k < n; ++k) ph[k] = std::polar(1.0, s.h * W * structure.m[k]);
        cd* rho = buf + nn * i;
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) rho[static_cast<size_t>(r) * n + c] *= ph[r] * std::conj(ph[c]);
    });
}
