// Sector dialogues of the pulse-sequence composer: the 1D/2D and the
// spatial sector dialogues, the sector content, its gradients and the sector
// waveform files. The editors (pulsesequencedefiner.cpp) call these.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"
#include "fieldgradientlib.h"
#include "pulsesequencedefiner.h"
#include "rfpulselib.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_sequence.h"
#include "vynpaths.h"

namespace {

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

}  // namespace

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
