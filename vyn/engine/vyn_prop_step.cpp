// Sector propagators and the dm.bin helpers shared by both propagators.
#include <cerrno>
#include <cstdio>

#include "binaryfilehandling.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"

namespace {
CMatrix vps_hneg;  // -H of the current interval
CMatrix vps_u;     // factor of the current interval
CMatrix vps_p;     // running product, alternating with the caller's matrix

void vps_identity(int n, CMatrix& m) {
    CMatZero(n, m);
    for (int i = 1; i <= n; ++i) m(i, i) = 1.0;
}

// hneg = -(hc + w Izgrad + bx Ixtot + by Iytot), one pass over the elements.
void vps_negated_hamiltonian(int n, const CMatrix& hc, double w, double bx, double by, CMatrix& hneg) {
    const VYNSpinState& sp = vyn_spin;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            hneg(r, c) = -(hc(r, c) + w * sp.Izgrad(r, c) + bx * sp.Ixtot(r, c) + by * sp.Iytot(r, c));
}
}  // namespace

VYNSectorSamples vyn_prop_waveform_samples(int ap, bool with_gradients) {
    const VYNWaveformState& wf = vyn_waveform;
    if (ap > VYN_MAX_RF_POINTS) ap = VYN_MAX_RF_POINTS;
    VYNSectorSamples s{wf.xb, wf.yb, nullptr, nullptr, nullptr, ap < 0 ? 0 : ap};
    if (with_gradients) {
        s.gx = wf.gx;
        s.gy = wf.gy;
        s.gz = wf.gz;
    }
    return s;
}

void vyn_prop_sector_propagator(int n, const VYNSectorSamples& samples, double t, double offset, double x, double y,
                                double z, const CMatrix& hc, CMatrix& out) {
    const int ap = samples.count;
    if (ap < 1 || t == 0.0) {
        // Every factor is the identity.
        vps_identity(n, out);
        return;
    }
    const bool with_gradients = samples.gx && samples.gy && samples.gz;
    // The running product alternates between out and vps_p; it starts in the
    // buffer that makes the last product land in out.
    CMatrix* buf[2] = {&out, &vps_p};
    int cur = (ap - 1) % 2;
    for (int l = 0; l < ap; ++l) {
        double w = offset;
        if (with_gradients) w = samples.gx[l] * x + samples.gy[l] * y + samples.gz[l] * z + offset;
        vps_negated_hamiltonian(n, hc, w, samples.xb[l], samples.yb[l], vps_hneg);
        if (l == 0) {
            // The first factor is the product so far: no multiplication by the identity.
            ExpMatrix(n, vps_hneg, t, *buf[cur]);
            continue;
        }
        ExpMatrix(n, vps_hneg, t, vps_u);
        CMatMult(n, *buf[cur], vps_u, *buf[1 - cur]);
        cur = 1 - cur;
    }
}

int vyn_prop_peek_header(const char* path, int32_t* type, int32_t* num1, int32_t* num2) {
    errno = 0;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        binfh_print_error(path);
        return 1;
    }
    const binfh_status st = ReadBinFileHeader_status(f, type, num1, num2);
    std::fclose(f);
    return st == BINFH_OK ? 0 : 2;
}

int vyn_prop_init_density_file(const char* path, int n, int count, const CMatrix& M) {
    errno = 0;
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        binfh_print_error(path);
        return 1;
    }
    int rc = 0;
    if (WriteBinFileHeader_status(f, BINFH_TYPE_DENSITY, n, count) != BINFH_OK)
        rc = 2;
    else if (!binfh_write_matrix_copies(f, n, M, count))
        rc = 3;
    if (std::fclose(f) != 0 && rc == 0) rc = 3;
    if (rc != 0) std::remove(path);
    return rc;
}
