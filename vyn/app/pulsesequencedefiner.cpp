// Pulse-sequence composer: family menu, spatial and 1D/2D editors, sector
// dialogues, spin-system dialogue and the sector waveform files.
#include "pulsesequencedefiner.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"
#include "fieldgradientlib.h"
#include "rfpulselib.h"
#include "rfpulseparam.h"
#include "vyn-entry.h"
#include "vyn.h"
#include "vyn_sequence.h"
#include "vynpaths.h"

namespace {

constexpr int kMaxComposerSpins = 6;
constexpr int kMaxComposerStates = 64;
constexpr int kMaxGrid = 256;
constexpr const char* kRule = "============================================================";

// One sector as the dialogue collects it; copied into the sequence state
// only when complete.
struct SectorDraft {
    int sectype;
    int noti;
    int nevo;
    double sectdur;
    double statoff;
    char fname[VYN_FNAME_LEN];
    char remark[VYN_REMARK_LEN];
};

void ps_heading(const char* text) {
    std::puts(text);
    const size_t n = std::strlen(text);
    for (size_t i = 0; i < n; ++i) std::putchar('-');
    std::putchar('\n');
}

void ps_commit(int s, const SectorDraft& d) {
    VYNSequenceState& Q = vyn_sequence;
    Q.sectype[s] = d.sectype;
    Q.noti[s] = d.noti;
    Q.nevo[s] = d.nevo;
    Q.sectdur[s] = d.sectdur;
    Q.statoff[s] = d.statoff;
    std::snprintf(Q.fnames[s], VYN_FNAME_LEN, "%s", d.fname);
    std::snprintf(Q.remarks[s], VYN_REMARK_LEN, "%s", d.remark);
}

// The draft of sector s starts from its current state (so a kept remark or
// file name survives a failure report).
SectorDraft ps_draft_from(int s) {
    const VYNSequenceState& Q = vyn_sequence;
    SectorDraft d;
    d.sectype = 1;
    d.noti = Q.noti[s];
    d.nevo = 1;
    d.sectdur = Q.sectdur[s];
    d.statoff = 0.0;
    d.fname[0] = '\0';
    d.remark[0] = '\0';
    return d;
}

bool ps_ask_positive_int(const char* prompt, int* out, int lo, int hi, const char* hint) {
    for (;;) {
        int v = 0;
        if (!read_int_prompt(prompt, &v)) return false;
        if (v >= lo && v <= hi) {
            *out = v;
            return true;
        }
        std::puts(hint);
    }
}

bool ps_ask_positive_double(const char* prompt, double* out) {
    for (;;) {
        double v = 0.0;
        if (!read_double_prompt(prompt, &v)) return false;
        if (v > 0.0) {
            *out = v;
            return true;
        }
        std::puts("Please enter a value above 0.");
    }
}

// "Number of time intervals" (clamped to 8192, at least 1) and the duration.
bool ps_ask_time_grid(SectorDraft* d) {
    std::puts("Time resolution for this sector");
    for (;;) {
        int v = 0;
        if (!read_int_prompt("Number of time intervals : ", &v)) return false;
        v = clamp_ap(v);
        if (v >= 1) {
            d->noti = v;
            break;
        }
        std::puts("Please enter at least 1 time interval.");
    }
    double ms = 0.0;
    if (!ps_ask_positive_double("Total sector duration [ms] : ", &ms)) return false;
    d->sectdur = ms * 1e-3;
    return true;
}

// True when the first n samples of both RF arrays are finite numbers.
bool ps_samples_finite(int n) {
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(vyn_waveform.xb[k]) || !std::isfinite(vyn_waveform.yb[k])) return false;
    return true;
}

void ps_mark_unset(int n) {
    for (int k = 0; k < n; ++k) vyn_waveform.xb[k] = vyn_waveform.yb[k] = NAN;
}

// Outcome of a sector content: defined, input ended, or refused (message printed).
enum class Content { kDefined, kEnded, kRefused };

// A shape dialogue counts as done when every sample it should write is a
// finite number; otherwise the input ended or the answer was not a shape.
Content ps_shape_outcome(int n) {
    if (ps_samples_finite(n)) return Content::kDefined;
    if (std::feof(stdin)) return Content::kEnded;
    std::puts("No RF pulse was defined; the sector is not changed.");
    return Content::kRefused;
}

