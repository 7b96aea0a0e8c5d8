// Receiver signals and spectra of the density matrices in dm.bin.
#include "observablespectrumcalculator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "binaryfilehandling.h"
#include "consuleutil.h"
#include "four3.h"
#include "vyndatafileio.h"
#include "vynlaunch.h"
#include "vynpaths.h"
#include "vynsignal_eig.h"

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
const char* const kSignalFile = "vynsign.bin";

CMatrix osc_hprime;  // precession operator H' = -(H0 + 2 pi f_off Oz)
CMatrix osc_prop;    // single-step propagator of the direct signal
CMatrix osc_single;  // per-spin operator of the diagnostics
CMatrix osc_rho0;    // the single matrix of a slow-band result, for the multiplet split

bool osc_quiet() { return VYN_GetSmokeCheckMode() != 0; }

void osc_discard_line() { consule_discard_line(); }

bool osc_read_int(int* v) {
    if (consule_read_int(v) == 1) return true;
    osc_discard_line();
    return false;
}

bool osc_read_double(double* v) {
    if (consule_read_double(v) == 1) return true;
    osc_discard_line();
    return false;
}

// Reads one blank-delimited word of at most cap-1 characters.
bool osc_read_word(char* buf, size_t cap) { return consule_read_word(buf, static_cast<int>(cap)) == 1; }

// H' = -(H0 + 2 pi f_off Oz)
void osc_form_hprime(int n, const CMatrix& H0, const CMatrix& Oz, double f_off) {
    CMatRMultAdd(n, H0, -1.0, Oz, -kTwoPi * f_off, osc_hprime);
}

// Complete line spectrum of rho under the precession operator: one candidate
// per ordered eigenstate pair (up to n^2), merged within 0.05 Hz after
// sorting, so no line is lost however many transitions a large system has.
struct OscLine {
    double f;  // Hz
    double a;  // amplitude
};
constexpr int kMaxCandidates = MATRIXMATH_DIM * MATRIXMATH_DIM;
OscLine osc_cos_lines[kMaxCandidates], osc_sin_lines[kMaxCandidates];
CMatrix osc_eigvec, osc_sig, osc_sto, osc_adj;
double osc_eigval[MATRIXMATH_DIM + 1];

int osc_merge_lines(OscLine* lines, int count) {
    std::sort(lines, lines + count, [](const OscLine& x, const OscLine& y) { return x.f < y.f; });
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (kept > 0 && lines[i].f <= lines[kept - 1].f + 0.05)
            lines[kept - 1].a += lines[i].a;
        else
            lines[kept++] = lines[i];
    }
    return kept;
}

void osc_full_line_spectrum(int n, const CMatrix& rho, const CMatrix& Hprime, const CMatrix& coh, OscLine* cos_out,
                            int* nc, OscLine* sin_out, int* ns) {
    hermit(n, Hprime, osc_eigvec, osc_eigval);
    Adjungate(n, osc_eigvec, osc_adj);
    Transform(n, osc_adj, rho, osc_eigvec, osc_sig);
    Transform(n, osc_adj, coh, osc_eigvec, osc_sto);
    int ic = 0, is = 0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            if (r == c) continue;
            const double dE = osc_eigval[c] - osc_eigval[r];
            const double f = std::fabs(dE) / kTwoPi;
            const std::complex<double> z = osc_sto(r, c) * osc_sig(c, r);
            if (std::fabs(z.real()) > 1e-12) cos_out[ic++] = {f, z.real()};
            const double a = dE < 0 ? -z.imag() : z.imag();
            if (std::fabs(a) > 1e-12) sin_out[is++] = {f, a};
        }
    *nc = osc_merge_lines(cos_out, ic);
    *ns = osc_merge_lines(sin_out, is);
}

// out[k] = sum a cos(2 pi f t) + sum b sin(2 pi f t), t = k acq/(np-1).
void osc_synthesise(int np, double acq, const OscLine* cs, int nc, const OscLine* ss, int ns, double* out) {
    for (int k = 0; k < np; ++k) {
        const double t = np < 2 ? 0.0 : k * acq / (np - 1);
        double v = 0.0;
        for (int i = 0; i < nc; ++i) v += cs[i].a * std::cos(kTwoPi * cs[i].f * t);
        for (int i = 0; i < ns; ++i) v += ss[i].a * std::sin(kTwoPi * ss[i].f * t);
        out[k] = v;
    }
}

