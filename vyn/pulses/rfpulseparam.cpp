#include "rfpulseparam.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binaryfilehandling.h"
#include "consuleutil.h"
#include "four3.h"
#include "vyndatafileio.h"
#include "vynpaths.h"

namespace {

// Scratch spectra of one channel.
double rfp_re[VYN_MAX_RF_POINTS];
double rfp_im[VYN_MAX_RF_POINTS];
// Byte image of up to five waveform blocks.
unsigned char rfp_bytes[5 * 8 * VYN_MAX_RF_POINTS];

bool rfp_args_ok(int npar, int ap) {
    return npar >= 1 && ap >= 2 && ap <= VYN_MAX_RF_POINTS && is_power_of_two(static_cast<std::size_t>(ap));
}

// Analysis of one channel into par[base..].
void signal_to_par_centered(int ap, int nmodes, const double* s, double* par, int base) {
    for (int k = 0; k < ap; ++k) {
        rfp_re[k] = s[k];
        rfp_im[k] = 0.0;
    }
    if (fft_status(ap, rfp_re, rfp_im, false) != FOUR3_OK) return;
    const int hap = ap / 2;
    for (int j = 0; j < nmodes; ++j) {
        par[base + 2 * j] = rfp_re[hap + j];
        par[base + 2 * j + 1] = rfp_im[hap + j + 1];
    }
}

// Synthesis of one channel from par[base..]; keep_higher starts from the
// spectrum of the current samples, otherwise from zero.
void par_to_signal_centered(int ap, int nmodes, const double* par, int base, double* s, bool keep_higher) {
    for (int k = 0; k < ap; ++k) {
        rfp_re[k] = keep_higher ? s[k] : 0.0;
        rfp_im[k] = 0.0;
    }
    if (keep_higher && fft_status(ap, rfp_re, rfp_im, false) != FOUR3_OK) return;
    const int hap = ap / 2;
    for (int j = 0; j < nmodes; ++j) {
        rfp_re[hap + j] = par[base + 2 * j];
        rfp_re[hap - j] = par[base + 2 * j];
        rfp_im[hap + j + 1] = par[base + 2 * j + 1];
        rfp_im[hap - j - 1] = -par[base + 2 * j + 1];
    }
    if (fft_status(ap, rfp_re, rfp_im, true) != FOUR3_OK) return;
    for (int k = 0; k < ap; ++k) s[k] = rfp_re[k];
}

void par_to_pulse(int npar, int ap, const double* par, double* xb, double* yb, bool keep_higher) {
    if (!rfp_args_ok(npar, ap) || !par || !xb || !yb) return;
    const int nmodes = rfpulseparam_max_modes(npar, ap);
    par_to_signal_centered(ap, nmodes, par, 0, xb, keep_higher);
    par_to_signal_centered(ap, nmodes, par, npar / 2, yb, keep_higher);
}

bool rfp_write_blocks(int ap, const double* const* blocks, const char* const* names, int nblocks,
                      const char* filename) {
    if (!filename || ap < 1 || ap > VYN_MAX_RF_POINTS) return false;
    for (int b = 0; b < nblocks; ++b)
        if (!blocks[b]) return false;
    errno = 0;
    FILE* f = std::fopen(filename, "wb");
    if (!f) {
        binfh_print_error(filename);
        return false;
    }
    bool ok = true;
    const std::size_t cnt = static_cast<std::size_t>(ap);
    for (int b = 0; b < nblocks; ++b) {
        binfh_encode_doubles_le(blocks[b], cnt, rfp_bytes);
        if (std::fwrite(rfp_bytes, 8, cnt, f) != cnt) {
            std::printf(" >>> WRITE TO BINARY FILE ERROR (%s) <<< \n", names[b]);
            ok = false;
        }
    }
    if (std::fclose(f) != 0) {
        binfh_print_error(filename);
        ok = false;
    }
    return ok;
}

bool rfp_read_blocks(int ap, double* const* blocks, int nblocks, const char* filename) {
    if (!filename || ap < 1 || ap > VYN_MAX_RF_POINTS) return false;
    for (int b = 0; b < nblocks; ++b)
        if (!blocks[b]) return false;
    errno = 0;
    FILE* f = vyn_fopen_regular(filename, "rb");  // a pipe or device would block or never end
    if (!f) {
        binfh_print_error(filename);
        return false;
    }
    const std::size_t cnt = static_cast<std::size_t>(ap) * static_cast<std::size_t>(nblocks);
    const bool ok = std::fread(rfp_bytes, 8, cnt, f) == cnt;
    std::fclose(f);
    if (!ok) return false;
    for (int b = 0; b < nblocks; ++b)
        binfh_decode_doubles_le(rfp_bytes + 8 * static_cast<std::size_t>(ap) * b, static_cast<std::size_t>(ap),
                                blocks[b]);
    return true;
}

}  // namespace