// The five sector contents shared by both families. choice 1..5; the draft
// gets the time grid, the RF samples land in vyn_waveform.
Content ps_sector_content(int choice, SectorDraft* d, bool* unknown) {
    *unknown = false;
    VYNWaveformState& W = vyn_waveform;
    if (choice < 1 || choice > 5) {
        *unknown = true;
        return Content::kRefused;
    }
    if (choice >= 2 && choice <= 4 && !ps_ask_time_grid(d)) return Content::kEnded;
    double ti = choice >= 2 && choice <= 4 ? d->sectdur / d->noti : 1e-5;
    switch (choice) {
        case 1: {
            ps_heading("Define hard pulse parameters");
            int ap = 0;
            ps_mark_unset(1);
            AMHardPulseDefinition(&ap, &ti, W.xb, W.yb);
            const Content c = ps_shape_outcome(1);
            if (c != Content::kDefined) return c;
            d->noti = 1;
            d->sectdur = 1e-5;
            return c;
        }
        case 2:
        case 3: {
            ps_heading(choice == 2 ? "Define amplitude-modulated RF pulse" : "Define general RF pulse");
            const int ap = d->noti;
            ps_mark_unset(ap);
            if (choice == 2)
                AMPulseDefinition(&ap, &ti, W.xb, W.yb);
            else
                FMPulseDefinition(&ap, &ti, W.xb, W.yb);
            return ps_shape_outcome(ap);
        }
        case 4: {
            ps_heading("Read RF pulse samples (Bx, By) from disk");
            const int ap = d->noti;
            ps_mark_unset(ap);
            if (!ReadBxByPulse(&ap, W.xb, W.yb)) {
                if (std::feof(stdin)) return Content::kEnded;
                std::puts("RF pulse samples could not be read; the sector is not changed.");
                return Content::kRefused;
            }
            return ps_shape_outcome(ap);
        }
        default: {
            ps_heading("Waiting time / free precession");
            double ms = 0.0;
            if (!ps_ask_positive_double("Waiting time [ms] : ", &ms)) return Content::kEnded;
            d->sectdur = ms * 1e-3;
            d->noti = 1;
            W.xb[0] = W.yb[0] = 0.0;
            return Content::kDefined;
        }
    }
}

// Names that sanitise to dots only would name a directory.
bool ps_name_usable(const char* name) {
    for (const char* p = name; *p; ++p)
        if (*p != '.') return true;
    return false;
}

// Another sector of the sequence that uses path, or 0.
int ps_sector_using(const char* path, int s) {
    const VYNSequenceState& Q = vyn_sequence;
    for (int t = 1; t <= VYN_MAX_SECTORS; ++t)
        if (t != s && Q.fnames[t][0] && std::strcmp(Q.fnames[t], path) == 0) return t;
    return 0;
}

// Writes the draft's waveform (xb, yb and, for spatial sectors, gx, gy, gz)
// to a temporary beside path, then renames it over path.
bool ps_write_waveform(const char* path, int samples, bool spatial) {
    const VYNWaveformState& W = vyn_waveform;
    return spatial ? rfpulseparam_replace_waveform_file(path, samples, W.xb, W.yb, W.gx, W.gy, W.gz)
                   : rfpulseparam_replace_waveform_file(path, samples, W.xb, W.yb, nullptr, nullptr, nullptr);
}

// Waveform file of sector s: directories, name, overwrite rule, write.
// 1 written (path in d->fname), 0 refused (d->fname cleared, reported),
// -1 input ended.
int ps_sector_waveform_file(int s, int samples, bool spatial, SectorDraft* d) {
    char models[VYN_PATH_CAP], rfdir[VYN_PATH_CAP];
    d->fname[0] = '\0';
    if (!VYN_GetDefaultModelsDir(models, sizeof models) || !VYN_GetDefaultRFOutputDir(rfdir, sizeof rfdir) ||
        !vyn_make_dir_one_level(models) || !vyn_make_dir_one_level(rfdir)) {
        std::puts("Could not create default output directories.");
        std::puts("Sector waveform file was not written.");
        return 0;
    }
    std::printf("Default sector waveform directory : %s\n", rfdir);
    char shortname[128];
    if (!VYNEnsureCurrentModelShortName(shortname, sizeof shortname)) return -1;
    char defname[VYN_FNAME_LEN];
    if (!rfpulseparam_default_waveform_name(defname, sizeof defname, shortname, s, spatial))
        rfpulseparam_default_waveform_name(defname, sizeof defname, nullptr, s, spatial);
    std::puts("Sector waveform file");
    std::puts(spatial ? "This binary file stores RF and gradient samples for this sector."
                      : "This binary file stores RF samples for this sector.");
    std::puts("Bare names are written to the default sector waveform directory.");
    std::printf("Press Enter to use the default name: %s\n", defname);
    char path[VYN_PATH_CAP];
    for (;;) {
        std::printf("File name : ");
        std::fflush(stdout);
        char name[VYN_FNAME_LEN];
        if (!read_filename_stdin(name, sizeof name)) return -1;
        if (name[0] == '\0') std::snprintf(name, sizeof name, "%s", defname);
        if (!ps_name_usable(name)) {
            std::puts("Please enter a file name.");
            continue;
        }
        if (!VYN_BuildPath(path, sizeof path, rfdir, name) || std::strlen(path) >= VYN_FNAME_LEN) {
            std::puts("Could not resolve output path for the sector waveform file.");
            return 0;
        }
        // Another sector's file, or any file that is not this sector's own,
        // is replaced only when the user says so.
        const bool own = std::strcmp(vyn_sequence.fnames[s], path) == 0 && ps_sector_using(path, s) == 0;
        if (!own && access(path, F_OK) == 0) {
            const int other = ps_sector_using(path, s);
            if (other)
                std::printf("This file belongs to sector %d: %s\n", other, path);
            else
                std::printf("File already exists: %s\n", path);
            int yes = 0;
            if (!read_int_prompt("Overwrite it? [1=yes, 0=no] : ", &yes)) return -1;
            if (yes != 1) continue;
        }
        break;
    }
    if (!ps_write_waveform(path, samples, spatial)) {
        std::puts("Sector waveform file was not written.");
        return 0;
    }
    std::snprintf(d->fname, sizeof d->fname, "%s", path);
    char shown[VYN_PATH_CAP];
    std::printf("Sector waveform file written to : %s\n", vyn_path_for_message(path, shown, sizeof shown));
    return 1;
}

