// Preparation menu: spin system, spatial grid, sequence, summary and saving.
#include "vynmenus.h"

#include <cstdio>

#include "consuleutil.h"
#include "pulsesequencedefiner.h"
#include "vyn.h"
#include "vyn_sequence.h"
#include "vynmodeldialog.h"

const char* SequenceTypeLabel(int type) {
    switch (type) {
        case 0:
            return "<unset>";
        case 1:
            return "spatial resolved";
        case 2:
            return "1D/2D NMR";
        default:
            return "<unknown>";
    }
}

const char* SectorTypeLabel(int type) {
    switch (type) {
        case 0:
            return "<unset>";
        case 1:
            return "hard pulse";
        case 2:
            return "AM pulse";
        case 3:
            return "FM / adiabatic pulse";
        case 4:
            return "pulse file Bx/By";
        case 5:
            return "pulse file Bx/Bz";
        case 6:
            return "waiting time / free precession";
        default:
            return "<unknown>";
    }
}

static void print_family_line() {
    const int t = vyn_sequence.sequencetype;
    printf("  sequence family  : %s", SequenceTypeLabel(t));
    if (t > 0) printf(" (%d)", t);
    printf("\n");
}

static void print_result_line() {
    if (vyn_sequence.resultflnm[0])
        printf("  result file      : %s\n", vyn_sequence.resultflnm);
    else
        printf("  result file      : <unset>\n");
}

void PrintPrepareStatus() {
    printf("Current model state:\n");
    printf("  Nspins           : %d\n", vyn_spin.Nspins);
    print_family_line();
    printf("  sequence sectors : %d\n", vyn_sequence.nos);
    print_result_line();
    if (vyn_spin.Nspins < 1) printf("  spin system      : <none prepared>\n");
    if (vyn_sequence.nos < 1) printf("  pulse sequence   : <none prepared>\n");
    printf("\n");
}

void PrintCurrentModelSummary() {
    const VYNSpinState& S = vyn_spin;
    const VYNSequenceState& Q = vyn_sequence;
    printf(
        "========================================\n Current Model "
        "Summary\n========================================\n\n");
    VYNPrintCurrentModelFileHint();
    printf("\nModel state:\n");
    printf("  Nspins           : %d\n", S.Nspins);
    print_family_line();
    printf("  sequence sectors : %d\n", Q.nos);
    print_result_line();
    printf("\nSpin system:\n");
    printf("  Hilbert size n   : %d\n", S.n);
    const int ns = S.Nspins > VYN_MAX_SPINS ? VYN_MAX_SPINS : S.Nspins;
    printf("  spin quantum numbers : ");
    if (ns < 1) printf("<none>");
    for (int i = 1; i <= ns; ++i) printf(i > 1 ? " %d" : "%d", S.quantnum[i]);
    printf("\n  relative intensities : ");
    if (ns < 1) printf("<none>");
    for (int i = 1; i <= ns; ++i) printf(i > 1 ? " %.12g" : "%.12g", S.relspinamp[i]);
    printf("\n  resonance offsets [Hz] : ");
    if (ns < 1) printf("<none>");
    for (int i = 1; i <= ns; ++i) printf(i > 1 ? " %.12g" : "%.12g", S.resofreqs[i]);
    printf("\n");
    if (S.Nspins >= 2) {
        printf("  coupling mode    : %d\n", S.Jexact);
        const int jc = S.Jcount > VYN_MAX_COUPLINGS ? VYN_MAX_COUPLINGS : S.Jcount;
        for (int p = 1; p <= jc; ++p) printf("  J-coupling %d    : %.12g Hz\n", p, S.couplings[p]);
    } else {
        printf("  coupling mode    : no couplings\n");
    }
    printf("\n");
    if (Q.sequencetype == 1) {
        printf("Spatial grid:\n");
        printf("  ndx              : %d\n  ndy              : %d\n  ndz              : %d\n", vyn_grid.ndx,
               vyn_grid.ndy, vyn_grid.ndz);
        printf("  x0 [cm]          : %.12g\n  dx [cm]          : %.12g\n", Q.x0, Q.dx);
        printf("  y0 [cm]          : %.12g\n  dy [cm]          : %.12g\n", Q.y0, Q.dy);
        printf("  z0 [cm]          : %.12g\n  dz [cm]          : %.12g\n\n", Q.z0, Q.dz);
    }
    printf("Sequence overview:\n");
    const int nos = Q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : Q.nos;
    if (nos < 1) printf("  <no sectors defined>\n");
    for (int s = 1; s <= nos; ++s)
        printf("  sector %d : timepoints=%d  duration=%.12g s  file=%s\n", s, Q.noti[s], Q.sectdur[s],
               Q.fnames[s][0] ? Q.fnames[s] : "<unset>");
    printf("\n");
}

void RedefineSpinSystem() {
    SetupSpins();
    if (!vyn_spin.spinsystemdefined) return;
    printf("Spin system defined: Nspins=%d, n=%d\n", vyn_spin.Nspins, vyn_spin.n);
    MakeBoltzmann();
    MakeZeeman();
    SpinSpinCoupling();
    vyn_sequence.systemset = 1;
}

// Reads one integer after a prompt; 0 when none could be read.
static int ask_int(const char* prompt, int* out) {
    printf("%s", prompt);
    fflush(stdout);
    return consule_read_int(out) == 1;
}

static int ask_double(const char* prompt, double* out) {
    printf("%s", prompt);
    fflush(stdout);
    return consule_read_double(out) == 1;
}

