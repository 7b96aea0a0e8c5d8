// 1D/2D sequence propagation: sector by sector through dm.bin, receiver
// signal or 2D spectrum at the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "binaryfilehandling.h"
#include "observablespectrumcalculator.h"
#include "rfpulseparam.h"
#include "vyn_prop1d_fast.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;

CMatrix p2d_hc;   // Izee + Icoup
CMatrix p2d_p;    // propagator of a normal sector, or of the current evolution row
CMatrix p2d_tmp;  // matrix being moved through a resize

bool p2d_quiet() { return VYN_GetSmokeCheckMode() != 0; }

void p2d_mismatch(int type, int fn, int fcount, int n, int ndw) {
    std::printf("Rotate2D: dm.bin dimensions mismatch (type=%d n=%d ndw=%d), expected (0 %d %d)\n", type, fn, fcount, n,
                ndw);
}

// What the rewrite of dm.bin needs to move one evolution row.
struct P2DSector {
    int n;
    int ap;
    double h;
    double statoff;
    bool evolution;
    bool quiet;
    bool fast;  // vyn_1d_options.method: the fast exact path, else the literal products
};

void p2d_progress(const P2DSector& s, int rows) {
    if (s.quiet) return;
    for (int i = 0; i < rows; ++i) std::printf("*");
    std::fflush(stdout);
}

// Literal path: row j of an evolution sector moves by j - 1 times the
// sector; every row of a normal sector by the sector propagator formed once
// beforehand.
bool p2d_move_row(int j, int n, CMatrix& rho, void* ctx) {
    const P2DSector& s = *static_cast<const P2DSector*>(ctx);
    if (s.evolution)
        vyn_prop_sector_propagator(n, vyn_prop_waveform_samples(s.ap, false), (j - 1) * s.h, s.statoff, 0, 0, 0, p2d_hc,
                                   p2d_p);
    DoRotation(n, p2d_p, rho);
    p2d_progress(s, 1);
    return true;
}

// Fast path: the rows of a batch together (on the workers).
bool p2d_move_rows(int first, int count, int, std::complex<double>* mats, void* ctx) {
    vyn_1d_move_rows(first, count, mats);
    p2d_progress(*static_cast<const P2DSector*>(ctx), count);
    return true;
}

// Rows the fast path holds in memory at once (whatever the thread count).
int p2d_row_batch(int n, int ndw) {
    constexpr double kBatchBytes = 32.0 * 1024 * 1024;
    const int rows = static_cast<int>(kBatchBytes / (16.0 * n * n));
    return std::max(1, std::min(rows, ndw));
}
}  // namespace