// Gradient waveform of one axis on the sector grid; asked again until one is
// defined. False at the end of input.
bool ps_gradient(const char* heading, int ap, double h, double* g) {
    ps_heading(heading);
    for (;;) {
        CalcGrad(&ap, &h, g);
        if (fieldgrad_last_status == FIELDGRAD_OK) return true;
        if (std::feof(stdin)) return false;
        std::puts("No gradient waveform was defined; please choose again.");
    }
}

const char* ps_family_name(int family) { return family == 1 ? "spatially resolved" : "1D or 2D NMR"; }

void ps_recompute_flags(int family) {
    VYNSequenceState& Q = vyn_sequence;
    Q.systemset = vyn_spin.Nspins > 0;
    Q.sectorset = Q.nos > 0;
    Q.offsetset = family == 1 && vyn_grid.ndx >= 1 && vyn_grid.ndy >= 1 && vyn_grid.ndz >= 1;
}

void ps_print_grid_line() {
    const VYNSequenceState& Q = vyn_sequence;
    std::printf("Current spatial grid: ndx=%d  ndy=%d  ndz=%d\n", vyn_grid.ndx, vyn_grid.ndy, vyn_grid.ndz);
    std::printf("  origin [cm] : (%.15g, %.15g, %.15g)\n", Q.x0, Q.y0, Q.z0);
    std::printf("  delta  [cm] : (%.15g, %.15g, %.15g)\n", Q.dx, Q.dy, Q.dz);
}

void ps_print_result_line() {
    if (vyn_sequence.resultflnm[0])
        std::printf("  result file           : %s\n", vyn_sequence.resultflnm);
    else
        std::printf("  result file           : <unset>\n");
}

void ps_print_spins() {
    const VYNSpinState& S = vyn_spin;
    const int ns = S.Nspins > VYN_MAX_SPINS ? VYN_MAX_SPINS : S.Nspins;
    std::printf("  Nspins                : %d\n", S.Nspins);
    std::printf("  2I per spin           :");
    for (int i = 1; i <= ns; ++i) std::printf(" %d", S.quantnum[i]);
    std::printf("\n  relative intensities  :");
    for (int i = 1; i <= ns; ++i) std::printf(" %.3E", S.relspinamp[i]);
    std::printf("\n  offsets [Hz]          :");
    for (int i = 1; i <= ns; ++i) std::printf(" %.3E", S.resofreqs[i]);
    std::printf("\n");
    if (ns < 2) {
        std::puts("  coupling mode         : no couplings");
        return;
    }
    std::printf("  coupling mode         : %d  # %s\n", S.Jexact,
                S.Jexact == 1 ? "Weak coupling approximation" : "Exact coupling computation");
    int p = 1;
    for (int i = 1; i <= ns; ++i)
        for (int k = i + 1; k <= ns; ++k, ++p)
            std::printf("  J(%d,%d) [Hz]           : %.3E\n", i, k, p <= S.Jcount ? S.couplings[p] : 0.0);
}

