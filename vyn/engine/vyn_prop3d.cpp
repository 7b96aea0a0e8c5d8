// Spatially resolved propagation: one density matrix per voxel in dm.bin,
// each voxel seeing the gradient offset of its position.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "binaryfilehandling.h"
#include "rfpulseparam.h"
#include "vyn_prop_fast.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;
constexpr int kMaxGrid = 256;

CMatrix p3d_hc;  // Izee + Icoup
CMatrix p3d_p;   // propagator of the current voxel

bool p3d_quiet() { return VYN_GetSmokeCheckMode() != 0; }

void p3d_fail_wait(const char* msg) {
    std::puts(msg);
    vyn_wait_enter_if_tty();
}

void p3d_mismatch(int type, int fn, int fcount, int n, int expected_ndw) {
    std::printf("Rotate3D: dm.bin dimensions mismatch (type=%d n=%d ndw=%d), expected (0 %d %d)\n", type, fn, fcount, n,
                expected_ndw);
    vyn_wait_enter_if_tty();
}

void p3d_progress(int v, int expected_ndw) {
    const int report_step = expected_ndw > 100 ? expected_ndw / 100 : 1;
    if (!(v == 1 || v == expected_ndw || v % report_step == 0)) return;
    const long long completed_before = static_cast<long long>(expected_ndw) * (vyn_prop.spatial_progress_sector - 1);
    const long long total_work = static_cast<long long>(vyn_prop.spatial_progress_sector_count) * expected_ndw;
    const long long percent = total_work <= 0 ? 100 : (v + completed_before) * 100 / total_work;
    std::printf("[VYN_PROGRESS] sector=%d sectors=%d voxel=%d voxels=%d percent=%d\n", vyn_prop.spatial_progress_sector,
                vyn_prop.spatial_progress_sector_count, v, expected_ndw, static_cast<int>(percent));
    std::fflush(stdout);
}

struct P3DSector {
    int ap;
    int expected_ndw;
    bool quiet;
};

// Voxel number v (1-based, z fastest, x slowest) is moved through the sector
// with the gradient offset of its position.
bool p3d_move_voxel(int v, int n, CMatrix& rho, void* ctx) {
    const P3DSector& s = *static_cast<const P3DSector*>(ctx);
    const VYNGridState& g = vyn_grid;
    const int k = v - 1;
    const int kz = k % g.ndz;
    const int ky = (k / g.ndz) % g.ndy;
    const int kx = k / (g.ndz * g.ndy);
    const double x = g.x0_s + kx * g.dx_s;
    const double y = g.y0_s + ky * g.dy_s;
    const double z = g.z0_s + kz * g.dz_s;
    vyn_prop_sector_propagator(n, vyn_prop_waveform_samples(s.ap, true), vyn_prop.h, vyn_prop.statoff_s, x, y, z,
                               p3d_hc, p3d_p);
    DoRotation(n, p3d_p, rho);
    if (!s.quiet) p3d_progress(v, s.expected_ndw);
    return true;
}

void p3d_progress_fn(int v, void* ctx) {
    const P3DSector& s = *static_cast<const P3DSector*>(ctx);
    if (!s.quiet) p3d_progress(v, s.expected_ndw);
}