void Rotate2D_internal(int sectortype, double h_local, double statoff_local) {
    const int n = vyn_spin.n;
    const int ndw = vyn_grid.ndw;
    const int ap = vyn_prop.ap;
    if (vyn_spin.pulseflag == 2) {
        std::puts(">>>> NO RF-PULSE DEFINED ERROR <<<<");
        return;
    }
    // Dimensions the matrices and sample arrays cannot hold never reach them.
    if (n < 1 || n > MATRIXMATH_DIM || ndw < 1 || ap < 0 || ap > VYN_MAX_SAMPLES) {
        p2d_mismatch(0, n, ndw, n, ndw);
        return;
    }
    if (vyn_spin.calc == 0) {
        const int rc = vyn_prop_init_density_file(BINFH_DM_FILE, n, ndw, vyn_spin.densmat);
        if (rc == 1) return;
        if (rc == 2) {
            std::puts("Rotate2D: failed to write dm.bin header");
            return;
        }
        if (rc == 3) {
            std::puts("Rotate2D: write error while initializing dm.bin");
            return;
        }
        CMatZero(n, vyn_spin.densmat);
    }
    int32_t type = 0, fn = 0, fcount = 0;
    const int peek = vyn_prop_peek_header(BINFH_DM_FILE, &type, &fn, &fcount);
    if (peek == 1) return;
    if (peek == 2) {
        std::puts("Rotate2D: failed to read dm.bin header");
        return;
    }
    // A later sector with another evolution count starts from ndw copies of
    // the first stored matrix (only a file of this spin system is resized).
    if (vyn_spin.calc > 0 && fcount != ndw && type == BINFH_TYPE_DENSITY && fn == n) {
        if (binfh_resize_density_file_status(BINFH_DM_FILE, BINFH_STORE_FILE, ndw, p2d_tmp) != BINFH_OK) {
            std::puts("Rotate2D: write error while resizing dm.bin");
            return;
        }
        fcount = ndw;
    }
    if (type != BINFH_TYPE_DENSITY || fn != n || fcount != ndw) {
        p2d_mismatch(type, fn, fcount, n, ndw);
        return;
    }

    CMatAdd(n, vyn_spin.Izee, vyn_spin.Icoup, p2d_hc);
    P2DSector sector{n, ap, h_local, statoff_local, sectortype == 2, p2d_quiet(), vyn_1d_options.method == VYN_1D_FAST};
    const VYNSpinState& sp = vyn_spin;
    const VYNSectorSamples wf = vyn_prop_waveform_samples(ap, false);
    if (sector.fast)
        vyn_1d_sector_begin(VYN1DSector{n, wf.count, h_local, statoff_local, sector.evolution, wf.xb, wf.yb,
                                        VYN1DOperators{&p2d_hc, &sp.Izgrad, &sp.Ixtot, &sp.Iytot}});
    else if (!sector.evolution)
        vyn_prop_sector_propagator(n, vyn_prop_waveform_samples(ap, false), h_local, statoff_local, 0, 0, 0, p2d_hc,
                                   p2d_p);
    // store is written completely and then renamed over dm.bin, so a failure
    // at any point leaves the state of the last completed sector.
    binfh_rewrite_stage stage = BINFH_STAGE_NONE;
    int32_t ht = 0, hn = 0, hc = 0;
    if (sector.fast)
        binfh_rewrite_density_file_batched_status(BINFH_DM_FILE, BINFH_STORE_FILE, n, ndw, p2d_row_batch(n, ndw),
                                                  p2d_move_rows, &sector, vyn_spin.densmat, &stage, &ht, &hn, &hc);
    else
        binfh_rewrite_density_file_status(BINFH_DM_FILE, BINFH_STORE_FILE, n, ndw, p2d_move_row, &sector,
                                          vyn_spin.densmat, &stage, &ht, &hn, &hc);
    switch (stage) {
        case BINFH_STAGE_NONE:
            break;
        case BINFH_STAGE_OPEN_INPUT:
        case BINFH_STAGE_OPEN_STORE:
        case BINFH_STAGE_STORE_HEADER:
            return;  // system error already printed
        case BINFH_STAGE_MISMATCH:
            p2d_mismatch(ht, hn, hc, n, ndw);
            return;
        case BINFH_STAGE_READ_HEADER:  // body shorter than its header announces
        case BINFH_STAGE_READ_MATRIX:
            std::puts("Rotate2D: read error from dm.bin");
            return;
        case BINFH_STAGE_WRITE_MATRIX:
        case BINFH_STAGE_CALLBACK:
            std::puts("Rotate2D: write error to store");
            return;
        case BINFH_STAGE_COMMIT:
            std::puts("Rotate2D: failed to copy store to dm.bin");
            return;
    }
    ++vyn_spin.calc;
    if (!sector.quiet) {
        std::printf("\n");
        std::fflush(stdout);
    }
}

int vyn_current_sequence_is_pulse_acquire_fid() {
    const VYNSequenceState& q = vyn_sequence;
    return q.nos == 2 && q.sectype[1] == 1 && q.sectype[2] == 1 && !vyn_sector_is_acquisition(1) &&
                   vyn_sector_is_acquisition(2)
               ? 1
               : 0;
}

int vyn_try_slow_band_split_config(VYNSlowBandSplitConfig* out) {
    if (!out) return 0;
    std::memset(out, 0, sizeof *out);
    const VYNSequenceState& q = vyn_sequence;
    const int nos = q.nos < 0 ? 0 : (q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos);
    for (int s = 1; s <= nos; ++s) {
        double duration_ms = 1000.0 * q.sectdur[s];
        double amplitude_hz = 1000.0;
        double phase_deg = 0.0;
        int samples = q.noti[s];
        const char* rem = q.remarks[s];
        if (!vyn_text_contains_ci(rem, "slowEdit[") && !vyn_text_contains_ci(q.fnames[s], "SLOW")) continue;
        if (!vyn_text_contains_ci(rem, "sech")) continue;
        if (!vyn_parse_double_after_key(rem, "offsetHz", &out->pulse_center_offset_hz)) continue;
        if (!vyn_parse_double_after_key(rem, "mu", &out->mu)) continue;
        if (!vyn_parse_double_after_key(rem, "beta", &out->beta)) continue;
        vyn_parse_double_after_key(rem, "durationMs", &duration_ms);
        vyn_parse_double_after_key(rem, "amplitudeHz", &amplitude_hz);
        vyn_parse_int_after_key(rem, "samples", &samples);
        vyn_parse_double_after_key(rem, "phaseDeg", &phase_deg);
        if (samples < 1) samples = q.noti[s] >= 1 ? q.noti[s] : 256;
        if (duration_ms <= 0.0 || amplitude_hz <= 0.0) continue;
        out->enabled = 1;
        out->pulse_duration_s = duration_ms / 1000.0;
        out->pulse_amplitude_hz = amplitude_hz;
        out->pulse_samples = samples;
        out->pulse_phase_rad = 3.141592653589793 * phase_deg / 180.0;
        out->b0_tesla = q.vyn_gui_b0_tesla;
        out->receiver_carrier_ppm = q.vyn_gui_receiver_carrier_ppm;
        if (!VYN_GetSmokeCheckMode()) {
            std::puts("Detected SLOW sequence for multiplet-resolved receiver export:");
            std::printf(
                "  sector=%d offsetHz=%.12g durationMs=%.12g amplitudeHz=%.12g samples=%d mu=%.12g beta=%.12g "
                "phaseDeg=%.12g B0=%.12g receiverPpm=%.12g\n",
                s, out->pulse_center_offset_hz, duration_ms, amplitude_hz, samples, out->mu, out->beta, phase_deg,
                out->b0_tesla, out->receiver_carrier_ppm);
        }
        return 1;
    }
    return 0;
}

