// Sector propagators and the dm.bin helpers shared by both propagators.
#include <cerrno>
#include <cstdio>
#include <vector>

#include "binaryfilehandling.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"

namespace {
VYNSectorScratch vps_scratch;     // of vyn_prop_sector_propagator
std::vector<double> vps_offsets;  // its interval offsets

void vps_identity(int n, CMatrix& m) {
    CMatZero(n, m);
    for (int i = 1; i <= n; ++i) m(i, i) = 1.0;
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

void vyn_prop_sector_product(int n, const CMatrix& hc, const VYNStepOperators& ops, const double* w, const double* xb,
                             const double* yb, int count, double t, MatrixExpWork* pade, VYNSectorScratch& scratch,
                             CMatrix& out) {
    // The running product alternates between out and scratch.p; it starts in
    // the buffer that makes the last product land in out.
    CMatrix* buf[2] = {&out, &scratch.p};
    int cur = (count - 1) % 2;
    for (int l = 0; l < count; ++l) {
        // hneg = -(hc + w Izgrad + bx Ixtot + by Iytot), one pass over the elements.
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c)
                scratch.hneg(r, c) =
                    -(hc(r, c) + w[l] * (*ops.izgrad)(r, c) + xb[l] * (*ops.ixtot)(r, c) + yb[l] * (*ops.iytot)(r, c));
        // The first factor is the product so far: no multiplication by the identity.
        CMatrix& factor = l == 0 ? *buf[cur] : scratch.u;
        if (pade)
            matrixmath_exp_pade(n, scratch.hneg, t, factor, *pade);
        else
            ExpMatrix(n, scratch.hneg, t, factor);
        if (l == 0) continue;
        CMatMult(n, *buf[cur], scratch.u, *buf[1 - cur]);
        cur = 1 - cur;
    }
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
    vps_offsets.resize(ap);
    for (int l = 0; l < ap; ++l)
        vps_offsets[l] = with_gradients ? samples.gx[l] * x + samples.gy[l] * y + samples.gz[l] * z + offset : offset;
    const VYNSpinState& sp = vyn_spin;
    vyn_prop_sector_product(n, hc, VYNStepOperators{&sp.Izgrad, &sp.Ixtot, &sp.Iytot}, vps_offsets.data(), samples.xb,
                            samples.yb, ap, t, nullptr, vps_scratch, out);
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

// Stream buffer of the file written below (closed before the function
// returns): many copies of a matrix in blocks of 256 KiB, not 4 KiB. A
// write that fails shows in a short write or in fclose, both rc 3.
namespace {
alignas(64) char vyn_prop_init_buf[256 * 1024];
}  // namespace

int vyn_prop_init_density_file(const char* path, int n, int count, const CMatrix& M) {
    errno = 0;
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        binfh_print_error(path);
        return 1;
    }
    std::setvbuf(f, vyn_prop_init_buf, _IOFBF, sizeof vyn_prop_init_buf);
    int rc = 0;
    if (WriteBinFileHeader_status(f, BINFH_TYPE_DENSITY, n, count) != BINFH_OK)
        rc = 2;
    else if (!binfh_write_matrix_copies(f, n, M, count))
        rc = 3;
    if (std::fclose(f) != 0 && rc == 0) rc = 3;
    if (rc != 0) std::remove(path);
    return rc;
}
