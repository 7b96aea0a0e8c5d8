// Spatially resolved propagation: one density matrix per voxel in dm.bin,
// each voxel seeing the gradient offset of its position.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "vyn_prop_dmio.h"
#include "rfpulseparam.h"
#include "vyn_sequence.h"

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;
constexpr int kMaxGrid = 256;

CMatrix p3d_hc;  // Izee + Icoup
CMatrix p3d_h;   // -H of one interval
CMatrix p3d_u;   // factor of one interval
CMatrix p3d_p;   // voxel propagator

bool p3d_quiet() { return VYN_GetSmokeCheckMode() != 0; }

void p3d_perror(const char* context) { std::fprintf(stderr, "%s: %s\n", context, std::strerror(errno)); }

void p3d_fail_wait(const char* msg) {
    std::puts(msg);
    vyn_wait_enter_if_tty();
}

bool p3d_read_waveform(const char* path, int ap) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        p3d_perror(path);
        return false;
    }
    const size_t count = static_cast<size_t>(ap);
    double* blocks[5] = {vyn_waveform.xb, vyn_waveform.yb, vyn_waveform.gx, vyn_waveform.gy, vyn_waveform.gz};
    bool ok = true;
    for (int b = 0; ok && b < 5; ++b) ok = std::fread(blocks[b], sizeof(double), count, f) == count;
    std::fclose(f);
    return ok;
}

void p3d_progress(int v, int expected_ndw) {
    const int report_step = expected_ndw > 100 ? expected_ndw / 100 : 1;
    if (!(v == 1 || v == expected_ndw || v % report_step == 0)) return;
    const long long completed_before =
        static_cast<long long>(expected_ndw) * (vyn_prop.spatial_progress_sector - 1);
    const long long total_work = static_cast<long long>(vyn_prop.spatial_progress_sector_count) * expected_ndw;
    const long long percent = total_work <= 0 ? 100 : (v + completed_before) * 100 / total_work;
    std::printf("[VYN_PROGRESS] sector=%d sectors=%d voxel=%d voxels=%d percent=%d\n", vyn_prop.spatial_progress_sector,
                vyn_prop.spatial_progress_sector_count, v, expected_ndw, static_cast<int>(percent));
    std::fflush(stdout);
}
}  // namespace