namespace {
// Receiver signal of the state at acquisition start, with the normalised
// receiver operators (vyn_receivers).
double p2d_write_signal(int points, double acq, double f_off, const VYNSlowBandSplitConfig* cfg) {
    VYNSpinState& sp = vyn_spin;
    VYN_BuildNormalisedReceivers();
    const double res = SeparateSpectra_GenerateSignalWithParamsAndSlowSplit(
        &sp.n, points, acq, f_off, vyn_sequence.resultflnm, cfg, sp.densmat, sp.Istat, vyn_receivers.Ix,
        vyn_receivers.Iy, sp.Iztot, sp.ket, sp.Ilist);
    return res;
}
}  // namespace

namespace {
// Writes the result a loaded 1D/2D sequence names (receiver signal when an ADC
// sector was marked, otherwise the density matrices) and offers the 2D
// spectrum when it names none. True when what was named got written.
bool p2d_write_result(bool simulation2D, int adc_signal_points, int evolution_rows, double adc_acquisition_time_s,
                      double adc_receiver_offset_hz) {
    VYNSequenceState& q = vyn_sequence;
    VYNSpinState& sp = vyn_spin;
    const bool quiet = p2d_quiet();
    VYNSlowBandSplitConfig cfg;
    const bool have_cfg = vyn_try_slow_band_split_config(&cfg) == 1;
    const bool named = q.resultflnm[0] != '\0';
    bool wrote = !named;
    if (adc_signal_points >= 1 && named) {
        if (!vyn_is_power_of_two_int(adc_signal_points)) {
            std::printf(simulation2D ? "ADC sample count %d is not a power of two; not writing 2D receiver signal.\n"
                                     : "ADC sample count %d is not a power of two; not writing receiver signal.\n",
                        adc_signal_points);
        } else {
            const double res = p2d_write_signal(adc_signal_points, adc_acquisition_time_s, adc_receiver_offset_hz,
                                                have_cfg ? &cfg : nullptr);
            if (res > 0.0) {
                wrote = true;
                if (simulation2D)
                    std::printf(
                        "Wrote 2D complex receiver signal to %s (samples=%d, evolution rows=%d, "
                        "acquisition=%.15g s)\n",
                        q.resultflnm, adc_signal_points, evolution_rows, res);
                else
                    std::printf("Wrote complex receiver signal to %s (samples=%d, acquisition=%.15g s)\n", q.resultflnm,
                                adc_signal_points, res);
            } else {
                std::printf(simulation2D ? "Failed to write 2D complex receiver signal to %s\n"
                                         : "Failed to write complex receiver signal to %s\n",
                            q.resultflnm);
            }
        }
    } else if (named) {
        wrote = copy_file_binary("dm.bin", q.resultflnm);
        if (wrote)
            std::printf("Copied density-matrix result to %s\n", q.resultflnm);
        else
            std::printf("Failed to copy density-matrix result to %s\n", q.resultflnm);
    }
    // The 2D spectrum dialogue asks questions: offered to a person at a
    // terminal; in smoke-check mode it runs without asking.
    if (simulation2D && !named && (quiet || isatty(STDIN_FILENO))) {
        VYN_BuildNormalisedReceivers();
        Determine2DSpectrum(&sp.n, &vyn_prop.ap, sp.densmat, sp.Istat, vyn_receivers.Ix, vyn_receivers.Iy, sp.Iztot,
                            sp.ket, sp.Ilist);
    }
    return wrote;
}
}  // namespace