bool ps_ask_result_name() {
    char name[VYN_FNAME_LEN];
    std::printf("File name to store results in : ");
    std::fflush(stdout);
    if (!read_filename_stdin(name, sizeof name)) return false;
    if (name[0]) std::snprintf(vyn_sequence.resultflnm, VYN_FNAME_LEN, "%s", name);
    return true;
}

// "Sector number to define / edit = " and the sector dialogue. False at the
// end of input.
bool ps_edit_sector(bool spatial) {
    int s = 0;
    if (!read_int_prompt("Sector number to define / edit = ", &s)) return false;
    if (s < 1 || s > VYN_MAX_SECTORS) {
        std::printf("Invalid sector number. Allowed range is 1..%d.\n", VYN_MAX_SECTORS);
        return true;
    }
    vyn_sequence.sector = s;
    const bool defined = spatial ? DefineSeqSector(s) : Define2DSeqSector(s);
    if (defined) {
        vyn_sequence.sectorset = 1;
        if (s > vyn_sequence.nos) vyn_sequence.nos = s;
    }
    return !std::feof(stdin);
}

bool ps_define_grid() {
    static const char axes[3] = {'x', 'y', 'z'};
    int counts[3];
    double origin[3], step[3];
    for (int a = 0; a < 3; ++a) {
        char p[64];
        std::snprintf(p, sizeof p, "Number of %c-grid points   : ", axes[a]);
        if (!read_int_prompt(p, &counts[a])) return false;
        if (counts[a] < 1) counts[a] = 1;
        if (counts[a] > kMaxGrid) counts[a] = kMaxGrid;
        std::snprintf(p, sizeof p, "%c-offset coordinate [cm]  : ", axes[a]);
        if (!read_double_prompt(p, &origin[a])) return false;
        std::snprintf(p, sizeof p, "%c-step size         [cm]  : ", axes[a]);
        if (!read_double_prompt(p, &step[a])) return false;
    }
    VYNSequenceState& Q = vyn_sequence;
    vyn_grid.ndx = counts[0];
    vyn_grid.ndy = counts[1];
    vyn_grid.ndz = counts[2];
    Q.x0 = origin[0];
    Q.y0 = origin[1];
    Q.z0 = origin[2];
    Q.dx = step[0];
    Q.dy = step[1];
    Q.dz = step[2];
    Q.offsetset = 1;
    return true;
}

int ps_clamp_grid(int v) { return v < 1 ? 1 : (v > kMaxGrid ? kMaxGrid : v); }

void ps_print_spatial_overview() {
    const VYNSequenceState& Q = vyn_sequence;
    int next = 0;
    std::printf("Defined sectors : ");
    bool any = false;
    for (int s = 1; s <= VYN_MAX_SECTORS; ++s) {
        if (ps_spatial_sector_defined(s)) {
            std::printf(any ? " %d" : "%d", s);
            any = true;
        } else if (!next) {
            next = s;
        }
    }
    std::printf("%s\nMissing sectors : ", any ? "" : "<none>");
    bool missing = false;
    for (int s = 1; s <= Q.nos && s <= VYN_MAX_SECTORS; ++s)
        if (!ps_spatial_sector_defined(s)) {
            std::printf(missing ? " %d" : "%d", s);
            missing = true;
        }
    std::printf("%s\nNext suggested sector number : %d\n", missing ? "" : "<none>", next ? next : VYN_MAX_SECTORS);
    int shown = 0;
    for (int s = 1; s <= VYN_MAX_SECTORS; ++s) {
        if (!ps_spatial_sector_defined(s)) continue;
        std::printf("%d) Sector %d\n", ++shown, s);
        std::printf("   Time intervals   : %d\n", Q.noti[s]);
        std::printf("   Duration         : %.3E [ms]\n", Q.sectdur[s] * 1e3);
        if (Q.fnames[s][0])
            std::printf("   RF/gradient file : %s\n", Q.fnames[s]);
        else
            std::printf("   RF/gradient file : <unset>\n");
        std::printf("   Offset frequency : %.3E [Hz]\n", Q.statoff[s]);
        if (Q.remarks[s][0]) std::printf("   Remark           : %s\n", Q.remarks[s]);
    }
}

void ps_print_spatial_next_step() {
    const VYNSequenceState& Q = vyn_sequence;
    if (vyn_spin.Nspins < 1 || !Q.systemset) {
        std::puts("Suggested next step:\nDefine or review the spin system first.");
        return;
    }
    if (!Q.offsetset) {
        std::puts("Suggested next step:\nDefine or review the global spatial grid.");
        return;
    }
    for (int s = 1; s <= (Q.nos < 1 ? 1 : Q.nos); ++s)
        if (!ps_spatial_sector_defined(s)) {
            std::printf("Suggested next step:\nDefine sector %d first.\n", s);
            return;
        }
    std::puts("Suggested next step:\nDefine the next sector, save the current model, or run it from the main menu.");
}

}  // namespace