int rfpulseparam_max_modes(int npar_local, int ap_local) {
    int half = ap_local / 2;
    if (half < 1) half = 1;
    int m = half - 1;
    const int by_par = npar_local / 4;
    if (by_par < m) m = by_par;
    return m < 0 ? 0 : m;
}

void RFPulseToParArray(int npar_local, int ap_local, const double* xb_in, const double* yb_in, double* par_out) {
    if (!rfp_args_ok(npar_local, ap_local) || !xb_in || !yb_in || !par_out) return;
    for (int i = 0; i < npar_local; ++i) par_out[i] = 0.0;
    const int nmodes = rfpulseparam_max_modes(npar_local, ap_local);
    signal_to_par_centered(ap_local, nmodes, xb_in, par_out, 0);
    signal_to_par_centered(ap_local, nmodes, yb_in, par_out, npar_local / 2);
}

void ParArrayToRFPulse(int npar_local, int ap_local, const double* par_in, double* xb_io, double* yb_io) {
    par_to_pulse(npar_local, ap_local, par_in, xb_io, yb_io, true);
}

void ParArrayToRFPulseLowMode(int npar_local, int ap_local, const double* par_in, double* xb_out, double* yb_out) {
    par_to_pulse(npar_local, ap_local, par_in, xb_out, yb_out, false);
}

bool BinArrayOut(const int* ap, const double* xb, const double* yb, const double* gx, const double* gy,
                 const double* gz, const char* filename) {
    if (!ap) return false;
    const double* blocks[5] = {xb, yb, gx, gy, gz};
    const char* names[5] = {"xb", "yb", "gx", "gy", "gz"};
    return rfp_write_blocks(*ap, blocks, names, 5, filename);
}

bool BinArrayOut2D(int ap, const double* xb, const double* yb, const char* filename) {
    const double* blocks[2] = {xb, yb};
    const char* names[2] = {"xb", "yb"};
    return rfp_write_blocks(ap, blocks, names, 2, filename);
}

bool rfpulseparam_replace_waveform_file(const char* path, int ap, const double* xb, const double* yb, const double* gx,
                                        const double* gy, const double* gz) {
    if (!path || !path[0]) return false;
    char tmp[4096];
    const int n = std::snprintf(tmp, sizeof tmp, "%s.part%ld", path, static_cast<long>(getpid()));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof tmp) return false;
    const bool ok = gx ? BinArrayOut(&ap, xb, yb, gx, gy, gz, tmp) : BinArrayOut2D(ap, xb, yb, tmp);
    if (!ok || std::rename(tmp, path) != 0) {
        if (ok) binfh_print_error(path);
        std::remove(tmp);
        return false;
    }
    return true;
}

bool BinArrayIn(int ap, double* xb, double* yb, double* gx, double* gy, double* gz, const char* filename) {
    double* blocks[5] = {xb, yb, gx, gy, gz};
    return rfp_read_blocks(ap, blocks, 5, filename);
}

bool BinArrayIn2D(int ap, double* xb, double* yb, const char* filename) {
    double* blocks[2] = {xb, yb};
    return rfp_read_blocks(ap, blocks, 2, filename);
}

bool rfpulseparam_default_waveform_name(char* buf, std::size_t bufsz, const char* shortname, int sector, bool spatial) {
    if (!buf || bufsz == 0) return false;
    int len;
    if (shortname && shortname[0])
        len = std::snprintf(buf, bufsz, spatial ? "%s_s%02d.bin" : "%s_2d_s%02d.bin", shortname, sector);
    else
        len = std::snprintf(buf, bufsz, spatial ? "sector-%02d.bin" : "sector2d-%02d.bin", sector);
    return len >= 0 && static_cast<std::size_t>(len) < bufsz;
}

bool ReadBxByPulse(const int* ap, double* xb, double* yb) {
    if (!ap || !xb || !yb || *ap < 0 || *ap > VYN_MAX_RF_POINTS) return false;
    std::printf("\n\n");
    std::puts("File name Bx(t)");
    bool ok = RealArrayIn(ap, xb) == DATAIO_OK;
    std::puts("File name By(t)");
    ok = RealArrayIn(ap, yb) == DATAIO_OK && ok;
    std::printf("\n\n");

    double factor = 0.0;
    // End of input: keep the samples as read.
    if (!read_double_prompt("Multiplication factor : ", &factor)) return false;
    for (int k = 0; k < *ap; ++k) {
        xb[k] *= factor;
        yb[k] *= factor;
    }
    return ok;
}