bool SimulateLoaded2DPulseSequence() {
    VYNSequenceState& q = vyn_sequence;
    VYNSpinState& sp = vyn_spin;
    const bool quiet = p2d_quiet();
    sp.calc = 0;
    sp.pulseflag = 1;
    vyn_1d_cache_clear();  // propagators are shared within a run
    if (!BuildSpinSystemFromPulseSequenceGlobals() || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::printf("Invalid spin system: n=%d\n", sp.n);
        return false;
    }
    const int nos = q.nos < 0 ? 0 : (q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos);
    if (!quiet) {
        std::printf("Number of pulse sectors to calculate    : %d\n", q.nos);
        if (vyn_current_sequence_is_pulse_acquire_fid())
            std::puts("Detected sequence subtype               : pulse-acquire FID");
    }
    bool simulation2D = false;
    int adc_signal_points = 0;
    int evolution_rows = 1;
    double adc_acquisition_time_s = 0.0;
    double adc_receiver_offset_hz = 0.0;

    for (int s = 1; s <= nos; ++s) {
        VYNPropagationState& pr = vyn_prop;
        pr.ap = q.noti[s];
        vyn_grid.ndw = q.nevo[s];
        pr.pt = q.sectdur[s];
        pr.h = pr.ap > 0 ? pr.pt / pr.ap : 0.0;
        pr.statoff_s = kTwoPi * q.statoff[s];
        if (q.sectype[s] != 1 && q.sectype[s] != 2) {
            std::printf("Invalid 1D/2D sector type in sector %d : %d\n", s, q.sectype[s]);
            return false;
        }
        // The sample arrays hold VYN_MAX_SAMPLES values: larger counts are refused.
        if (pr.ap < 1 || pr.ap > VYN_MAX_SAMPLES) {
            std::printf("Invalid number of time intervals in sector %d : %d\n", s, pr.ap);
            return false;
        }
        if (vyn_grid.ndw < 1) {
            std::printf("Invalid number of evolution intervals in sector %d : %d\n", s, vyn_grid.ndw);
            return false;
        }
        if (!quiet) {
            std::printf("\nCalculating sector                      : %d\n", s);
            std::printf("Sector type                             : %d%s\n", q.sectype[s],
                        q.sectype[s] == 2 ? "  # evolution sector" : "  # normal sector");
            std::printf("Number of time intervals in this sector : %d\n", pr.ap);
            std::printf("Number of evolution intervals           : %d\n", vyn_grid.ndw);
            std::printf("Sector or pulsetime                [ms] : %.9g\n", 1000.0 * pr.pt);
            std::printf("Reading pulse file                      : %s\n", q.fnames[s]);
        }
        if (vyn_sector_is_acquisition(s) && q.sectype[s] == 1) {
            if (!quiet) {
                std::printf("Remark on sector                        : %s\n", q.remarks[s]);
                std::puts(
                    "ADC sector marked for receiver/FID export; density matrix is preserved at acquisition "
                    "start.");
            }
            adc_signal_points = q.noti[s];
            adc_acquisition_time_s = q.sectdur[s];
            adc_receiver_offset_hz = q.statoff[s];
            continue;
        }
        if (!BinArrayIn2D(pr.ap, vyn_waveform.xb, vyn_waveform.yb, q.fnames[s])) {
            std::printf("Error reading pulse file %s\n", q.fnames[s]);
            return false;
        }
        for (int l = 0; l < pr.ap; ++l)
            if (!std::isfinite(vyn_waveform.xb[l]) || !std::isfinite(vyn_waveform.yb[l])) {
                std::printf("Bad pulse sample at l=%d: xb=%g yb=%g\n", l, vyn_waveform.xb[l], vyn_waveform.yb[l]);
                return false;
            }
        if (!quiet) std::printf("Remark on sector                        : %s\n", q.remarks[s]);
        // A sector that failed leaves dm.bin at the state before it: the run stops there.
        const int passes = sp.calc;
        Rotate2D_internal(q.sectype[s], pr.h, pr.statoff_s);
        if (sp.calc == passes) return false;
        if (q.sectype[s] == 2) {
            simulation2D = true;
            evolution_rows = vyn_grid.ndw;
        }
    }
    CMatAdd(sp.n, sp.Izee, sp.Icoup, sp.Istat);

    return p2d_write_result(simulation2D, adc_signal_points, evolution_rows, adc_acquisition_time_s,
                            adc_receiver_offset_hz);
}