bool ps_spatial_sector_defined(int s) {
    if (s < 1 || s > VYN_MAX_SECTORS) return false;
    const VYNSequenceState& Q = vyn_sequence;
    return Q.noti[s] >= 1 || Q.sectdur[s] > 0.0 || Q.fnames[s][0] != '\0' ||
           (Q.remarks[s][0] != '\0' && Q.remarks[s][0] != ' ');
}

void Initialize() {
    VYNSequenceState& Q = vyn_sequence;
    Q.nos = 0;
    Q.nevo[0] = 1;
    Q.systemset = Q.offsetset = Q.sectorset = 0;
    vyn_spin.Nspins = 0;
    vyn_grid.ndx = vyn_grid.ndy = vyn_grid.ndz = 1;
    std::snprintf(Q.resultflnm, VYN_FNAME_LEN, "result.bin");
}

bool PS_DefineSpinSystem() {
    int nspins = 0, quant[VYN_MAX_SPINS + 1] = {0};
    double amp[VYN_MAX_SPINS + 1] = {0}, freq[VYN_MAX_SPINS + 1] = {0};
    double J[VYN_MAX_COUPLINGS + 1] = {0};
    int jexact = 1;
    // PS_IspinsParams
    std::printf("\n\nDefinition of the spinsystem: \n");
    for (;;) {
        if (!ps_ask_positive_int("Number of Spins = ", &nspins, 1, kMaxComposerSpins,
                                 "At most 6 spins can be defined here."))
            return false;
        long n = 1;
        for (int i = 1; i <= nspins; ++i) {
            char p[96];
            std::snprintf(p, sizeof p, "I quantum number of spin(%d) = x/2  with   x = ", i);
            if (!ps_ask_positive_int(p, &quant[i], 1, 1000, "Please enter x >= 1.")) return false;
            n *= quant[i] + 1;
            if (n > 1000000) n = 1000000;
        }
        if (n <= kMaxComposerStates) {
            std::printf("n = %ld\n", n);
            break;
        }
        std::printf("n = %ld exceeds %d states; please define the spin system again.\n", n, kMaxComposerStates);
    }
    // PS_MakeBoltzmannParams, PS_MakeZeemanParams
    for (int i = 1; i <= nspins; ++i) {
        char p[64];
        std::snprintf(p, sizeof p, "Relative Intensity of Spin (%d) = ", i);
        if (!read_double_prompt(p, &amp[i])) return false;
    }
    for (int i = 1; i <= nspins; ++i) {
        char p[64];
        std::snprintf(p, sizeof p, "Offset-frequency [Hz] of Spin (%d) = ", i);
        if (!read_double_prompt(p, &freq[i])) return false;
    }
    // PS_SpinSpinCouplingParams
    int count = 0;
    if (nspins >= 2) {
        std::puts("1. Weak-Coupling approximation. ");
        std::puts("2. Exact calculation. ");
        if (!ps_ask_positive_int(" Your choice [1,2] : ", &jexact, 1, 2, "Please enter 1 or 2.")) return false;
        std::puts("Give all Scalar coupling constants J(i,j)");
        std::puts("from the term J(i,j).I(i).S(j)");
        for (int i = 1; i <= nspins; ++i)
            for (int k = i + 1; k <= nspins; ++k) {
                char p[64];
                std::snprintf(p, sizeof p, "Scalar Coupling Constant J(%d,%d)  = ", i, k);
                if (!read_double_prompt(p, &J[++count])) return false;
            }
    }
    VYNSpinState& S = vyn_spin;
    S.Nspins = nspins;
    for (int i = 0; i <= VYN_MAX_SPINS; ++i) {
        S.quantnum[i] = i <= nspins ? quant[i] : 0;
        S.relspinamp[i] = i <= nspins ? amp[i] : 0.0;
        S.resofreqs[i] = i <= nspins ? freq[i] : 0.0;
        for (int k = 0; k <= VYN_MAX_SPINS; ++k) S.jc[i][k] = 0.0;
    }
    S.Jexact = jexact;
    S.Jcount = count;
    for (int p = 0; p <= VYN_MAX_COUPLINGS; ++p) S.couplings[p] = p <= count ? J[p] : 0.0;
    int p = 1;
    for (int i = 1; i <= nspins; ++i)
        for (int k = i + 1; k <= nspins; ++k, ++p) S.jc[i][k] = S.jc[k][i] = J[p];
    VYN_RebuildSpinSystemFromPulseSequenceGlobals();
    return true;
}