void Rotate3D() {
    VYNSpinState& sp = vyn_spin;
    VYNGridState& g = vyn_grid;
    const int n = sp.n;
    const int ap = vyn_prop.ap;
    if (sp.pulseflag == 2) {
        p3d_fail_wait(">>>> NO RF-PULSE DEFINED ERROR <<<<");
        return;
    }
    // Grid counts and sample counts outside their capacities would index past
    // the waveform arrays or overflow the voxel count.
    if (n < 1 || n > MATRIXMATH_DIM || g.ndx < 1 || g.ndx > kMaxGrid || g.ndy < 1 || g.ndy > kMaxGrid || g.ndz < 1 ||
        g.ndz > kMaxGrid || ap < 0 || ap > VYN_MAX_SAMPLES) {
        std::printf("Rotate3D: invalid grid or sector (n=%d grid=%dx%dx%d ap=%d)\n", n, g.ndx, g.ndy, g.ndz, ap);
        vyn_wait_enter_if_tty();
        return;
    }
    const int expected_ndw = g.ndz * (g.ndx * g.ndy);
    if (sp.calc == 0) {
        g.ndw = expected_ndw;
        FILE* f = std::fopen("dm.bin", "wb");
        if (!f) {
            p3d_perror("dm.bin");
            return;
        }
        if (!vyn_dm_write_header(f, 0, n, g.ndw)) {
            std::fclose(f);
            p3d_fail_wait("Rotate3D: failed to write dm.bin header");
            return;
        }
        for (int v = 0; v < g.ndw; ++v)
            if (!vyn_dm_write_matrix(f, n, sp.densmat)) {
                std::fclose(f);
                p3d_fail_wait("Rotate3D: write error while initializing dm.bin");
                return;
            }
        if (std::fclose(f) != 0) {
            p3d_fail_wait("Rotate3D: write error while initializing dm.bin");
            return;
        }
        CMatZero(n, sp.densmat);
    }
    FILE* in = std::fopen("dm.bin", "rb");
    if (!in) {
        p3d_perror("dm.bin");
        return;
    }
    int type = 0, fn = 0, fcount = 0;
    if (!vyn_dm_read_header(in, &type, &fn, &fcount)) {
        std::fclose(in);
        p3d_fail_wait("Rotate3D: failed to read dm.bin header");
        return;
    }
    if (type != 0 || fn != n || fcount != expected_ndw) {
        std::fclose(in);
        std::printf("Rotate3D: dm.bin dimensions mismatch (type=%d n=%d ndw=%d), expected (0 %d %d)\n", type, fn,
                    fcount, n, expected_ndw);
        vyn_wait_enter_if_tty();
        return;
    }
    if (!vyn_dm_body_holds(in, expected_ndw, 16LL * n * n)) {
        std::fclose(in);
        p3d_fail_wait("Rotate3D: read error from dm.bin");
        return;
    }
    FILE* st = std::fopen("store", "wb");
    if (!st) {
        std::fclose(in);
        p3d_perror("store");
        return;
    }
    if (!vyn_dm_write_header(st, 0, n, expected_ndw)) {
        std::fclose(st);
        std::fclose(in);
        std::remove("store");
        p3d_fail_wait("Rotate3D: failed to write store header");
        return;
    }
    CMatAdd(n, sp.Izee, sp.Icoup, p3d_hc);
    const bool quiet = p3d_quiet();
    int v = 0;
    for (int kx = 1; kx <= g.ndx; ++kx) {
        const double x = g.x0_s + (kx - 1) * g.dx_s;
        for (int ky = 1; ky <= g.ndy; ++ky) {
            const double y = g.y0_s + (ky - 1) * g.dy_s;
            for (int kz = 1; kz <= g.ndz; ++kz) {
                const double z = g.z0_s + (kz - 1) * g.dz_s;
                v = kz + ((ky - 1) + g.ndy * (kx - 1)) * g.ndz;
                if (!vyn_dm_read_matrix(in, n, sp.densmat)) {
                    std::fclose(st);
                    std::fclose(in);
                    std::remove("store");
                    p3d_fail_wait("Rotate3D: read error from dm.bin");
                    return;
                }
                CMatZero(n, p3d_p);
                for (int i = 1; i <= n; ++i) p3d_p(i, i) = 1.0;
                for (int l = 0; l < ap; ++l) {
                    const double w = vyn_waveform.gx[l] * x + vyn_waveform.gy[l] * y + vyn_waveform.gz[l] * z + vyn_prop.statoff_s;
                    CMatRMultAdd(n, p3d_hc, -1.0, sp.Izgrad, -w, p3d_h);
                    CMatRMultAdd(n, p3d_h, 1.0, sp.Ixtot, -vyn_waveform.xb[l], p3d_h);
                    CMatRMultAdd(n, p3d_h, 1.0, sp.Iytot, -vyn_waveform.yb[l], p3d_h);
                    ExpMatrix(n, p3d_h, vyn_prop.h, p3d_u);
                    CMatMult(n, p3d_p, p3d_u, p3d_p);
                }
                DoRotation(n, p3d_p, sp.densmat);
                if (!vyn_dm_write_matrix(st, n, sp.densmat)) {
                    std::fclose(st);
                    std::fclose(in);
                    std::remove("store");
                    std::puts("Rotate3D: write error to store");
                    return;
                }
                if (!quiet) p3d_progress(v, expected_ndw);
            }
        }
    }
    std::fclose(in);
    const bool closed = std::fclose(st) == 0;
    // store is complete: one rename replaces dm.bin, so a failure keeps the old state.
    if (!closed) {
        std::puts("Rotate3D: write error to store");
        std::remove("store");
        return;
    }
    if (std::rename("store", "dm.bin") != 0) {
        p3d_perror("rename(store->dm.bin)");
        return;
    }
    ++sp.calc;
    if (!quiet) std::printf("\n");
}