static int ask_counts() {
    int* counts[3] = {&vyn_grid.ndx, &vyn_grid.ndy, &vyn_grid.ndz};
    const char* prompts[3] = {"  ndx : ", "  ndy : ", "  ndz : "};
    printf("Number of spatial grid points\n");
    for (int a = 0; a < 3; ++a) {
        int v = 0;
        if (!ask_int(prompts[a], &v)) return 0;
        *counts[a] = v < 1 ? 1 : v;
    }
    return 1;
}

void DefineSpatialSimulationDomain() {
    VYNSequenceState& Q = vyn_sequence;
    printf(
        "\n           *******************************************\n"
        "           ***  SPATIAL SIMULATION DOMAIN SETUP   ***\n"
        "           *******************************************\n");
    if (!vyn_spin.spinsystemdefined) {
        printf(">>>> No spin system is defined. Define spins first. <<<<\n");
        return;
    }
    printf(
        "\nDefine the spatial simulation grid for later spatially resolved sequence calculations.\n"
        "Gradient waveforms are defined in the sequence sectors, not here.\n\n");
    int symmetric = 0;
    if (!ask_int("Use a symmetric simulation volume around a center point? [1=yes, 0=no] : ", &symmetric)) return;
    if (symmetric != 0) {
        double c[3], w[3];
        printf("Center of simulation volume [cm]\n");
        if (!ask_double("  x-center [cm] : ", &c[0]) || !ask_double("  y-center [cm] : ", &c[1]) ||
            !ask_double("  z-center [cm] : ", &c[2]))
            return;
        if (!ask_counts()) return;
        printf("Full simulation volume widths [cm]\n");
        if (!ask_double("  widthx [cm] : ", &w[0]) || !ask_double("  widthy [cm] : ", &w[1]) ||
            !ask_double("  widthz [cm] : ", &w[2]))
            return;
        const int counts[3] = {vyn_grid.ndx, vyn_grid.ndy, vyn_grid.ndz};
        double* origin[3] = {&Q.x0, &Q.y0, &Q.z0};
        double* step[3] = {&Q.dx, &Q.dy, &Q.dz};
        for (int a = 0; a < 3; ++a) {
            if (counts[a] != 1) {
                *step[a] = w[a] / (counts[a] - 1);
                *origin[a] = c[a] - w[a] / 2.0;
            } else {
                *origin[a] = c[a];
                *step[a] = 0.0;
            }
        }
    } else {
        printf("Manual grid definition (minimum coordinate + spacing)\n");
        if (!ask_counts()) return;
        printf("Minimum coordinates [cm]\n");
        if (!ask_double("  x0 [cm] : ", &Q.x0) || !ask_double("  y0 [cm] : ", &Q.y0) ||
            !ask_double("  z0 [cm] : ", &Q.z0))
            return;
        printf("Grid spacing [cm]\n");
        if (!ask_double("  dx [cm] : ", &Q.dx) || !ask_double("  dy [cm] : ", &Q.dy) ||
            !ask_double("  dz [cm] : ", &Q.dz))
            return;
        if (vyn_grid.ndx == 1) Q.dx = 0.0;
        if (vyn_grid.ndy == 1) Q.dy = 0.0;
        if (vyn_grid.ndz == 1) Q.dz = 0.0;
    }
    vyn_spin.offsetsdefined = 1;
    Q.offsetset = 1;
    printf("\nSpatial simulation domain defined.\n");
    printf("  ndx=%d  ndy=%d  ndz=%d\n", vyn_grid.ndx, vyn_grid.ndy, vyn_grid.ndz);
    printf("  x0=%.15g  y0=%.15g  z0=%.15g [cm]\n", Q.x0, Q.y0, Q.z0);
    printf("  dx=%.15g  dy=%.15g  dz=%.15g [cm]\n", Q.dx, Q.dy, Q.dz);
    printf("  Used by     : spatially resolved pulse sequences\n");
    printf("  Sequence type is chosen later in the pulse-sequence menu.\n");
}

void VYNPrepareMenu() {
    for (;;) {
        ScreenMode(3);
        printf(
            "========================================\n Prepare / Edit Current Model\n"
            "========================================\n\n");
        VYNPrintCurrentModelFileHint();
        printf("\n");
        PrintPrepareStatus();
        printf(
            "Options:\n\n"
            "  1. Define / redefine spin system\n"
            "  2. Define spatial simulation domain (for spatially resolved sequences)\n"
            "  3. Choose sequence family and compose / edit pulse sequence\n"
            "  4. Show current model summary\n"
            "  5. Save current model now (.vynmodel)\n"
            "  6. Back\n\n"
            "Your choice [1..6] : ");
        fflush(stdout);
        int choice = 0;
        if (!consule_read_menu_choice(&choice)) return;
        printf("\n");
        switch (choice) {
            case 1:
                RedefineSpinSystem();
                break;
            case 2:
                DefineSpatialSimulationDomain();
                break;
            case 3:
                if (vyn_spin.Nspins < 1)
                    printf("No spin system is currently prepared.\nDefine or import a model first.\n");
                else
                    ComposePulseSequence();
                break;
            case 4:
                PrintCurrentModelSummary();
                break;
            case 5:
                VYNExportCurrentModelInteractive();
                break;
            case 6:
                return;
            default:
                printf("Unknown choice.\n");
                break;
        }
        consule_pause("Press Enter to continue...");
    }
}