void osc_print_line_list(const char* title, const OscLine* cs, int nc, const OscLine* ss, int ns) {
    std::printf("\nVYN legacy DoSpectrum component list: %s\n", title);
    std::puts("  COS components: amplitude * cos(2*pi*frequency_hz*t)");
    for (int k = 0; k < nc; ++k) std::printf("    % .12e  % .12g\n", cs[k].a, cs[k].f);
    std::puts("  SIN components: amplitude * sin(2*pi*frequency_hz*t)");
    for (int k = 0; k < ns; ++k) std::printf("    % .12e  % .12g\n", ss[k].a, ss[k].f);
}

// Transverse expectations per spin and the line lists of the matrix at
// acquisition start. The eigensolver serves every dimension up to 256.
void osc_acquisition_diagnostics(int n, const CMatrix& rho, const CMatrix& Ox, const CMatrix& Oy, const SpinKet& ket,
                                 const SpinIList& Ilist) {
    std::puts("\nVYN ADC-start per-spin transverse expectations");
    std::puts("  columns: spin  <Ix>_re  <Iy>_re");
    int last = 0;
    for (int s = 1; s <= 8; ++s)
        if (Ilist[s] > 0) last = s;
    for (int s = 1; s <= last; ++s) {
        Complex2 ex{}, ey{};
        MakeMatrixIx(Ilist, ket, n, s, osc_single);
        NormCMatrix(n, osc_single);
        ExpectationValue(n, osc_single, rho, ex);
        MakeMatrixIy(Ilist, ket, n, s, osc_single);
        NormCMatrix(n, osc_single);
        ExpectationValue(n, osc_single, rho, ey);
        std::printf("  %2d  % .12e  % .12e\n", s, ex[1], ey[1]);
    }
    int nc = 0, ns = 0;
    osc_full_line_spectrum(n, rho, osc_hprime, Ox, osc_cos_lines, &nc, osc_sin_lines, &ns);
    osc_print_line_list("Ix absorption channel", osc_cos_lines, nc, osc_sin_lines, ns);
    osc_full_line_spectrum(n, rho, osc_hprime, Oy, osc_cos_lines, &nc, osc_sin_lines, &ns);
    osc_print_line_list("Iy dispersion channel", osc_cos_lines, nc, osc_sin_lines, ns);
}

// One complex row of count points: halve the first point, apodise with
// exp(-10 k / count), forward transform, and swap the two halves.
void osc_2d_row(double* row, int count) {
    row[0] *= 0.5;
    row[1] *= 0.5;
    for (int k = 0; k < count; ++k) {
        const double w = std::exp(-10.0 * k / count);
        row[2 * k] *= w;
        row[2 * k + 1] *= w;
    }
    four2(row, static_cast<size_t>(count), 1);
}

// Signal-file dimensions that fit the file: 1..2^24 samples and traces and a
// body of exactly that size present.
bool osc_signal_dims_ok(FILE* f, int num1, int num2) {
    if (num1 < 1 || num2 < 1 || num1 > (1 << 24) || num2 > (1 << 24)) return false;
    return vyn_prop_body_complete(f);
}

// Opens dm.bin for n-state density matrices: header of a matrix file for
// dimension n and a body as long as it announces. A header announcing more
// matrices than the file holds is refused before anything is written. Null
// (message printed) on failure; *count receives the number of matrices.
FILE* osc_open_density_matrices(int n, int32_t* count) {
    FILE* in = std::fopen("dm.bin", "rb");
    if (!in) {
        binfh_print_error("fopen(dm.bin)");
        return nullptr;
    }
    int32_t ftype = 0, fn = 0;
    *count = 0;
    if (ReadBinFileHeader_status(in, &ftype, &fn, count) != BINFH_OK || ftype == 1 || fn != n || n < 1 ||
        n > MATRIXMATH_DIM || *count < 0) {
        std::printf("dm.bin header mismatch: ftype=%d fn=%d expected n=%d\n", ftype, fn, n);
        std::fclose(in);
        return nullptr;
    }
    if (!vyn_prop_body_complete(in)) {
        std::puts(">>> READ BINARY FILE ERROR (dm.bin) <<<");
        std::fclose(in);
        return nullptr;
    }
    return in;
}

// Console questions of a signal calculation; false on failed input.
bool osc_ask_signal_params(int* np, double* acq, double* f_off) {
    std::printf("How many time-points (power of 2): ");
    std::fflush(stdout);
    if (!osc_read_int(np)) return false;
    std::printf("\nAcquisition time [seconds] : ");
    std::fflush(stdout);
    if (!osc_read_double(acq)) return false;
    std::printf("\nOffset frequency [Hz] = ");
    std::fflush(stdout);
    return osc_read_double(f_off);
}