bool ps_write_2d_sector_waveform_file(int s, int samples) {
    if (s < 1 || s > VYN_MAX_SECTORS || samples < 1 || samples > VYN_MAX_RF_POINTS) return false;
    SectorDraft d = ps_draft_from(s);
    const int w = ps_sector_waveform_file(s, samples, false, &d);
    if (w >= 0) std::snprintf(vyn_sequence.fnames[s], VYN_FNAME_LEN, "%s", d.fname);
    return w == 1;
}

bool DefineSeqSector(int s) {
    if (s < 1 || s > VYN_MAX_SECTORS) return false;
    std::puts(kRule);
    std::printf(" Edit Spatial Sequence Sector %d\n", s);
    std::puts(kRule);
    std::puts("Choose the sector content:");
    std::puts("    1. Hard pulse");
    std::puts("       (90 x, 90 y, 90 -x, 90 -y, 180 x, 180 y, 180 -x, 180 -y)");
    std::puts("    2. Amplitude-modulated RF pulse   : Hp(t) = f(t) * Ix");
    std::puts("    3. General RF pulse               : Hp(t) = f(t) * Ix + g(t) * Iy");
    std::puts("    4. Read RF pulse from disk        : (Bx, By)");
    std::puts("    5. Waiting time / free precession");
    int choice = 0;
    if (!read_int_prompt("Your choice [1..5] : ", &choice)) return false;
    SectorDraft d = ps_draft_from(s);
    bool unknown = false;
    const Content c = ps_sector_content(choice, &d, &unknown);
    if (unknown) std::puts("Unknown sector type.");
    if (c != Content::kDefined) return false;
    d.sectype = 1;
    d.nevo = 1;
    ps_heading("Sector-wide parameters");
    if (!read_double_prompt("Static offset frequency [Hz] : ", &d.statoff)) return false;
    const double h = d.sectdur / d.noti;
    if (!ps_gradient("Define X-gradient waveform", d.noti, h, vyn_waveform.gx) ||
        !ps_gradient("Define Y-gradient waveform", d.noti, h, vyn_waveform.gy) ||
        !ps_gradient("Define Z-gradient waveform", d.noti, h, vyn_waveform.gz))
        return false;
    const int w = ps_sector_waveform_file(s, d.noti, true, &d);
    if (w < 0) return false;
    // A refused file leaves the sector without one: validation rejects it later.
    ps_commit(s, d);
    if (w == 1) {
        char note[VYN_REMARK_LEN];
        std::printf("Sector note (optional): ");
        std::fflush(stdout);
        if (read_legacy_line(note, sizeof note)) std::snprintf(vyn_sequence.remarks[s], VYN_REMARK_LEN, "%s", note);
    }
    return true;
}

bool Define2DSeqSector(int s) {
    if (s < 1 || s > VYN_MAX_SECTORS) return false;
    VYNSequenceState& Q = vyn_sequence;
    std::puts(kRule);
    std::printf(" Edit 1D / 2D Sequence Sector %d\n", s);
    std::puts(kRule);
    std::puts("Choose the sector family:");
    std::puts("    1. Normal sector");
    std::puts("    2. Evolution sector");
    int family = 0;
    if (!read_int_prompt("Your choice [1..2] : ", &family)) return false;
    SectorDraft d = ps_draft_from(s);
    const int prev_nevo = Q.nevo[s - 1];
    if (family != 1) {
        if (prev_nevo != 1) {
            std::puts("A 3D experiment is not allowed.");
            std::printf("Press <enter> to continue");
            std::fflush(stdout);
            char line[8];
            read_legacy_line(line, sizeof line);
            return false;
        }
        d.sectype = 2;
        ps_heading("Evolution sector settings");
        double ms = 0.0;
        if (!ps_ask_positive_double("Basic evolution-sector time [ms] : ", &ms)) return false;
        d.sectdur = ms * 1e-3;
        d.noti = 1;
        if (!ps_ask_positive_int("Number of evolution steps        : ", &d.nevo, 1, VYN_MAX_SAMPLES,
                                 "Please enter 1..8192 evolution steps."))
            return false;
        vyn_waveform.xb[0] = vyn_waveform.yb[0] = 0.0;
    } else {
        d.sectype = 1;
        d.nevo = prev_nevo;
        std::puts("Choose the sector content:");
        std::puts("    1. Hard pulse");
        std::puts("       (90 x, 90 y, 90 -x, 90 -y, 180 x, 180 y, 180 -x, 180 -y)");
        std::puts("    2. Amplitude-modulated RF pulse   : Hp(t) = f(t) * Ix");
        std::puts("    3. General RF pulse               : Hp(t) = f(t) * Ix + g(t) * Iy");
        std::puts("    4. Read RF pulse from disk        : (Bx, By)");
        std::puts("    5. Waiting time / free precession");
        int choice = 0;
        if (!read_int_prompt("Your choice [1..5] : ", &choice)) return false;
        bool unknown = false;
        const Content c = ps_sector_content(choice, &d, &unknown);
        if (unknown) std::puts("Unknown sector content.");
        if (c != Content::kDefined) return false;
    }
    const int w = ps_sector_waveform_file(s, d.noti, false, &d);
    if (w < 0) return false;
    ps_commit(s, d);
    if (w == 0) return true;
    ps_heading("Sector-wide parameters");
    double off = 0.0;
    if (!read_double_prompt("Static offset frequency [Hz] : ", &off)) return true;
    Q.statoff[s] = off;
    char note[VYN_REMARK_LEN];
    std::printf("Sector note (optional): ");
    std::fflush(stdout);
    if (read_legacy_line(note, sizeof note)) std::snprintf(Q.remarks[s], VYN_REMARK_LEN, "%s", note);
    return true;
}