// The current sector for the shared propagation.
VYNSpatialSector p3d_sector(int n, int ap) {
    const VYNGridState& g = vyn_grid;
    const VYNWaveformState& wf = vyn_waveform;
    const VYNSpinState& sp = vyn_spin;
    VYNSpatialSector s;
    s.n = n;
    s.ap = ap;
    s.h = vyn_prop.h;
    s.offset = vyn_prop.statoff_s;
    s.xb = wf.xb;
    s.yb = wf.yb;
    s.gx = wf.gx;
    s.gy = wf.gy;
    s.gz = wf.gz;
    s.ndx = g.ndx;
    s.ndy = g.ndy;
    s.ndz = g.ndz;
    s.x0 = g.x0_s;
    s.y0 = g.y0_s;
    s.z0 = g.z0_s;
    s.dx = g.dx_s;
    s.dy = g.dy_s;
    s.dz = g.dz_s;
    s.hc = &p3d_hc;
    s.izgrad = &sp.Izgrad;
    s.ixtot = &sp.Ixtot;
    s.iytot = &sp.Iytot;
    return s;
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
        const int rc = vyn_prop_init_density_file(BINFH_DM_FILE, n, g.ndw, sp.densmat);
        if (rc == 1) return;
        if (rc == 2) {
            p3d_fail_wait("Rotate3D: failed to write dm.bin header");
            return;
        }
        if (rc == 3) {
            p3d_fail_wait("Rotate3D: write error while initializing dm.bin");
            return;
        }
        CMatZero(n, sp.densmat);
    }
    int32_t type = 0, fn = 0, fcount = 0;
    const int peek = vyn_prop_peek_header(BINFH_DM_FILE, &type, &fn, &fcount);
    if (peek == 1) return;
    if (peek == 2) {
        p3d_fail_wait("Rotate3D: failed to read dm.bin header");
        return;
    }
    if (type != BINFH_TYPE_DENSITY || fn != n || fcount != expected_ndw) {
        p3d_mismatch(type, fn, fcount, n, expected_ndw);
        return;
    }

    CMatAdd(n, sp.Izee, sp.Icoup, p3d_hc);
    P3DSector sector{ap, expected_ndw, p3d_quiet()};
    // store is written completely and then renamed over dm.bin, so a failure
    // at any point leaves the voxels of the last completed sector; within a
    // run of the shared path the result is held for the next sector instead
    // (vyn_spatial_run_begin) and dm.bin written at the run's end.
    binfh_rewrite_stage stage = BINFH_STAGE_NONE;
    int32_t ht = 0, hn = 0, hc = 0;
    if (vyn_spatial_options.method == VYN_SPATIAL_LITERAL)
        binfh_rewrite_density_file_status(BINFH_DM_FILE, BINFH_STORE_FILE, n, expected_ndw, p3d_move_voxel, &sector,
                                          sp.densmat, &stage, &ht, &hn, &hc);
    else
        vyn_spatial_rewrite_status(BINFH_DM_FILE, BINFH_STORE_FILE, p3d_sector(n, ap), p3d_progress_fn, &sector, &stage,
                                   &ht, &hn, &hc);
    switch (stage) {
        case BINFH_STAGE_NONE:
            break;
        case BINFH_STAGE_OPEN_INPUT:
        case BINFH_STAGE_OPEN_STORE:
        case BINFH_STAGE_COMMIT:
            return;  // system error already printed ("rename(store->dm.bin)" among them)
        case BINFH_STAGE_STORE_HEADER:
            p3d_fail_wait("Rotate3D: failed to write store header");
            return;
        case BINFH_STAGE_MISMATCH:
            p3d_mismatch(ht, hn, hc, n, expected_ndw);
            return;
        case BINFH_STAGE_READ_HEADER:  // body shorter than its header announces
        case BINFH_STAGE_READ_MATRIX:
            p3d_fail_wait("Rotate3D: read error from dm.bin");
            return;
        case BINFH_STAGE_WRITE_MATRIX:
        case BINFH_STAGE_CALLBACK:
            std::puts("Rotate3D: write error to store");
            return;
    }
    ++sp.calc;
    if (!sector.quiet) std::printf("\n");
}