// Reads the body of a signal file of `total` complex samples and closes in;
// null (message printed) on failure.
double* osc_read_signal_body(FILE* in, size_t total, const char* read_error) {
    double* data = static_cast<double*>(std::calloc(2 * total, sizeof(double)));
    if (!data) {
        binfh_print_error("calloc");
        std::fclose(in);
        return nullptr;
    }
    if (!binfh_fread_doubles_le(data, 2 * total, in)) {
        std::puts(read_error);
        std::free(data);
        std::fclose(in);
        return nullptr;
    }
    std::fclose(in);
    return data;
}

// The signals of the count matrices of in into out on the eigenbasis path
// (prepared), a batch of traces at once on the workers; rho ends as the
// last trace leaves it, as in the trace-by-trace loop.
bool osc_write_traces(FILE* in, FILE* out, int n, int np, int count, CMatrix& rho) {
    using cd = std::complex<double>;
    const size_t nn = static_cast<size_t>(n) * n;
    const int batch = std::max(1, std::min(count, static_cast<int>((32u << 20) / (sizeof(cd) * nn))));
    std::vector<cd> rhos(batch * nn);
    std::vector<double> re(static_cast<size_t>(batch) * np), im(re.size()), inter(2 * re.size());
    for (int j0 = 0; j0 < count; j0 += batch) {
        const int cnt = std::min(batch, count - j0);
        // The packed matrices are the file's layout: the batch in one read.
        if (!binfh_fread_doubles_le(reinterpret_cast<double*>(rhos.data()), 2 * nn * cnt, in)) {
            std::puts(">>> READ BINARY FILE ERROR (dm.bin) <<<");
            return false;
        }
        cd* last = j0 + cnt == count ? &rhos[(cnt - 1) * nn] : nullptr;
        vyn_signal_eigen_traces(cnt, rhos.data(), re.data(), im.data(), last);
        for (size_t k = 0; k < static_cast<size_t>(cnt) * np; ++k) {
            inter[2 * k] = finite_or_zero(re[k]);
            inter[2 * k + 1] = finite_or_zero(im[k]);
        }
        if (!binfh_fwrite_doubles_le(inter.data(), 2 * static_cast<size_t>(cnt) * np, out)) {
            binfh_print_error("fwrite(signal output)");
            return false;
        }
        if (last)
            for (int r = 1; r <= n; ++r) std::memcpy(&rho(r, 1), last + (r - 1) * n, sizeof(cd) * n);
    }
    return true;
}
}  // namespace

void build_direct_observable_signal(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                                    const CMatrix& Oy, double* re_out, double* im_out) {
    if (n < 1 || n > MATRIXMATH_DIM || np < 1 || !re_out || !im_out) return;
    if (vyn_signal_options.method == VYN_SIGNAL_EIGEN &&
        vyn_signal_eigen(n, np, acq, rho, Hprime, Ox, Oy, re_out, im_out))
        return;
    const double dt = acq / np;
    ExpMatrix(n, Hprime, dt, osc_prop);
    for (int k = 0; k < np; ++k) {
        Complex2 ex{}, ey{};
        ExpectationValue(n, Ox, rho, ex);
        ExpectationValue(n, Oy, rho, ey);
        re_out[k] = ex[1];
        im_out[k] = ey[1];
        if (k + 1 < np) DoRotation(n, osc_prop, rho);
    }
}

void build_scalar_signal_from_spectrum(int np, double acq, const double cos_list[3][257], int ncos,
                                       const double sin_list[3][257], int nsin, double* out) {
    if (!out || np < 1) return;
    if (ncos > MATRIXMATH_MAX_LINES) ncos = MATRIXMATH_MAX_LINES;
    if (nsin > MATRIXMATH_MAX_LINES) nsin = MATRIXMATH_MAX_LINES;
    for (int k = 0; k < np; ++k) {
        const double t = np < 2 ? 0.0 : k * acq / (np - 1);
        double v = 0.0;
        for (int i = 1; cos_list && i <= ncos; ++i) v += cos_list[1][i] * std::cos(kTwoPi * cos_list[2][i] * t);
        for (int i = 1; sin_list && i <= nsin; ++i) v += sin_list[1][i] * std::sin(kTwoPi * sin_list[2][i] * t);
        out[k] = v;
    }
}

