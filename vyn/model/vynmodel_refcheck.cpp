// Developer reference checks: spin operators, Hamiltonians and lines of a
// two-spin system against known values, a spatially resolved run through
// save, load, activation and simulation, a model composed of split files, and
// two malformed models that must be refused. The engine state is saved before
// and put back after the battery.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "binaryfilehandling.h"
#include "matrixmathlib.h"
#include "spinoperatorlib.h"
#include "vyn.h"
#include "vyn_run.h"
#include "vyn_sequence_state.h"
#include "vynmodel.h"
#include "vynmodel_snapshot.h"
#include "vynmodel_subgroups.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr size_t kPathCap = 2048;
const char* const kWorkDir = "vyn-refcheck-work";

// --- comparisons ---------------------------------------------------------------
bool approx_equal(double a, double b, double tol) { return tol >= std::fabs(a - b); }

bool check_scalar(const char* tag, const char* label, double got, double expected, double tol) {
    if (approx_equal(got, expected, tol)) return true;
    std::printf("FAIL %-9s %s : got %.17g expected %.17g\n", tag, label, got, expected);
    return false;
}

bool check_cmat_entry(const char* tag, const char* label, const CMatrix& M, int r, int c, double re, double im,
                      double tol) {
    char l[160];
    std::snprintf(l, sizeof l, "%s[%d,%d].re", label, r, c);
    bool ok = check_scalar(tag, l, M(r, c).real(), re, tol);
    std::snprintf(l, sizeof l, "%s[%d,%d].im", label, r, c);
    ok = check_scalar(tag, l, M(r, c).imag(), im, tol) && ok;
    return ok;
}

struct Entry {
    int r, c;
    double re, im;
};

// Checks the listed entries and that every other entry of the n x n matrix is 0.
bool check_cmat_pattern(const char* tag, const char* label, const CMatrix& M, int n, const Entry* list, int count,
                        double tol) {
    bool ok = true;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            double re = 0.0, im = 0.0;
            for (int k = 0; k < count; ++k)
                if (list[k].r == r && list[k].c == c) {
                    re = list[k].re;
                    im = list[k].im;
                }
            ok = check_cmat_entry(tag, label, M, r, c, re, im, tol) && ok;
        }
    return ok;
}

void pass_line(const char* name) { std::printf("PASS          %s\n", name); }

