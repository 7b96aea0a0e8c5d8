// The RF pulse optimisation dialogues: one sector of the current 1D/2D
// sequence optimised inside the whole sequence, and a spin-state selective
// pulse acting on the initial state.
#include "vynoptdialog.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"
#include "rfpulselib.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_sequence.h"
#include "vynexpect.h"
#include "vynmodel.h"
#include "vynoptseq.h"
#include "vynpaths.h"

namespace {

// Formatted integer read: 1 read, 0 no integer (the rest of the line is
// dropped), -1 end of input.
int od_read_int(int* v) {
    const int r = consule_read_int(v);
    if (r == 0) consule_discard_line();
    return r;
}

void od_prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Mode pairs per quadrature -> npar (four parameters per pair, at most
// VYN_MAX_NPAR). False when refused or at end of input.
bool od_read_npar() {
    od_prompt("Number of Fourier mode pairs per quadrature : ");
    int m = 0;
    if (od_read_int(&m) != 1) {
        std::fputs("Invalid npar entry\n", stderr);
        return false;
    }
    long long npar = 4LL * m;  // no overflow for any int m
    if (npar <= 0) {
        std::fprintf(stderr, "Invalid npar=%lld\n", npar);
        return false;
    }
    if (npar > VYN_MAX_NPAR) {
        std::printf("npar=%lld exceeds par[%d]; clamping to %d\n", npar, VYN_MAX_NPAR, VYN_MAX_NPAR);
        npar = VYN_MAX_NPAR;
    }
    vyn_opt.npar = static_cast<int>(npar);
    std::printf("Using npar = %d total optimizer parameters\n", vyn_opt.npar);
    return true;
}

void od_print_sector_table() {
    const VYNSequenceState& q = vyn_sequence;
    std::puts("Current prepared 1D/2D sequence sectors:");
    std::puts(" idx   type   ap   nevo   duration[s]      statoff[Hz]   waveform file");
    std::puts("--------------------------------------------------------------------------");
    const int nos = q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos;
    for (int s = 1; s <= nos; ++s)
        std::printf(" %3d   %4d   %3d   %4d   %-14.7g %-12.7g %s\n", s, q.sectype[s], q.noti[s], q.nevo[s],
                    q.sectdur[s], q.statoff[s], q.fnames[s]);
    std::puts("");
}

}  // namespace

void VYNModel_OptimizePreparedSequenceSectorInteractive() {
    const VYNSequenceState& q = vyn_sequence;
    if (!q.systemset || vyn_spin.Nspins < 1) {
        std::puts("No current prepared spin system is available.");
        std::puts("Define or load a model first.");
        return;
    }
    if (!q.sectorset || q.nos < 1) {
        std::puts("No current prepared pulse sequence is available.");
        std::puts("Compose or load a sequence first.");
        return;
    }
    if (q.sequencetype != VYN_SEQTYPE_2D) {
        std::puts("This optimization workflow currently supports only the");
        std::puts("prepared 1D/2D sequence family (sequencetype == 2).");
        return;
    }
    od_print_sector_table();

    od_prompt("Choose the optimizable sector index : ");
    int k = 0;
    if (od_read_int(&k) != 1) {
        std::fputs("Invalid sector index entry\n", stderr);
        return;
    }
    const int nos = q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos;
    if (k < 1 || k > nos) {
        std::fprintf(stderr, "Sector index %d is out of range [1..%d]\n", k, q.nos);
        return;
    }
    if (q.noti[k] < 1) {
        std::fprintf(stderr, "Selected sector %d has invalid ap=%d\n", k, q.noti[k]);
        return;
    }
    if (q.nevo[k] != 1) {
        std::fprintf(stderr, "Selected sector %d has nevo=%d.\n", k, q.nevo[k]);
        std::fputs("This stage supports only nevo == 1 sectors.\n", stderr);
        return;
    }
    // The parameter conversions need a power-of-two grid: refused here, before any question more.
    if (!vyn_opt_check_sample_count(q.noti[k])) return;

    std::puts("Objective mode:");
    std::puts("  1. Re <O>      (phase-sensitive target)");
    std::puts("  2. |<O>|       (sequence-end magnitude target)");
    od_prompt("Your choice [1..2] : ");
    int mode_choice = 0;
    if (od_read_int(&mode_choice) != 1 || (mode_choice != 1 && mode_choice != 2)) {
        std::fputs("Invalid objective-mode choice\n", stderr);
        return;
    }
    const int mode = mode_choice == 2 ? VYN_OPT_OBJECTIVE_ABS_EXPECT : VYN_OPT_OBJECTIVE_RE_EXPECT;

    if (!vynmodel_try_define_optimizer_operator_from_sector_remark(k)) {
        if (!VYNDefineCurrentExpectationOperatorInteractive()) return;
        if (consule_at_end()) return;
    }

    if (!VYNOptimizationPrepareCurrent2DSequenceSector(k, mode)) {
        std::fputs("Could not prepare current sequence-sector optimization context\n", stderr);
        return;
    }
    if (!od_read_npar()) return;

    std::puts("Start pulse for the selected optimizable sector:");
    std::puts("  1. Use the currently stored sector waveform as optimizer start pulse");
    std::puts("  2. Generate a new low-mode start pulse on the fixed sector grid");
    od_prompt("Your choice [1..2] : ");
    int start_choice = 0;
    const int r = od_read_int(&start_choice);
    if (r != 1) {
        std::fputs("Invalid start-pulse choice\n", stderr);
        return;
    }
    VYNPropagationState& pr = vyn_prop;
    VYNWaveformState& wf = vyn_waveform;
    if (start_choice == 1) {
        std::puts("Using current waveform file as optimizer start pulse:");
        std::printf("  %s\n", q.fnames[k]);
    } else if (start_choice == 2) {
        if (!GenerateOptimizationStartPulseFixedGridInteractive(pr.ap, pr.h, wf.xb, wf.yb, vyn_opt.npar)) {
            std::fputs("Could not generate fixed-grid optimization start pulse\n", stderr);
            return;
        }
    } else {
        std::fputs("Unknown start-pulse choice\n", stderr);
        return;
    }
    RFPulseToParArray(vyn_opt.npar, pr.ap, wf.xb, wf.yb, vyn_opt.par);

    std::printf("Launching optimization for selected sequence sector %d ...\n\n", k);
    if (!StartOptimization()) return;

    if (!q.fnames[k][0]) {
        std::puts("Selected sector has no waveform file path; write-back skipped.");
        return;
    }
    std::puts("Write optimized pulse back into selected sector waveform file?");
    std::puts("  1. Yes");
    std::puts("  2. No");
    od_prompt("Your choice [1..2] : ");
    int wb = 0;
    if (od_read_int(&wb) != 1 || wb != 1) return;
    if (!rfpulseparam_replace_waveform_file(q.fnames[k], pr.ap, wf.xb, wf.yb, nullptr, nullptr, nullptr)) {
        std::printf("Could not write the optimized pulse to %s; the waveform file is unchanged.\n", q.fnames[k]);
        return;
    }
    std::puts("Updated selected sector waveform file:");
    char shown[VYN_PATH_CAP];
    std::printf("  %s\n", vyn_path_for_message(q.fnames[k], shown, sizeof shown));
}

void VYNOptimizeSpinStateSelectivePulseInteractive() {
    const VYNSequenceState& q = vyn_sequence;
    std::puts("\n*** Optimize a spinstate selective RF-pulse ***\n");
    if (!q.systemset || vyn_spin.Nspins < 1) {
        std::puts("No current prepared spin system is available.");
        std::puts("Define or load a model first.");
        return;
    }
    if (!VYN_RebuildSpinSystemFromPulseSequenceGlobals()) {
        std::puts("The spin system could not be rebuilt.");
        return;
    }
    if (!VYNDefineCurrentExpectationOperatorInteractive() || consule_at_end()) return;

    od_prompt("Number of pulse samples (a power of two, 2..8192) : ");
    int ap = 0;
    if (od_read_int(&ap) != 1) {
        std::fputs("Invalid number of samples\n", stderr);
        return;
    }
    if (!vyn_opt_check_sample_count(ap)) return;
    od_prompt("Pulse duration [ms] : ");
    double ms = 0.0;
    if (consule_read_double(&ms) != 1 || !std::isfinite(ms) || !(ms > 0.0) || ms > 1e6) {
        std::fputs("Invalid pulse duration\n", stderr);
        return;
    }
    const double h = ms * 1e-3 / ap;
    if (!od_read_npar()) return;

    double ampl = 0.0, flip = 0.0, phase = 0.0;
    const char* const prompts[3] = {
        "Maximum RF amplitude [Hz] : ", "Target flip angle [deg]   : ", "Initial phase [deg]       : "};
    double* values[3] = {&ampl, &flip, &phase};
    for (int i = 0; i < 3; ++i) {
        od_prompt(prompts[i]);
        if (consule_read_double(values[i]) != 1 || !std::isfinite(*values[i])) {
            std::fputs("Invalid start-pulse value\n", stderr);
            return;
        }
    }
    // Nothing of the engine changes before every answer is in.
    double* xb = vyn_waveform.xb;
    double* yb = vyn_waveform.yb;
    if (!generate_optimization_start_pulse_core(ap, h, xb, yb, vyn_opt.npar, ampl, flip, phase)) return;
    VYNPropagationState& pr = vyn_prop;
    pr.ap = ap;
    pr.h = h;
    pr.pt = ms * 1e-3;
    VYNOptimizationResetContext();  // the pulse acts on the initial state, O measured right after it
    RFPulseToParArray(vyn_opt.npar, ap, xb, yb, vyn_opt.par);
    std::puts("Launching optimization of the pulse on the initial state ...\n");
    if (!StartOptimization()) return;
    std::printf("Optimized <O> after the pulse : %.12g\n", -vyn_opt.last_minimum);
}