double SeparateSpectra_GenerateSignalWithParamsAndSlowSplit(const int* n_ptr, int np, double acq, double f_off,
                                                            const char* output_name,
                                                            const VYNSlowBandSplitConfig* slow_cfg, CMatrix& scratch,
                                                            const CMatrix& H0, const CMatrix& Ox, const CMatrix& Oy,
                                                            const CMatrix& Oz, const SpinKet& ket,
                                                            const SpinIList& Ilist) {
    if (!n_ptr || np < 1 || !(acq > 0.0)) return 0.0;
    const int n = *n_ptr;
    if (!output_name || !*output_name) output_name = kSignalFile;

    int32_t count = 0;
    FILE* in = osc_open_density_matrices(n, &count);
    if (!in) return 0.0;
    osc_form_hprime(n, H0, Oz, f_off);

    double* buf = static_cast<double*>(std::calloc(4 * static_cast<size_t>(np), sizeof(double)));
    if (!buf) {
        binfh_print_error("calloc");
        std::fclose(in);
        return 0.0;
    }
    double* re = buf;
    double* im = buf + np;
    double* interleaved = buf + 2 * static_cast<size_t>(np);

    if (vyn_is_same_file(output_name, "dm.bin")) {
        std::fprintf(stderr, "%s: signal output would overwrite the density matrices being read\n", output_name);
        std::free(buf);
        std::fclose(in);
        return 0.0;
    }
    // Written beside the output and renamed over it when complete: a failed
    // generation leaves an earlier signal file as it was.
    char tmp[4200];
    FILE* out = binfh_replace_begin(output_name, "wb", tmp, sizeof tmp);
    if (!out) {
        binfh_print_error("fopen(signal output)");
        std::free(buf);
        std::fclose(in);
        return 0.0;
    }
    bool ok = WriteBinFileHeader_status(out, BINFH_TYPE_SIGNAL, np, count) == BINFH_OK;
    const bool slow = slow_cfg && slow_cfg->enabled;
    if (ok && slow && count > 1 && !osc_quiet())
        std::printf(
            "SLOW multiplet-resolved export skipped for %d traces; complete receiver signal is still written.\n",
            count);
    // Several traces (a 2D result): on the workers when the eigenbasis serves.
    const bool batched = ok && count > 1 && vyn_signal_options.method == VYN_SIGNAL_EIGEN &&
                         vyn_signal_eigen_prepare(n, np, acq, osc_hprime, Ox, Oy);
    if (batched) ok = osc_write_traces(in, out, n, np, count, scratch);
    for (int j = 0; ok && !batched && j < count; ++j) {
        if (!read_density_matrix(in, n, n, scratch)) {
            std::puts(">>> READ BINARY FILE ERROR (dm.bin) <<<");
            ok = false;
            break;
        }
        if (count == 1 && !osc_quiet()) osc_acquisition_diagnostics(n, scratch, Ox, Oy, ket, Ilist);
        if (count == 1 && slow) CopyCMatrix(n, scratch, osc_rho0);
        build_direct_observable_signal(n, np, acq, scratch, osc_hprime, Ox, Oy, re, im);
        for (int k = 0; k < np; ++k) {
            interleaved[2 * k] = finite_or_zero(re[k]);
            interleaved[2 * k + 1] = finite_or_zero(im[k]);
        }
        if (!binfh_fwrite_doubles_le(interleaved, 2 * static_cast<size_t>(np), out)) {
            binfh_print_error("fwrite(signal output)");
            ok = false;
        }
    }
    if (ok) {
        ok = binfh_replace_commit(out, tmp, output_name);
        if (!ok) binfh_print_error("fwrite(signal output)");
        if (ok && slow && count == 1)
            write_slow_multiplet_outputs(output_name, n, np, count, acq, osc_rho0, osc_hprime, Ox, Oy, slow_cfg, Ilist);
    } else {
        binfh_replace_abort(out, tmp);
    }
    std::fclose(in);
    std::free(buf);
    return ok ? acq : 0.0;
}

double SeparateSpectra_GenerateSignalWithParams(const int* n, int np, double acq, double f_off, const char* output_name,
                                                CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                                                const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket,
                                                const SpinIList& Ilist) {
    return SeparateSpectra_GenerateSignalWithParamsAndSlowSplit(n, np, acq, f_off, output_name, nullptr, scratch, H0,
                                                                Ox, Oy, Oz, ket, Ilist);
}

double SeparateSpectra_GenerateSignal(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                                      const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket,
                                      const SpinIList& Ilist) {
    if (!np) return 0.0;
    double acq = 0.001, f_off = 0.0;
    if (osc_quiet()) {
        if (*np < 1) *np = 1;
    } else {
        std::puts("----------------------------------------------------------");
        std::puts("-    Calculation spectra of density matrix / matrices    -");
        std::puts("----------------------------------------------------------\n");
        if (!osc_ask_signal_params(np, &acq, &f_off)) return 0.0;
    }
    return SeparateSpectra_GenerateSignalWithParams(n, *np, acq, f_off, kSignalFile, scratch, H0, Ox, Oy, Oz, ket,
                                                    Ilist);
}