void SimulateLoadedPulseSequence() {
    VYNSequenceState& q = vyn_sequence;
    VYNSpinState& sp = vyn_spin;
    VYNGridState& g = vyn_grid;
    const bool quiet = p3d_quiet();
    sp.calc = 0;
    sp.pulseflag = 1;
    vyn_prop.spatial_progress_sector_count = 0;
    if (!BuildSpinSystemFromPulseSequenceGlobals() || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::printf("Invalid spin system: n=%d\n", sp.n);
        return;
    }
    const int nos = q.nos < 0 ? 0 : (q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos);
    for (int s = 1; s <= nos && !vyn_sector_is_acquisition(s); ++s) ++vyn_prop.spatial_progress_sector_count;
    if (!quiet) {
        std::printf("# x-direction : %d  # y-direction : %d  # z-direction : %d\n", g.ndx, g.ndy, g.ndz);
        std::printf("Number of pulse sectors to calculate      : %d\n", vyn_prop.spatial_progress_sector_count);
    }
    for (int s = 1; s <= nos; ++s) {
        if (vyn_sector_is_acquisition(s)) {
            if (!quiet) {
                std::printf("\nSpatial propagation stops at acquisition sector %d.\n", s);
                std::puts("The density matrix is stored at acquisition start.");
            }
            break;
        }
        VYNPropagationState& pr = vyn_prop;
        pr.spatial_progress_sector = s;
        pr.ap = q.noti[s];
        pr.pt = q.sectdur[s];
        pr.h = pr.ap > 0 ? pr.pt / pr.ap : 0.0;
        pr.statoff_s = kTwoPi * q.statoff[s];
        g.x0_s = q.x0;
        g.y0_s = q.y0;
        g.z0_s = q.z0;
        g.dx_s = q.dx;
        g.dy_s = q.dy;
        g.dz_s = q.dz;
        if (!quiet) {
            std::printf("\nCalculating sector                      : %d\n", s);
            std::printf("Number of time intervals in this sector : %d\n", pr.ap);
            std::printf("Sector or pulsetime                [ms] : %.9g\n", 1000.0 * pr.pt);
            std::printf("Reading pulse file                      : %s\n", q.fnames[s]);
        }
        // The sample arrays hold VYN_MAX_SAMPLES values: larger counts are refused.
        if (pr.ap < 0 || pr.ap > VYN_MAX_SAMPLES) {
            std::printf("Invalid number of time intervals in sector %d : %d\n", s, pr.ap);
            return;
        }
        if (!p3d_read_waveform(q.fnames[s], pr.ap)) {
            std::printf("Error reading pulse file %s\n", q.fnames[s]);
            return;
        }
        for (int l = 0; l < pr.ap; ++l) {
            const VYNWaveformState& w = vyn_waveform;
            if (!std::isfinite(w.xb[l]) || !std::isfinite(w.yb[l]) || !std::isfinite(w.gx[l]) ||
                !std::isfinite(w.gy[l]) || !std::isfinite(w.gz[l])) {
                std::printf("Bad pulse sample at l=%d: xb=%g yb=%g gx=%g gy=%g gz=%g\n", l, w.xb[l], w.yb[l], w.gx[l],
                            w.gy[l], w.gz[l]);
                return;
            }
        }
        if (!quiet) {
            std::printf("Spatial starting point x-direction [cm] : %.15g\n", g.x0_s);
            std::printf("Spatial x-stepsize                 [cm] : %.15g\n", g.dx_s);
            std::printf("Spatial starting point y-direction [cm] : %.15g\n", g.y0_s);
            std::printf("Spatial y-stepsize                 [cm] : %.15g\n", g.dy_s);
            std::printf("Spatial starting point z-direction [cm] : %.15g\n", g.z0_s);
            std::printf("Spatial z-stepsize                 [cm] : %.15g\n", g.dz_s);
            std::printf("Remark : %s\n\n", q.remarks[s]);
        }
        Rotate3D();
    }
    if (q.resultflnm[0] != '\0') {
        if (copy_file_binary("dm.bin", q.resultflnm))
            std::printf("Copied spatial density-matrix result to %s\n", q.resultflnm);
        else
            std::printf("Failed to copy spatial density-matrix result to %s\n", q.resultflnm);
    }
}