// --- files and directories -----------------------------------------------------
bool ensure_dir(const char* path) {
    if (mkdir(path, 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool join(char* out, const char* dir, const char* leaf) { return vyn_join_path(out, kPathCap, dir, leaf) != 0; }

bool write_text(const char* path, const char* text) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const size_t len = std::strlen(text);
    bool ok = std::fwrite(text, 1, len, f) == len;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool file_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// One spatial waveform point (xb, yb, gx, gy, gz): a 90 degree x pulse of
// 10 us under a 2000 Hz/cm x gradient.
bool write_pulse_fixture(const char* path) {
    const double v[5] = {0.5 * kPi / 1e-5, 0.0, 2.0 * kPi * 2000.0, 0.0, 0.0};
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    bool ok = binfh_fwrite_doubles_le(v, 5, f);
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

// True when path lies inside dir (both absolute, dot segments collapsed).
bool path_is_inside(const char* path, const char* dir) {
    char p[kPathCap], d[kPathCap];
    std::snprintf(p, sizeof p, "%s", path);
    std::snprintf(d, sizeof d, "%s", dir);
    vyn_collapse_dot_segments(p);
    vyn_collapse_dot_segments(d);
    const size_t n = std::strlen(d);
    return p[0] == '/' && std::strncmp(p, d, n) == 0 && p[n] == '/';
}

// --- two-spin system -------------------------------------------------------------
CMatrix rc_a, rc_b, rc_c, rc_rho;

void configure_two_spin_half_system(double nu1, double nu2, double j, int coupling_mode) {
    VYNSpinState& S = vyn_spin;
    S.Nspins = 2;
    S.Jexact = coupling_mode;
    S.Jcount = 1;
    for (int i = 0; i <= VYN_MAX_SPINS; ++i) {
        S.quantnum[i] = 0;
        S.relspinamp[i] = 0.0;
        S.resofreqs[i] = 0.0;
    }
    for (int p = 0; p <= VYN_MAX_COUPLINGS; ++p) S.couplings[p] = 0.0;
    std::memset(S.jc, 0, sizeof S.jc);
    S.quantnum[1] = S.quantnum[2] = 1;
    S.relspinamp[1] = S.relspinamp[2] = 1.0;
    S.resofreqs[1] = nu1;
    S.resofreqs[2] = nu2;
    S.couplings[1] = j;
    VYN_SetSmokeCheckMode(1);
    VYN_RebuildSpinSystemFromPulseSequenceGlobals();
    VYN_SetSmokeCheckMode(0);
}

// --- case 1 ------------------------------------------------------------------------
int RunSpinOperatorReferenceCases() {
    const char* tag = "spinop";
    const double tol = 1e-12;
    bool ok = true;
    static SpinKet ket;
    SpinIList one = {0, 1};
    MakeKets(ket, one);
    if (ket[1][1] != 1 || ket[2][1] != -1) {
        std::printf("FAIL %-9s one-spin ket enumeration differs from the reference\n", tag);
        ok = false;
    }
    MakeMatrixIx(one, ket, 2, 1, rc_a);
    const Entry ix[] = {{1, 2, 0.5, 0}, {2, 1, 0.5, 0}};
    ok = check_cmat_pattern(tag, "Ix", rc_a, 2, ix, 2, tol) && ok;
    MakeMatrixIy(one, ket, 2, 1, rc_b);
    const Entry iy[] = {{1, 2, 0, -0.5}, {2, 1, 0, 0.5}};
    ok = check_cmat_pattern(tag, "Iy", rc_b, 2, iy, 2, tol) && ok;
    MakeMatrixIz(one, ket, 2, 1, rc_c);
    const Entry iz[] = {{1, 1, 0.5, 0}, {2, 2, -0.5, 0}};
    ok = check_cmat_pattern(tag, "Iz", rc_c, 2, iz, 2, tol) && ok;
    CMatCommutator(2, rc_a, rc_b, rc_c);
    const Entry comm[] = {{1, 1, 0, 0.5}, {2, 2, 0, -0.5}};
    ok = check_cmat_pattern(tag, "[Ix,Iy]", rc_c, 2, comm, 2, tol) && ok;

    SpinIList two = {0, 1, 1};
    MakeKets(ket, two);
    const int expected[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    bool kets = true;
    for (int s = 0; s < 4; ++s) kets = kets && ket[s + 1][1] == expected[s][0] && ket[s + 1][2] == expected[s][1];
    if (!kets) {
        std::printf("FAIL %-9s two-spin ket enumeration differs from the reference\n", tag);
        ok = false;
    }
    MakeTotalIx(4, 2, ket, two, 0, rc_a);
    const Entry ixt[] = {{1, 2, 0.5, 0}, {1, 3, 0.5, 0}, {2, 1, 0.5, 0}, {2, 4, 0.5, 0},
                         {3, 1, 0.5, 0}, {3, 4, 0.5, 0}, {4, 2, 0.5, 0}, {4, 3, 0.5, 0}};
    ok = check_cmat_pattern(tag, "Ixtot", rc_a, 4, ixt, 8, tol) && ok;
    MakeTotalIy(4, 2, ket, two, 0, rc_a);
    const Entry iyt[] = {{1, 2, 0, -0.5}, {1, 3, 0, -0.5}, {2, 4, 0, -0.5}, {3, 4, 0, -0.5},
                         {2, 1, 0, 0.5},  {3, 1, 0, 0.5},  {4, 2, 0, 0.5},  {4, 3, 0, 0.5}};
    ok = check_cmat_pattern(tag, "Iytot", rc_a, 4, iyt, 8, tol) && ok;
    MakeTotalIz(4, 2, ket, two, 0, rc_a);
    const Entry izt[] = {{1, 1, 1, 0}, {4, 4, -1, 0}};
    ok = check_cmat_pattern(tag, "Iztot", rc_a, 4, izt, 2, tol) && ok;
    if (ok) pass_line("spin-operator-reference");
    return ok ? 1 : 0;
}

// --- case 2 ------------------------------------------------------------------------
int RunHamiltonianReferenceCases() {
    const char* tag = "hamilton";
    const double tol = 1e-10, nu1 = 100.0, nu2 = -40.0, J = 12.0;
    bool ok = true;
    configure_two_spin_half_system(nu1, nu2, J, 1);
    const VYNSpinState& S = vyn_spin;
    if (S.n != 4) {
        std::printf("FAIL %-9s two-spin Hilbert dimension : got %d expected 4\n", tag, S.n);
        return 0;
    }
    const Entry zee[] = {{1, 1, (nu1 + nu2) * kPi, 0},
                         {2, 2, (nu1 - nu2) * kPi, 0},
                         {3, 3, (nu2 - nu1) * kPi, 0},
                         {4, 4, -(nu1 + nu2) * kPi, 0}};
    for (const Entry& e : zee) ok = check_cmat_entry(tag, "Izee", S.Izee, e.r, e.c, e.re, e.im, tol) && ok;
    const double h = 0.5 * kPi * J;
    const Entry weak[] = {{1, 1, h, 0}, {2, 2, -h, 0}, {3, 3, -h, 0}, {4, 4, h, 0}};
    ok = check_cmat_pattern(tag, "Icoup weak", S.Icoup, 4, weak, 4, tol) && ok;
    configure_two_spin_half_system(nu1, nu2, J, 2);
    const Entry exact[] = {{1, 1, h, 0}, {2, 2, -h, 0},      {3, 3, -h, 0},
                           {4, 4, h, 0}, {2, 3, kPi * J, 0}, {3, 2, kPi * J, 0}};
    ok = check_cmat_pattern(tag, "Icoup exact", S.Icoup, 4, exact, 6, tol) && ok;
    CMatAdd(4, S.Izee, S.Icoup, rc_a);
    ok = check_cmat_entry(tag, "Istat exact", rc_a, 2, 3, kPi * J, 0, tol) && ok;
    ok = check_cmat_entry(tag, "Istat exact", rc_a, 3, 2, kPi * J, 0, tol) && ok;
    ok = check_cmat_entry(tag, "Istat exact", rc_a, 1, 1, h + (nu1 + nu2) * kPi, 0, tol) && ok;
    if (ok) pass_line("hamiltonian-reference");
    return ok ? 1 : 0;
}

// --- case 3 ------------------------------------------------------------------------
int RunWeakTwoSpinSpectrumReferenceCase() {
    const char* tag = "spectrum";
    configure_two_spin_half_system(100.0, -40.0, 12.0, 1);
    const VYNSpinState& S = vyn_spin;
    const int n = S.n;
    CMatAdd(n, S.Izee, S.Icoup, rc_a);
    CopyCMatrix(n, S.Iytot, rc_rho);
    static SpectrumLineList lists[4];
    DoSpectrum(n, rc_rho, rc_a, S.Ixtot, lists[0], lists[1], nullptr, nullptr);
    DoSpectrum(n, rc_rho, rc_a, S.Iytot, lists[2], lists[3], nullptr, nullptr);
    double found[257];
    int count = 0;
    for (auto& l : lists)
        for (int k = 1; k <= MATRIXMATH_MAX_LINES; ++k) {
            if (std::fabs(l[1][k]) <= 1e-12) continue;
            const double f = std::fabs(l[2][k]);
            bool known = false;
            for (int i = 0; i < count; ++i) known = known || std::fabs(found[i] - f) <= 0.05;
            if (!known && count < 257) found[count++] = f;
        }
    const double expected[4] = {34.0, 46.0, 94.0, 106.0};
    bool ok = true;
    if (count != 4) {
        std::printf("FAIL %-9s unique absolute resonance count: got %d expected %d\n", tag, count, 4);
        ok = false;
    }
    for (double e : expected) {
        bool hit = false;
        for (int i = 0; i < count; ++i) hit = hit || std::fabs(found[i] - e) <= 0.05;
        if (!hit) {
            std::printf("FAIL %-9s missing resonance at %.6g Hz\n", tag, e);
            ok = false;
        }
    }
    if (!ok) {
        std::printf("      observed absolute frequencies:");
        for (int i = 0; i < count; ++i) std::printf(" %.12g", found[i]);
        std::printf("\n");
    }
    if (ok) pass_line("weak-two-spin-spectrum-reference");
    return ok ? 1 : 0;
}

// --- case 4 ------------------------------------------------------------------------
CMatrix g_spatial_center_density;
int g_spatial_center_density_valid = 0;

struct VoxelExpect {
    int voxel, r, c;
    double re, im;
};

bool CheckSpatialGradientResultFile(const char* path) {
    const char* tag = "spatgrad";
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::printf("FAIL %-9s could not open result file: %s\n", tag, path);
        return false;
    }
    int32_t type = 0, n = 0, ndw = 0;
    if (ReadBinFileHeader_status(f, &type, &n, &ndw) != BINFH_OK) {
        std::printf("FAIL %-9s could not read result header\n", tag);
        std::fclose(f);
        return false;
    }
    if (type != 0 || n != 4 || ndw != 5) {
        std::printf("FAIL %-9s header mismatch: got type=%d n=%d ndw=%d expected 0 4 5\n", tag, type, n, ndw);
        std::fclose(f);
        return false;
    }
    static const VoxelExpect table[] = {
        {1, 1, 1, 0.12966277248639121, 0},
        {1, 1, 2, -0.34839592743525305, -0.3526177953414769},
        {1, 4, 4, -0.12976384399514077, 0},
        {3, 1, 1, 2.0850067718604043e-06, 0},
        {3, 4, 4, -1.9206179415411393e-06, 0},
        {5, 1, 1, 0.13050208511307385, 0},
        {5, 1, 2, 0.347538510681552, -0.3536064283699171},
        {5, 4, 4, -0.13040084707391453, 0},
    };
    bool ok = true;
    g_spatial_center_density_valid = 0;
    const VYNSpinState& S = vyn_spin;
    for (int v = 1; v <= 5; ++v) {
        for (int r = 1; r <= 4; ++r)
            if (!read_cmatrix_row(f, 4, rc_rho, r)) {
                std::printf("FAIL %-9s could not read voxel %d row %d\n", tag, v, r);
                std::fclose(f);
                return false;
            }
        std::complex<double> trace = 0;
        double herm = 0.0, frob = 0.0;
        for (int r = 1; r <= 4; ++r) {
            trace += rc_rho(r, r);
            for (int c = 1; c <= 4; ++c) {
                const std::complex<double> a = rc_rho(r, c), b = rc_rho(c, r);
                herm = std::fmax(herm, std::fmax(std::fabs(a.real() - b.real()), std::fabs(a.imag() + b.imag())));
                frob += std::norm(a);
            }
        }
        ok = check_scalar(tag, "trace.re", trace.real(), 0.0, 1e-10) && ok;
        ok = check_scalar(tag, "trace.im", trace.imag(), 0.0, 1e-10) && ok;
        ok = check_scalar(tag, "hermitian.maxerr", herm, 0.0, 1e-10) && ok;
        ok = check_scalar(tag, "frobenius", std::sqrt(frob), 1.4142135623730951, 1e-10) && ok;
        char label[32];
        std::snprintf(label, sizeof label, "rho voxel%d", v);
        for (const VoxelExpect& e : table)
            if (e.voxel == v) ok = check_cmat_entry(tag, label, rc_rho, e.r, e.c, e.re, e.im, 1e-6) && ok;
        if (v == 3) {
            Complex2 ev{};
            MakeMatrixIy(S.Ilist, S.ket, 4, 1, rc_a);
            ExpectationValue(4, rc_a, rc_rho, ev);
            ok = check_scalar(tag, "center <Iy1>.re", ev[1], 1.0, 1e-5) && ok;
            ok = check_scalar(tag, "center <Iy1>.im", ev[2], 0.0, 1e-10) && ok;
            MakeMatrixIy(S.Ilist, S.ket, 4, 2, rc_a);
            ExpectationValue(4, rc_a, rc_rho, ev);
            ok = check_scalar(tag, "center <Iy2>.re", ev[1], 1.0, 1e-5) && ok;
            ok = check_scalar(tag, "center <Iy2>.im", ev[2], 0.0, 1e-10) && ok;
            CopyCMatrix(4, rc_rho, g_spatial_center_density);
            g_spatial_center_density_valid = 1;
        }
    }
    if (!g_spatial_center_density_valid) {
        std::printf("FAIL %-9s center voxel was not available for expectation check\n", tag);
        ok = false;
    }
    unsigned char extra;
    if (std::fread(&extra, 1, 1, f) == 1) {
        std::printf("FAIL %-9s result file has trailing bytes\n", tag);
        ok = false;
    }
    std::fclose(f);
    return ok;
}

bool CheckCenterStateSpectrumEqualAmplitudes() {
    const char* tag = "spatgrad";
    const VYNSpinState& S = vyn_spin;
    CMatAdd(4, S.Izee, S.Icoup, rc_a);
    MakeTotalIx(4, 2, S.ket, S.Ilist, 0, rc_b);
    const double lines[4] = {34.0, 46.0, 94.0, 106.0};
    double sum[4] = {0, 0, 0, 0};
    for (int a = 1; a <= 4; ++a)
        for (int b = a + 1; b <= 4; ++b) {
            const double f = std::fabs(rc_a(b, b).real() - rc_a(a, a).real()) / (2.0 * kPi);
            const double amp = std::abs(rc_b(a, b) * g_spatial_center_density(b, a));
            for (int k = 0; k < 4; ++k)
                if (std::fabs(f - lines[k]) <= 0.05) sum[k] += amp;
        }
    bool ok = true;
    for (int k = 0; k < 4; ++k)
        if (!(sum[k] > 1e-8)) {
            std::printf("FAIL %-9s missing center-state line amplitude at %.6g Hz\n", tag, lines[k]);
            ok = false;
        }
    for (int k = 1; ok && k < 4; ++k) ok = check_scalar(tag, "equal line amplitude", sum[k], sum[0], 5e-5) && ok;
    return ok;
}

int RunSpatialGradientReferenceCase() {
    const char* tag = "spatgrad";
    char cwd[kPathCap], work[kPathCap], casedir[kPathCap], models[kPathCap], rfdir[kPathCap];
    if (!getcwd(cwd, sizeof cwd) || !join(work, cwd, kWorkDir) || !join(casedir, work, "spatial-gradient") ||
        !join(models, casedir, "models") || !join(rfdir, casedir, "rf-output")) {
        std::printf("FAIL %-9s could not build reference paths\n", tag);
        return 0;
    }
    if (!ensure_dir(work) || !ensure_dir(casedir) || !ensure_dir(models) || !ensure_dir(rfdir)) {
        std::printf("FAIL %-9s could not create reference directories\n", tag);
        return 0;
    }
    char model_path[kPathCap], pulse_path[kPathCap], result_path[kPathCap];
    if (!join(model_path, models, "case.vynmodel") || !join(pulse_path, rfdir, "wave1-excitation") ||
        !join(result_path, models, "spatial-gradient-result.bin") ||
        std::strlen(pulse_path) >= VYN_MODEL_FILENAME_LEN || std::strlen(result_path) >= VYN_MODEL_FILENAME_LEN) {
        std::printf("FAIL %-9s could not build reference file paths\n", tag);
        return 0;
    }
    if (!write_pulse_fixture(pulse_path)) {
        std::printf("FAIL %-9s could not write pulse fixture\n", tag);
        return 0;
    }
    static VYNSpinSystemDef spin, spin2;
    static VYNPulseSequenceDef seq, seq2;
    static VYNRunConfig cfg, cfg2;
    VYNSpinSystemDef_Init(&spin);
    VYNPulseSequenceDef_Init(&seq);
    VYNRunConfig_Init(&cfg);
    spin.nspins = 2;
    spin.spin_quantum_numbers[1] = spin.spin_quantum_numbers[2] = 1;
    spin.relative_intensities[1] = spin.relative_intensities[2] = 1.0;
    spin.resonance_offsets_hz[1] = 100.0;
    spin.resonance_offsets_hz[2] = -40.0;
    spin.coupling_mode = 1;
    spin.j_hz[1][2] = spin.j_hz[2][1] = 12.0;
    seq.sequence_type = 1;
    seq.sector_count = 1;
    VYNPulseSectorDef& sec = seq.sectors[1];
    sec.sector_type = 1;
    sec.number_of_timepoints = 1;
    sec.number_of_evolpoints = 1;
    sec.total_duration_s = 1e-5;
    sec.offset_frequency_hz = 0.0;
    std::snprintf(sec.pulse_filename, sizeof sec.pulse_filename, "%s", pulse_path);
    std::snprintf(sec.remark, sizeof sec.remark, "%s", "spatial gradient reference sector");
    cfg.ndx = 5;
    cfg.ndy = cfg.ndz = 1;
    cfg.x0_cm = -10.0;
    cfg.dx_cm = 5.0;
    cfg.y0_cm = cfg.z0_cm = cfg.dy_cm = cfg.dz_cm = 0.0;
    std::snprintf(cfg.result_filename, sizeof cfg.result_filename, "%s", result_path);
    std::snprintf(cfg.model_name, sizeof cfg.model_name, "%s", "spatial-gradient-reference");

    char err[512] = "";
    VYNModelStatus st = VYNModel_SaveText(model_path, &spin, &seq, &cfg, err, sizeof err);
    if (st != VYN_MODEL_OK) {
        std::printf("FAIL %-9s save failed: %s (%s)\n", tag, VYNModelStatusString(st), err);
        return 0;
    }
    st = VYNModel_LoadText(model_path, &spin2, &seq2, &cfg2, err, sizeof err);
    if (st != VYN_MODEL_OK) {
        std::printf("FAIL %-9s load failed: %s (%s)\n", tag, VYNModelStatusString(st), err);
        return 0;
    }
    // The run and its result stay inside the work directory: a stored result
    // name that resolves elsewhere is replaced by the fixture's own.
    if (!path_is_inside(cfg2.result_filename, work))
        std::snprintf(cfg2.result_filename, sizeof cfg2.result_filename, "%s", result_path);
    std::remove(result_path);
    std::remove(cfg2.result_filename);

    // dm.bin, store and the other run files go to the case directory.
    if (chdir(casedir) != 0) {
        std::printf("FAIL %-9s could not create reference directories\n", tag);
        return 0;
    }
    VYN_SetSmokeCheckMode(1);
    st = VYNModel_ActivateInLegacyRuntime(&spin2, &seq2, &cfg2, err, sizeof err);
    if (st == VYN_MODEL_OK) VYN_RunCurrentPreparedModel();
    VYN_SetSmokeCheckMode(0);
    const bool back = chdir(cwd) == 0;
    if (st != VYN_MODEL_OK) {
        std::printf("FAIL %-9s activate failed: %s (%s)\n", tag, VYNModelStatusString(st), err);
        return 0;
    }
    if (!back) {
        std::printf("FAIL %-9s could not build reference paths\n", tag);
        return 0;
    }
    if (!file_exists(cfg2.result_filename)) {
        std::printf("FAIL %-9s result file was not created: %s\n", tag, cfg2.result_filename);
        return 0;
    }
    bool ok = CheckSpatialGradientResultFile(cfg2.result_filename);
    if (ok) ok = CheckCenterStateSpectrumEqualAmplitudes();
    if (ok) pass_line("spatial-gradient-reference");
    return ok ? 1 : 0;
}

// --- case 5 ------------------------------------------------------------------------
int RunSplitCompositionReferenceCase() {
    const char* tag = "split";
    char root[kPathCap], models[kPathCap], spins[kPathCap], seqs[kPathCap], seqdir[kPathCap], waves[kPathCap];
    if (!ensure_dir(kWorkDir) || !join(root, kWorkDir, "split-composition") || !ensure_dir(root) ||
        !join(models, root, "models") || !ensure_dir(models) || !join(spins, root, "spin-systems") ||
        !ensure_dir(spins) || !join(seqs, root, "sequences") || !ensure_dir(seqs) ||
        !join(seqdir, seqs, "test-gradient") || !ensure_dir(seqdir) || !join(waves, seqdir, "waveforms") ||
        !ensure_dir(waves)) {
        std::printf("FAIL %-9s could not create reference directories\n", tag);
        return 0;
    }
    char model_path[kPathCap], spin_path[kPathCap], seq_path[kPathCap], pulse_path[kPathCap];
    if (!join(model_path, models, "case.vynmodel") || !join(spin_path, spins, "test-two-spin.vynspin") ||
        !join(seq_path, seqdir, "test-gradient.vynseq") || !join(pulse_path, waves, "wave1-excitation")) {
        std::printf("FAIL %-9s could not build reference file paths\n", tag);
        return 0;
    }
    if (!write_pulse_fixture(pulse_path)) {
        std::printf("FAIL %-9s could not write pulse fixture\n", tag);
        return 0;
    }
    if (!write_text(spin_path,
                    "format_version: 1\nspin_system_name: test-two-spin\n\nnspins: 2\nspin_quantum_numbers: 1 1\n"
                    "relative_intensities: 1 1\nresonance_offsets_hz: 100 -40\ncoupling_mode: 1\n"
                    "jcoupling_hz: 1 2 12\n")) {
        std::printf("FAIL %-9s could not write spin-system fixture\n", tag);
        return 0;
    }
    if (!write_text(
            seq_path,
            "format_version: 1\nsequence_name: test-gradient\n\nsequence_type: 1\nnumber_of_sectors: 1\n"
            "sector_type: 1 1\nsector_timepoints: 1 1\nsector_evolpoints: 1 1\nsector_duration_s: 1 1e-05\n"
            "sector_pulsefile: 1 waveforms/wave1-excitation\nsector_statoff_hz: 1 0\nsector_remark: 1 test\n")) {
        std::printf("FAIL %-9s could not write sequence fixture\n", tag);
        return 0;
    }
    if (!write_text(model_path,
                    "format_version: 1\nmodel_name: split-composition\n\n"
                    "spin_system_file: ../spin-systems/test-two-spin.vynspin\n"
                    "sequence_file: ../sequences/test-gradient/test-gradient.vynseq\n\n"
                    "ndx: 5\nndy: 1\nndz: 1\nx0_cm: -10\ny0_cm: 0\nz0_cm: 0\ndx_cm: 5\ndy_cm: 0\ndz_cm: 0\n"
                    "result_file: split-composition-result.bin\n")) {
        std::printf("FAIL %-9s could not write model fixture\n", tag);
        return 0;
    }
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    char err[512] = "";
    const VYNModelStatus st = VYNModel_LoadText(model_path, &spin, &seq, &cfg, err, sizeof err);
    if (st != VYN_MODEL_OK) {
        std::printf("FAIL %-9s load failed: %s (%s)\n", tag, VYNModelStatusString(st), err);
        return 0;
    }
    bool ok = check_scalar(tag, "nspins", spin.nspins, 2, 0);
    ok = check_scalar(tag, "sequence_type", seq.sequence_type, 1, 0) && ok;
    ok = check_scalar(tag, "sector_count", seq.sector_count, 1, 0) && ok;
    ok = check_scalar(tag, "ndx", cfg.ndx, 5, 0) && ok;
    if (seq.sector_count >= 1 && !file_exists(seq.sectors[1].pulse_filename)) {
        std::printf("FAIL %-9s resolved pulse fixture does not exist: %s\n", tag, seq.sectors[1].pulse_filename);
        ok = false;
    }
    if (!std::strstr(cfg.result_filename, "build\\runtime\\results") &&
        !std::strstr(cfg.result_filename, "build/runtime/results")) {
        std::printf("FAIL %-9s relative result_file did not resolve under build runtime results: %s\n", tag,
                    cfg.result_filename);
        ok = false;
    }
    if (ok) pass_line("split-composition-reference");
    return ok ? 1 : 0;
}

// --- case 6 ------------------------------------------------------------------------
// Loads a model that must be refused with an error containing `expect`.
bool expect_refused(const char* path, const char* expect, const char* what) {
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    char err[512] = "";
    const VYNModelStatus st = VYNModel_LoadText(path, &spin, &seq, &cfg, err, sizeof err);
    if (st == VYN_MODEL_OK) {
        std::printf("FAIL malformed : %s model unexpectedly loaded\n", what);
        return false;
    }
    if (!std::strstr(err, expect)) {
        std::printf("FAIL malformed : %s model failed for unexpected reason\n", what);
        std::printf("      status : %s\n", VYNModelStatusString(st));
        std::printf("      error  : %s\n", err);
        return false;
    }
    return true;
}

int RunMalformedModelRejectCases() {
    if (!ensure_dir(kWorkDir)) {
        std::printf("FAIL malformed : could not create vyn-refcheck-work\n");
        return 0;
    }
    char mm[kPathCap], spins[kPathCap], seqs[kPathCap], seqdir[kPathCap], waves[kPathCap];
    if (!join(mm, kWorkDir, "malformed-models")) {
        std::printf("FAIL malformed : could not build malformed-models path\n");
        return 0;
    }
    if (!ensure_dir(mm) || !join(spins, kWorkDir, "spin-systems") || !ensure_dir(spins) ||
        !join(seqs, kWorkDir, "sequences") || !ensure_dir(seqs) || !join(seqdir, seqs, "malformed") ||
        !ensure_dir(seqdir) || !join(waves, seqdir, "waveforms") || !ensure_dir(waves)) {
        std::printf("FAIL malformed : could not create malformed-models directory\n");
        return 0;
    }
    char dummy[kPathCap], spin_path[kPathCap], valid[kPathCap], dup[kPathCap], invalid[kPathCap], badseq[kPathCap];
    if (!join(dummy, waves, "dummy.bin") || !join(spin_path, spins, "malformed.vynspin") ||
        !join(valid, seqdir, "valid.vynseq") || !join(dup, mm, "duplicate-sequence-type.vynmodel") ||
        !join(invalid, seqdir, "invalid.vynseq") || !join(badseq, mm, "invalid-sequence-type.vynmodel")) {
        std::printf("FAIL malformed : could not build malformed-model file paths\n");
        return 0;
    }
    FILE* f = std::fopen(dummy, "wb");
    const bool dummy_ok = f && std::fputc(0, f) == 0;
    if (f && std::fclose(f) != 0) f = nullptr;
    if (!f || !dummy_ok) {
        std::printf("FAIL malformed : could not create dummy pulse file\n");
        return 0;
    }
    if (!write_text(spin_path,
                    "format_version: 1\nspin_system_name: malformed\n\nnspins: 1\nspin_quantum_numbers: 1\n"
                    "relative_intensities: 1\nresonance_offsets_hz: 0\ncoupling_mode: 2\n")) {
        std::printf("FAIL malformed : could not create malformed.vynspin\n");
        return 0;
    }
    const char* seq_text =
        "format_version: 1\nsequence_name: malformed\n\nsequence_type: %d\nnumber_of_sectors: 1\n"
        "sector_type: 1 1\nsector_timepoints: 1 1\nsector_evolpoints: 1 1\nsector_duration_s: 1 0.001\n"
        "sector_pulsefile: 1 waveforms/dummy.bin\nsector_statoff_hz: 1 0\nsector_remark: 1 %s\n";
    char text[1024];
    std::snprintf(text, sizeof text, seq_text, 2, "valid split case");
    if (!write_text(valid, text)) {
        std::printf("FAIL malformed : could not create valid.vynseq\n");
        return 0;
    }
    const char* model_text =
        "format_version: 1\nmodel_name: %s\n\n"
        "spin_system_file: ../spin-systems/malformed.vynspin\n%s"
        "sequence_file: ../sequences/malformed/%s\n\n"
        "ndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\ny0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\n"
        "result_file: %s\n";
    std::snprintf(text, sizeof text, model_text, "duplicate-sequence-type",
                  "spin_system_file: ../spin-systems/malformed.vynspin\n", "valid.vynseq", "dup.bin");
    if (!write_text(dup, text)) {
        std::printf("FAIL malformed : could not create duplicate-sequence-type.vynmodel\n");
        return 0;
    }
    int ok = 1;
    if (expect_refused(dup, "duplicate key 'spin_system_file'", "duplicate-key"))
        pass_line("malformed-duplicate-key");
    else
        ok = 0;
    std::snprintf(text, sizeof text, seq_text, 9, "invalid semantic case");
    if (!write_text(invalid, text)) {
        std::printf("FAIL malformed : could not create invalid.vynseq\n");
        return 0;
    }
    std::snprintf(text, sizeof text, model_text, "invalid-sequence-type", "", "invalid.vynseq", "badseq.bin");
    if (!write_text(badseq, text)) {
        std::printf("FAIL malformed : could not create invalid-sequence-type.vynmodel\n");
        return 0;
    }
    if (expect_refused(badseq, "sequence_type=9 is invalid", "invalid-sequence-type"))
        pass_line("malformed-invalid-sequence-type");
    else
        ok = 0;
    return ok;
}

}  // namespace

int VYNModel_RunReferenceChecks() {
    static VYNLegacySnapshot snapshot;
    CaptureLegacySnapshot(&snapshot);
    int all = 1;
    all &= RunSpinOperatorReferenceCases();
    all &= RunHamiltonianReferenceCases();
    all &= RunWeakTwoSpinSpectrumReferenceCase();
    all &= RunSpatialGradientReferenceCase();
    all &= RunSplitCompositionReferenceCase();
    all &= RunMalformedModelRejectCases();
    RestoreLegacySnapshot(&snapshot);
    if (all)
        std::printf("All vynmodel smoke/reference checks passed.\n");
    else
        std::printf("One or more vynmodel smoke/reference checks failed.\n");
    return all;
}