void SeparateSpectra(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox, const CMatrix& Oy,
                     const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist) {
    const double acq = SeparateSpectra_GenerateSignal(n, np, scratch, H0, Ox, Oy, Oz, ket, Ilist);
    if (acq > 0.0 && !osc_quiet()) SpectrumOutputMenu(acq);
}

double AverageSpectrum_WithParams(int n, int np, double acq, double f_off, CMatrix& accumulator, const CMatrix& H0,
                                  const CMatrix& Ox, const CMatrix& Oy, const CMatrix& Oz) {
    if (np < 1) return 0.0;
    int32_t count = 0;
    FILE* in = osc_open_density_matrices(n, &count);
    if (!in) return 0.0;
    CMatZero(n, accumulator);
    for (int j = 0; j < count; ++j) {
        if (!read_density_matrix(in, n, n, osc_single)) {
            std::puts(">>> READ BINARY FILE ERROR (dm.bin) <<<");
            std::fclose(in);
            return 0.0;
        }
        CMatAdd(n, accumulator, osc_single, accumulator);
    }
    std::fclose(in);

    osc_form_hprime(n, H0, Oz, f_off);
    double* buf = static_cast<double*>(std::calloc(2 * static_cast<size_t>(np), sizeof(double)));
    if (!buf) {
        binfh_print_error("calloc");
        return 0.0;
    }
    int nc = 0, ns = 0;
    osc_full_line_spectrum(n, accumulator, osc_hprime, Ox, osc_cos_lines, &nc, osc_sin_lines, &ns);
    osc_synthesise(np, acq, osc_cos_lines, nc, osc_sin_lines, ns, buf);
    osc_full_line_spectrum(n, accumulator, osc_hprime, Oy, osc_cos_lines, &nc, osc_sin_lines, &ns);
    osc_synthesise(np, acq, osc_cos_lines, nc, osc_sin_lines, ns, buf + np);
    FILE* out = std::fopen(kSignalFile, "wb");
    if (!out) {
        binfh_print_error("fopen(vynsign.bin)");
        std::free(buf);
        return 0.0;
    }
    bool ok = WriteBinFileHeader_status(out, BINFH_TYPE_SIGNAL, np, 1) == BINFH_OK;
    for (int k = 0; ok && k < np; ++k) {
        const double s[2] = {buf[k], buf[np + k]};
        ok = binfh_fwrite_doubles_le(s, 2, out);
    }
    if (std::fclose(out) != 0) ok = false;
    std::free(buf);
    return ok ? acq : 0.0;
}

double AverageSpectrum(const int* n, int* np, CMatrix& accumulator, const CMatrix& H0, const CMatrix& Ox,
                       const CMatrix& Oy, const CMatrix& Oz, const SpinKet& /*ket*/, const SpinIList& /*Ilist*/) {
    if (!n || !np) return 0.0;
    std::puts("**********************************************************");
    std::puts("*** Calculation of average spectrum of density matrices ***");
    std::puts("**********************************************************\n");
    // Header check before the questions, as the file decides whether asking makes sense.
    FILE* in = std::fopen("dm.bin", "rb");
    if (!in) {
        binfh_print_error("fopen(dm.bin)");
        return 0.0;
    }
    int32_t ftype = 0, fn = 0, count = 0;
    const bool hdr = ReadBinFileHeader_status(in, &ftype, &fn, &count) == BINFH_OK;
    std::fclose(in);
    if (!hdr || ftype == 1 || fn != *n) {
        std::printf("dm.bin header mismatch: ftype=%d fn=%d expected n=%d\n", ftype, fn, *n);
        return 0.0;
    }
    double acq = 0.0, f_off = 0.0;
    if (!osc_ask_signal_params(np, &acq, &f_off)) return 0.0;
    const double res = AverageSpectrum_WithParams(*n, *np, acq, f_off, accumulator, H0, Ox, Oy, Oz);
    if (res > 0.0) SpectrumOutputMenu(acq);
    return res;
}

void Determine2DSpectrum(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                         const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist) {
    const double acq = SeparateSpectra_GenerateSignal(n, np, scratch, H0, Ox, Oy, Oz, ket, Ilist);
    if (!(acq > 0.0) || osc_quiet()) return;
    std::printf("\nDo 2D FFT? (1=no, 2=yes)\nYour choice [1,2] : ");
    std::fflush(stdout);
    int choice = 0;
    if (!osc_read_int(&choice)) return;
    if (choice == 2) Calc2Dfft();
    SpectrumOutputMenu(acq);
}