namespace {
// Sets up sector s of a spatial run (time step, offset, grid) and reads its
// samples into vyn_waveform; false (message printed) when they cannot be used.
bool p3d_load_sector(int s, bool quiet) {
    VYNSequenceState& q = vyn_sequence;
    VYNGridState& g = vyn_grid;
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
        return false;
    }
    // A sector without intervals has nothing to read and leaves every voxel unchanged.
    VYNWaveformState& wv = vyn_waveform;
    if (pr.ap > 0 && !BinArrayIn(pr.ap, wv.xb, wv.yb, wv.gx, wv.gy, wv.gz, q.fnames[s])) {
        std::printf("Error reading pulse file %s\n", q.fnames[s]);
        return false;
    }
    for (int l = 0; l < pr.ap; ++l) {
        const VYNWaveformState& w = vyn_waveform;
        if (!std::isfinite(w.xb[l]) || !std::isfinite(w.yb[l]) || !std::isfinite(w.gx[l]) || !std::isfinite(w.gy[l]) ||
            !std::isfinite(w.gz[l])) {
            std::printf("Bad pulse sample at l=%d: xb=%g yb=%g gx=%g gy=%g gz=%g\n", l, w.xb[l], w.yb[l], w.gx[l],
                        w.gy[l], w.gz[l]);
            return false;
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
    return true;
}

// The sectors of a spatial run, each through Rotate3D; false when the run
// stopped at a failure.
bool p3d_run_sectors() {
    VYNSequenceState& q = vyn_sequence;
    VYNSpinState& sp = vyn_spin;
    VYNGridState& g = vyn_grid;
    const bool quiet = p3d_quiet();
    sp.calc = 0;
    sp.pulseflag = 1;
    vyn_prop.spatial_progress_sector_count = 0;
    if (!BuildSpinSystemFromPulseSequenceGlobals() || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::printf("Invalid spin system: n=%d\n", sp.n);
        return false;
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
        if (!p3d_load_sector(s, quiet)) return false;
        // A sector that failed leaves dm.bin at the state before it: the run stops there.
        const int passes = sp.calc;
        Rotate3D();
        if (sp.calc == passes) return false;
    }
    return true;
}

// Writes the state a run held between its sectors to dm.bin. When that fails
// (or a sector lost it) dm.bin holds the run's starting state: calc is 0.
bool p3d_end_run() {
    binfh_rewrite_stage stage = BINFH_STAGE_NONE;
    if (vyn_spatial_run_end(&stage)) return true;
    if (stage == BINFH_STAGE_STORE_HEADER) p3d_fail_wait("Rotate3D: failed to write store header");
    if (stage == BINFH_STAGE_WRITE_MATRIX) std::puts("Rotate3D: write error to store");
    vyn_spin.calc = 0;
    return false;
}
}  // namespace

// The shared propagation keeps the voxel matrices between the sectors of a
// run and writes dm.bin once at its end (or where it stops at a failure):
// nothing reads dm.bin between the sectors.
bool SimulateLoadedPulseSequence() {
    const VYNSequenceState& q = vyn_sequence;
    const bool hold = vyn_spatial_options.method != VYN_SPATIAL_LITERAL && vyn_spatial_options.hold != 0;
    if (hold) vyn_spatial_run_begin();
    bool ok = p3d_run_sectors();
    if (hold && !p3d_end_run()) ok = false;
    if (!ok) return false;
    if (q.resultflnm[0] == '\0') return true;
    if (!copy_file_binary("dm.bin", q.resultflnm)) {
        std::printf("Failed to copy spatial density-matrix result to %s\n", q.resultflnm);
        return false;
    }
    std::printf("Copied spatial density-matrix result to %s\n", q.resultflnm);
    return true;
}

namespace {
// The samples of one sector, kept while the voxel sum runs.
struct P3DSamples {
    std::vector<double> xb, yb, gx, gy, gz;
};

struct P3DSumProgress {
    int first, count;
};

void p3d_sum_progress(int v, void* ctx) {
    const P3DSumProgress& p = *static_cast<const P3DSumProgress*>(ctx);
    const int done = v - p.first + 1;
    const int step = p.count > 100 ? p.count / 100 : 1;
    if (done != p.count && done % step != 0) return;
    std::printf("[VYN_PROGRESS] voxel=%d voxels=%d percent=%d\n", done, p.count,
                static_cast<int>(100LL * done / p.count));
    std::fflush(stdout);
}

// The sectors before acquisition, each with its own copy of the samples.
bool p3d_load_all_sectors(int n, std::vector<P3DSamples>& samples, std::vector<VYNSpatialSector>& sectors) {
    const VYNSequenceState& q = vyn_sequence;
    const int nos = q.nos < 0 ? 0 : (q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos);
    samples.reserve(nos);
    for (int s = 1; s <= nos && !vyn_sector_is_acquisition(s); ++s) {
        if (!p3d_load_sector(s, true)) return false;
        const int ap = vyn_prop.ap;
        const VYNWaveformState& w = vyn_waveform;
        samples.push_back(P3DSamples{std::vector<double>(w.xb, w.xb + ap), std::vector<double>(w.yb, w.yb + ap),
                                     std::vector<double>(w.gx, w.gx + ap), std::vector<double>(w.gy, w.gy + ap),
                                     std::vector<double>(w.gz, w.gz + ap)});
        VYNSpatialSector sector = p3d_sector(n, ap);
        const P3DSamples& own = samples.back();
        sector.xb = own.xb.data();
        sector.yb = own.yb.data();
        sector.gx = own.gx.data();
        sector.gy = own.gy.data();
        sector.gz = own.gz.data();
        sectors.push_back(sector);
    }
    return true;
}
}  // namespace

bool SimulateLoadedPulseSequenceVoxelSum(int first, int count, CMatrix& sum) {
    VYNSpinState& sp = vyn_spin;
    const VYNGridState& g = vyn_grid;
    if (!BuildSpinSystemFromPulseSequenceGlobals() || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::printf("Invalid spin system: n=%d\n", sp.n);
        return false;
    }
    const int n = sp.n;
    if (g.ndx < 1 || g.ndx > kMaxGrid || g.ndy < 1 || g.ndy > kMaxGrid || g.ndz < 1 || g.ndz > kMaxGrid) {
        std::printf("Voxel sum: invalid grid %dx%dx%d\n", g.ndx, g.ndy, g.ndz);
        return false;
    }
    const long long voxels = static_cast<long long>(g.ndx) * g.ndy * g.ndz;
    if (first < 1 || count < 1 || static_cast<long long>(first) + count - 1 > voxels) {
        std::printf("Voxel sum: voxels %d..%lld lie outside the grid of %lld voxels\n", first,
                    static_cast<long long>(first) + count - 1, voxels);
        return false;
    }
    CMatAdd(n, sp.Izee, sp.Icoup, p3d_hc);
    std::vector<P3DSamples> samples;
    std::vector<VYNSpatialSector> sectors;
    if (!p3d_load_all_sectors(n, samples, sectors)) return false;
    P3DSumProgress progress{first, count};
    const bool quiet = p3d_quiet();
    return vyn_spatial_voxel_sum(sectors.data(), static_cast<int>(sectors.size()), sp.densmat, first, count,
                                 quiet ? nullptr : p3d_sum_progress, &progress, sum);
}