void EditPulseSequence() {
    VYNSequenceState& Q = vyn_sequence;
    for (;;) {
        vyn_grid.ndx = ps_clamp_grid(vyn_grid.ndx);
        vyn_grid.ndy = ps_clamp_grid(vyn_grid.ndy);
        vyn_grid.ndz = ps_clamp_grid(vyn_grid.ndz);
        std::puts("\n             ******************************************************");
        std::puts("             ***   Edit Current Spatially Resolved Model       ***");
        std::puts("             ******************************************************");
        VYNPrintCurrentModelFileHint();
        ps_print_spins();
        std::printf("  ndx                   : %d\n", vyn_grid.ndx);
        std::printf("  ndy                   : %d\n", vyn_grid.ndy);
        std::printf("  ndz                   : %d\n", vyn_grid.ndz);
        std::printf("  x0 [cm]               : %.3E\n", Q.x0);
        std::printf("  y0 [cm]               : %.3E\n", Q.y0);
        std::printf("  z0 [cm]               : %.3E\n", Q.z0);
        std::printf("  dx [cm]               : %.3E\n", Q.dx);
        std::printf("  dy [cm]               : %.3E\n", Q.dy);
        std::printf("  dz [cm]               : %.3E\n", Q.dz);
        std::puts("  sequence family       : spatially resolved (1)");
        std::printf("  sequence sectors      : %d\n", Q.nos);
        ps_print_result_line();
        std::puts("  model file format     : .vynmodel");
        ps_print_spatial_next_step();
        ps_print_spatial_overview();
        std::puts("    1. Define / edit a sequence sector");
        std::puts("    2. Define / redefine spin system");
        std::puts("    3. Define / redefine spatial grid");
        std::puts("    4. Define result file name");
        std::puts("    5. Save current model now (.vynmodel)");
        std::puts("    6. Return to previous menu");
        int choice = 0;
        if (!read_int_prompt("Your choice is [1..6] : ", &choice)) return;
        switch (choice) {
            case 1:
                if (!ps_edit_sector(true)) return;
                break;
            case 2:
                if (!PS_DefineSpinSystem()) return;
                Q.systemset = 1;
                break;
            case 3:
                if (!ps_define_grid()) return;
                break;
            case 4:
                if (!ps_ask_result_name()) return;
                break;
            case 5:
                VYNExportCurrentModelInteractive();
                break;
            case 6:
                return;
            default:
                std::puts("Unknown choice.");
                break;
        }
    }
}