void TransposeDataMatrix(const char* in_name, const char* out_name) {
    FILE* in = std::fopen(in_name, "rb");
    if (!in) {
        binfh_print_error("fopen(in)");
        return;
    }
    int32_t type = 0, R = 0, C = 0;
    if (ReadBinFileHeader_status(in, &type, &R, &C) != BINFH_OK || !osc_signal_dims_ok(in, R, C)) {
        std::puts(">>> READ BINARY FILE ERROR (transpose) <<<");
        std::fclose(in);
        return;
    }
    const size_t total = static_cast<size_t>(R) * static_cast<size_t>(C);
    double* data = osc_read_signal_body(in, total, ">>> READ BINARY FILE ERROR (transpose) <<<");
    if (!data) return;
    FILE* out = std::fopen(out_name, "wb");
    if (!out) {
        binfh_print_error("fopen(out)");
        std::free(data);
        return;
    }
    bool ok = WriteBinFileHeader_status(out, type, C, R) == BINFH_OK;
    for (int r = 0; ok && r < R; ++r)
        for (int c = 0; ok && c < C; ++c)
            ok = binfh_fwrite_doubles_le(&data[2 * (static_cast<size_t>(c) * R + r)], 2, out);
    if (!ok) std::puts(">>> WRITE TO BINARY FILE ERROR <<<");
    std::fclose(out);
    std::free(data);
}

namespace {
// One pass over all rows of in_name: the 2D row treatment, written with the
// halves swapped into out_name (header copied).
bool osc_2d_pass(const char* in_name, const char* out_name) {
    FILE* in = std::fopen(in_name, "rb");
    if (!in) {
        binfh_print_error("fopen");
        return false;
    }
    int32_t type = 0, N1 = 0, N2 = 0;
    if (ReadBinFileHeader_status(in, &type, &N1, &N2) != BINFH_OK || !osc_signal_dims_ok(in, N1, N2)) {
        std::puts(">>> READ BINARY FILE ERROR <<<");
        std::fclose(in);
        return false;
    }
    FILE* out = std::fopen(out_name, "wb");
    if (!out) {
        binfh_print_error("fopen");
        std::fclose(in);
        return false;
    }
    double* row = static_cast<double*>(std::malloc(4 * static_cast<size_t>(N1) * sizeof(double)));
    bool ok = row != nullptr && WriteBinFileHeader_status(out, type, N1, N2) == BINFH_OK;
    const size_t half = static_cast<size_t>(N1 / 2);
    for (int j = 0; ok && j < N2; ++j) {
        if (!binfh_fread_doubles_le(row, 2 * static_cast<size_t>(N1), in)) {
            std::puts(">>> READ BINARY FILE ERROR <<<");
            ok = false;
            break;
        }
        osc_2d_row(row, N1);
        // upper half of the samples first, so that zero frequency moves to the middle
        double* sorted = row + 2 * static_cast<size_t>(N1);
        std::memcpy(sorted, row + 2 * half, 2 * (static_cast<size_t>(N1) - half) * sizeof(double));
        std::memcpy(sorted + 2 * (static_cast<size_t>(N1) - half), row, 2 * half * sizeof(double));
        if (!binfh_fwrite_doubles_le(sorted, 2 * static_cast<size_t>(N1), out)) {
            std::puts(">>> WRITE TO BINARY FILE ERROR <<<");
            ok = false;
        }
    }
    std::free(row);
    std::fclose(out);
    std::fclose(in);
    return ok;
}
}  // namespace

void Calc2Dfft() {
    // direct dimension: vynsign.bin -> sort.bin (transformed and half-swapped)
    if (!osc_2d_pass(kSignalFile, "sort.bin")) return;
    TransposeDataMatrix("sort.bin", "spectra.bin");
    // indirect dimension on the transposed rows
    if (!osc_2d_pass("spectra.bin", "sort.bin")) return;
    // keep the last intermediate in spectra.bin, the result (N2 rows of N1) in sort.bin
    if (!copy_file_binary("sort.bin", "spectra.bin")) {
        binfh_print_error("fopen");
        return;
    }
    TransposeDataMatrix("spectra.bin", "sort.bin");
}

