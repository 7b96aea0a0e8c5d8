// Pulse-sequence composer: family menu, spatial and 1D/2D editors and the
// spin-system dialogue (the sector dialogues are in pulsesequencedefiner_sector.cpp).
#include "pulsesequencedefiner.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"
#include "fieldgradientlib.h"
#include "rfpulselib.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_sequence.h"
#include "vynmodeldialog.h"
#include "vynpaths.h"

namespace {

constexpr int kMaxComposerSpins = 6;
constexpr int kMaxComposerStates = 64;
constexpr int kMaxGrid = 256;

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