void Edit2DPulseSequence() {
    VYNSequenceState& Q = vyn_sequence;
    for (;;) {
        std::puts("\n             ***************************************************");
        std::puts("             ***      Edit Current 1D / 2D NMR Model        ***");
        std::puts("             ***************************************************");
        VYNPrintCurrentModelFileHint();
        std::printf("  Nspins                : %d\n", vyn_spin.Nspins);
        std::puts("  sequence family       : 1D or 2D NMR (2)");
        std::printf("  evolution steps       : %d\n", Q.nevo[0]);
        std::printf("  sequence sectors      : %d\n", Q.nos);
        ps_print_result_line();
        std::puts("  model file format     : .vynmodel");
        if (Q.nos < 1) std::puts("  <no sectors defined>");
        for (int s = 1; s <= Q.nos && s <= VYN_MAX_SECTORS; ++s) {
            std::printf("Sector %d\n", s);
            std::printf("  sector type           : %d\n", Q.sectype[s]);
            std::printf("  time intervals        : %d\n", Q.noti[s]);
            std::printf("  sector duration [ms]  : %.3E\n", Q.sectdur[s] * 1e3);
            std::printf("  evolution steps       : %d\n", Q.nevo[s]);
            std::printf("  pulse file            : %s\n", Q.fnames[s]);
            std::printf("  offset frequency [Hz] : %.12E\n", Q.statoff[s]);
            std::printf("  remark                : %s\n", Q.remarks[s]);
        }
        if (vyn_spin.Nspins < 1 || !Q.systemset) {
            std::puts("Suggested next step:\nDefine or review the spin system first.");
        } else {
            int missing = 0;
            for (int s = 1; s <= Q.nos && !missing; ++s)
                if (!Q.fnames[s][0] || Q.noti[s] < 1) missing = s;
            if (Q.nos < 1) missing = 1;
            if (missing)
                std::printf("Suggested next step:\nDefine sector %d first.\n", missing);
            else
                std::puts(
                    "Suggested next step:\nDefine the next sector, save the current model, or run it from the main "
                    "menu.");
        }
        std::puts("    1. Define / edit a sequence sector");
        std::puts("    2. Define / redefine spin system");
        std::puts("    3. Define result file name");
        std::puts("    4. Save current model now (.vynmodel)");
        std::puts("    5. Return to previous menu");
        int choice = 0;
        if (!read_int_prompt("Your choice is [1..5] : ", &choice)) return;
        switch (choice) {
            case 1:
                if (!ps_edit_sector(false)) return;
                break;
            case 2:
                if (!PS_DefineSpinSystem()) return;
                Q.systemset = 1;
                break;
            case 3:
                if (!ps_ask_result_name()) return;
                break;
            case 4:
                VYNExportCurrentModelInteractive();
                break;
            case 5:
                return;
            default:
                std::puts("Unknown choice.");
                break;
        }
    }
}

void ComposePulseSequence() {
    VYNSequenceState& Q = vyn_sequence;
    for (;;) {
        ScreenMode(3);
        std::puts("*****************************************************");
        std::puts("*** Prepare / Edit Current Pulse Sequence         ***");
        std::puts("***              current model workflow           ***");
        std::puts("*****************************************************");
        if (vyn_spin.Nspins > 0) {
            std::puts("Current loaded/prepared spin system:");
            std::printf("  Nspins = %d\n", vyn_spin.Nspins);
            std::printf("  Current sequence sectors = %d\n", Q.nos);
        } else {
            std::puts("No spin system is currently prepared.");
        }
        std::puts("Choose the sequence family first.");
        std::puts("    1. Spatially resolved pulse sequence");
        std::puts("    2. 1D or 2D NMR pulse sequence");
        std::puts("    3. Back\n");
        int family = 0;
        if (!read_int_prompt("Your choice [1..3] : ", &family)) return;
        if (family == 3) return;
        if (family != 1 && family != 2) {
            std::puts("Unknown choice.");
            continue;
        }
        const char* name = ps_family_name(family);
        for (;;) {
            std::printf("Selected sequence family: %s pulse sequence\n", name);
            if (family == 1) {
                std::puts("This family uses the spatial simulation domain from model preparation.");
                if (Q.offsetset || vyn_spin.offsetsdefined) {
                    ps_print_grid_line();
                } else {
                    std::puts("Current spatial grid: <not explicitly defined yet>");
                    std::puts("  Note: the spatial editor will clamp the grid to at least 1 x 1 x 1.");
                }
            } else {
                std::puts("This family does not use the spatial simulation domain.");
            }
            std::printf("    1. Continue editing the current %s sequence\n", name);
            std::printf("    2. Start a new %s sequence\n", name);
            std::printf("    3. Choose another sequence family\n");
            int action = 0;
            if (!read_int_prompt("Your choice [1..3] : ", &action)) return;
            if (action == 3) break;
            if (action == 1) {
                if (Q.sequencetype != 0 && Q.sequencetype != family && Q.nos > 0) {
                    std::puts("A different sequence family is already prepared in memory.");
                    std::printf("Start a new %s sequence instead.\n", name);
                    continue;
                }
            } else if (action == 2) {
                if (vyn_spin.Nspins < 1) Initialize();
                Q.nos = 0;
                Q.nevo[0] = 1;
                if (!Q.resultflnm[0]) std::snprintf(Q.resultflnm, VYN_FNAME_LEN, "result.bin");
            } else {
                std::puts("Unknown choice.");
                continue;
            }
            Q.sequencetype = family;
            ps_recompute_flags(family);
            if (family == 1)
                EditPulseSequence();
            else
                Edit2DPulseSequence();
            return;
        }
    }
}