bool WriteGnuplotSpectrumScript(const char* script_name, const char* data_name, const char* title) {
    if (!script_name || !data_name) return false;
    if (!title || !*title) title = "VYN Spectrum";
    // The data name and the title come from the user: quoted by the plot
    // scripts' one quoting rule, and refused where they cannot be.
    if (!vyn_launch_quotable(data_name) || !vyn_launch_quotable(title)) {
        std::fprintf(stderr, "%s: file name or title cannot be put into a plot script\n", script_name);
        return false;
    }
    FILE* f = std::fopen(script_name, "w");
    if (!f) {
        binfh_print_error(script_name);
        return false;
    }
    std::fprintf(f, "set terminal qt\n");
    std::fprintf(f, "set datafile separator \",\"\n");
    std::fprintf(f, "set key right top\n");
    std::fprintf(f, "set grid\n");
    std::fprintf(f, "set xlabel \"Frequency (Hz)\"\n");
    std::fprintf(f, "set ylabel \"Intensity\"\n");
    std::fprintf(f, "set xrange [*:*] reverse\n");
    std::fputs("set title ", f);
    vyn_launch_put_quoted(f, title);
    std::fputs("\nplot ", f);
    vyn_launch_put_quoted(f, data_name);
    std::fputs(" using 1:3 with lines title \"re\", \\\n     ", f);
    vyn_launch_put_quoted(f, data_name);
    std::fputs(" using 1:9 with lines title \"mag\"\n", f);
    std::fprintf(f, "pause mouse close\n");
    bool ok = !std::ferror(f);
    if (std::fclose(f) != 0) ok = false;
    if (!ok) binfh_print_error(script_name);
    return ok;
}

bool AskOpenPlotNow() {
    std::printf("Open spectrum in gnuplot now? [y/n] : ");
    std::fflush(stdout);
    char word[16];
    if (!osc_read_word(word, sizeof word)) return false;
    return word[0] == 'y' || word[0] == 'Y';
}

bool Create_CSV_Files_Named(double acq, const char* base, char* fd_name_out, size_t fd_name_size) {
    if (!base || !*base) return false;
    char td_name[300], fd_name[300];
    // A cut-off name would write some other file.
    const int tl = std::snprintf(td_name, sizeof td_name, "%s_td.csv", base);
    const int fl = std::snprintf(fd_name, sizeof fd_name, "%s_fd.csv", base);
    if (tl < 0 || fl < 0 || static_cast<size_t>(tl) >= sizeof td_name || static_cast<size_t>(fl) >= sizeof fd_name)
        return false;
    FILE* in = std::fopen(kSignalFile, "rb");
    if (!in) {
        binfh_print_error("fopen(vynsign.bin)");
        return false;
    }
    int32_t type = 0, N1 = 0, N2 = 0;
    if (ReadBinFileHeader_status(in, &type, &N1, &N2) != BINFH_OK || N1 <= 0 || N2 <= 0) {
        std::fclose(in);
        return false;
    }
    if (!osc_signal_dims_ok(in, N1, N2)) {
        std::puts(">>> READ BINARY FILE ERROR (vynsign.bin) <<<");
        std::fclose(in);
        return false;
    }
    const size_t total = static_cast<size_t>(N1) * static_cast<size_t>(N2);
    double* data = osc_read_signal_body(in, total, ">>> READ BINARY FILE ERROR (vynsign.bin) <<<");
    if (!data) return false;
    const double dt = N1 > 1 ? acq / (N1 - 1) : 0.0;
    FILE* td = std::fopen(td_name, "w");
    if (!td) {
        binfh_print_error("fopen(td.csv)");
        std::free(data);
        return false;
    }
    std::fprintf(td, "t_s,f2_index,re,im,mag\n");
    for (int j = 0; j < N2; ++j)
        for (int k = 0; k < N1; ++k) {
            const double re = data[2 * (static_cast<size_t>(j) * N1 + k)];
            const double im = data[2 * (static_cast<size_t>(j) * N1 + k) + 1];
            std::fprintf(td, "%.17g,%d,%.17g,%.17g,%.17g\n", k * dt, j, re, im, std::sqrt(re * re + im * im));
        }
    if (std::fclose(td) != 0) {  // a table cut short by a failed write is no result
        binfh_print_error("fopen(td.csv)");
        std::free(data);
        return false;
    }
    FILE* fd = std::fopen(fd_name, "w");
    if (!fd) {
        binfh_print_error("fopen(fd.csv)");
        std::free(data);
        return false;
    }
    std::fprintf(fd, "f1_hz,f2_hz,re,im,re_ph,im_ph,re_ph1,im_ph1,mag\n");
    const double df = dt > 0.0 ? 1.0 / (N1 * dt) : 0.0;
    for (int tr = 0; tr < N2; ++tr) {
        const double* x = data + 2 * static_cast<size_t>(tr) * N1;
        for (int j = 0; j < N1; ++j) {
            const int m = (j + N1 / 2) % N1;
            double sr = 0.0, si = 0.0;
            for (int k = 0; k < N1; ++k) {
                // exponent reduced modulo N1 keeps the phase accurate for long traces
                const long long mk = (static_cast<long long>(m) * k) % N1;
                const double ang = -kTwoPi * static_cast<double>(mk) / N1;
                const double c = std::cos(ang), s = std::sin(ang);
                sr += x[2 * k] * c - x[2 * k + 1] * s;
                si += x[2 * k] * s + x[2 * k + 1] * c;
            }
            const double f1 = (j - N1 / 2) * df;
            const double f2 = N2 >= 2 ? tr : 0.0;
            const double mag = std::sqrt(sr * sr + si * si);
            std::fprintf(fd, "%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", f1, f2, sr, si, sr, si, sr, si,
                         mag);
        }
    }
    std::free(data);
    if (std::fclose(fd) != 0) {
        binfh_print_error("fopen(fd.csv)");
        return false;
    }
    char td_shown[VYN_PATH_CAP], fd_shown[VYN_PATH_CAP];
    std::printf("Wrote %s and %s\n", vyn_path_for_message(td_name, td_shown, sizeof td_shown),
                vyn_path_for_message(fd_name, fd_shown, sizeof fd_shown));
    if (fd_name_out && fd_name_size > 0) std::snprintf(fd_name_out, fd_name_size, "%s", fd_name);
    return true;
}

bool Create_CSV_Files(double acq, char* fd_name_out, size_t fd_name_size) {
    std::printf("Base file name (without extension): ");
    std::fflush(stdout);
    char base[256];
    if (!osc_read_word(base, sizeof base)) return false;
    return Create_CSV_Files_Named(acq, base, fd_name_out, fd_name_size);
}

bool Create_PV_WAVE_File_Named(const char* output_name) {
    if (!output_name || !*output_name) return false;
    FILE* in = std::fopen(kSignalFile, "rb");
    if (!in) {
        binfh_print_error("fopen(vynsign.bin)");
        return false;
    }
    int32_t type = 0, num1 = 0, num2 = 0;
    if (ReadBinFileHeader_status(in, &type, &num1, &num2) != BINFH_OK) {
        std::fclose(in);
        return false;
    }
    if (vyn_is_same_file(output_name, kSignalFile)) {
        std::fprintf(stderr, "%s: output would overwrite the signal being read\n", output_name);
        std::fclose(in);
        return false;
    }
    FILE* out = std::fopen(output_name, "wb");
    if (!out) {
        binfh_print_error("fopen(output)");
        std::fclose(in);
        return false;
    }
    bool ok = dataio_write_pvwave_header_status(out, num1, num2) == DATAIO_OK;
    // Copy as many doubles as the header announces, stopping at the first short read.
    long long want = (num1 > 0 && num2 > 0) ? 2LL * num1 * num2 : 0;
    double chunk[1024];
    while (ok && want > 0) {
        const size_t step = want > 1024 ? 1024 : static_cast<size_t>(want);
        const size_t got = std::fread(chunk, sizeof(double), step, in);
        if (got > 0 && std::fwrite(chunk, sizeof(double), got, out) != got) ok = false;
        if (got < step) break;
        want -= static_cast<long long>(got);
    }
    if (std::fclose(out) != 0) ok = false;
    std::fclose(in);
    return ok;
}

void Create_PV_WAVE_File() {
    std::printf("File name PV-Wave file : ");
    std::fflush(stdout);
    char name[256];
    if (!osc_read_word(name, sizeof name)) return;
    Create_PV_WAVE_File_Named(name);
}

void SpectrumOutputMenu(double acq) {
    std::puts("\nOutput format:");
    std::puts("  1. PV-Wave/IDL (legacy)");
    std::puts("  2. CSV (_td.csv and _fd.csv)");
    std::printf("Your choice [1,2] : ");
    std::fflush(stdout);
    int choice = 0;
    if (!osc_read_int(&choice)) return;
    if (choice == 1) {
        Create_PV_WAVE_File();
    } else if (choice == 2) {
        char fd_name[300];
        if (!Create_CSV_Files(acq, fd_name, sizeof fd_name)) return;
        char shown[VYN_PATH_CAP];
        std::printf("Frequency-domain CSV: %s\n", vyn_path_for_message(fd_name, shown, sizeof shown));
        char script[320], png[320];
        std::snprintf(script, sizeof script, "%s.gp", fd_name);
        if (!WriteGnuplotSpectrumScript(script, fd_name, "VYN Spectrum")) return;
        std::printf("Wrote gnuplot script: %s\n", vyn_path_for_message(script, shown, sizeof shown));
        // No shell; a hint when gnuplot is absent, a PNG beside the data without a display.
        if (AskOpenPlotNow()) vyn_launch_plot(script, vyn_launch_png_name(fd_name, png, sizeof png) ? png : nullptr);
    }
}
