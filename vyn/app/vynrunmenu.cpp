// The "Run / Analyze Current Model" menu and its status printout.
#include "vynrunmenu.h"

#include <cmath>
#include <cstdio>

#include "consuleutil.h"
#include "observablespectrumcalculator.h"
#include "pulsesequencedefiner.h"
#include "spinoperatorlib.h"
#include "vyn.h"
#include "vyn_run.h"
#include "vyn_sequence.h"
#include "vynexpect.h"
#include "vynmenus.h"
#include "vynmodeldialog.h"
#include "vynoptdialog.h"

namespace {

const char* first_sector_label(int family, int type) {
    if (family == 2) {
        switch (type) {
            case 0:
                return "<unset>";
            case 1:
                return "normal sector";
            case 2:
                return "evolution sector";
            default:
                return "<unknown>";
        }
    }
    return SectorTypeLabel(type);
}

bool sectors_ready() { return vyn_sequence.nos >= 1 && vyn_sequence.sectorset; }

bool sector_incomplete(int s) {
    const VYNSequenceState& Q = vyn_sequence;
    if (Q.noti[s] < 1 || Q.fnames[s][0] == '\0') return true;
    if (Q.sequencetype == 1 && std::isnan(Q.statoff[s])) return true;
    if (Q.sequencetype == 2 && ((Q.sectype[s] != 1 && Q.sectype[s] != 2) || Q.nevo[s] < 1)) return true;
    return false;
}

void calculate_spectra() {
    VYNSpinState& S = vyn_spin;
    printf("Options:\n  1. Calculate average spectrum\n  2. Calculate spectra separately\nYour choice [1,2] : ");
    fflush(stdout);
    int choice = 1;
    int r = consule_read_int(&choice);
    if (r != 1) choice = 1;
    if (r >= 0) consule_discard_line();
    if (S.n < 1 || S.n > MATRIXMATH_DIM) {
        printf("No spin system is currently prepared.\n");
        return;
    }
    CMatAdd(S.n, S.Izee, S.Icoup, S.Istat);
    const int ns = S.Nspins > VYN_MAX_SPINS ? VYN_MAX_SPINS : S.Nspins;
    // The receiver channels use per-spin normalised Ix, Iy; the offset operator
    // stays the plain sum of Iz so that 2*pi*f_off*Iztot shifts every line by
    // exactly f_off (a normalised Iz would scale the offset by 1/||Iz(s)||,
    // e.g. by sqrt(2) for one spin-1/2 or 1/sqrt(2) for three).
    VYN_BuildNormalisedReceivers();
    MakeTotalIz(S.n, ns, S.ket, S.Ilist, 0, S.Iztot);
    if (choice == 1)
        AverageSpectrum(&S.n, &vyn_prop.ap, S.densmat, S.Istat, vyn_receivers.Ix, vyn_receivers.Iy, S.Iztot, S.ket,
                        S.Ilist);
    else
        SeparateSpectra(&S.n, &vyn_prop.ap, S.densmat, S.Istat, vyn_receivers.Ix, vyn_receivers.Iy, S.Iztot, S.ket,
                        S.Ilist);
}

}  // namespace

void PrintNonInteractiveStatus() {
    const VYNSequenceState& Q = vyn_sequence;
    const int family = Q.sequencetype;
    printf("Current model state:\n");
    printf("  Nspins           : %d\n", vyn_spin.Nspins);
    printf("  sequence family  : %s", SequenceTypeLabel(family));
    if (family > 0) printf(" (%d)", family);
    printf("\n  sequence sectors : %d\n", Q.nos);
    if (Q.nos >= 1) {
        printf("  first sector     : %s", first_sector_label(family, Q.sectype[1]));
        if (Q.sectype[1] > 0) printf(" (%d)", Q.sectype[1]);
        printf("\n");
    }
    if (Q.resultflnm[0])
        printf("  result file      : %s\n", Q.resultflnm);
    else
        printf("  result file      : <unset>\n");
    const int nos = Q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : Q.nos;
    int incomplete = 0;
    for (int s = 1; s <= nos && !incomplete; ++s)
        if (sector_incomplete(s)) incomplete = s;
    if (vyn_spin.Nspins <= 0 || !Q.systemset)
        printf("  run status       : incomplete (spin system missing)\n");
    else if (family <= 0)
        printf("  run status       : incomplete (sequence family not selected)\n");
    else if (!sectors_ready())
        printf("  run status       : incomplete (sequence sectors missing)\n");
    else if (incomplete)
        printf("  run status       : incomplete (sector %d is incomplete)\n", incomplete);
    else if (family == 2)
        printf("  run status       : ready\n");
    else if (family != 1)
        printf("  run status       : incomplete (unknown sequence family)\n");
    else if (vyn_grid.ndx <= 0 || vyn_grid.ndy <= 0 || vyn_grid.ndz <= 0 || !Q.offsetset)
        printf("  run status       : incomplete (spatial grid missing)\n");
    else
        printf("  run status       : ready\n");
    if (vyn_spin.Nspins < 1) printf("  spin system      : <none prepared>\n");
    if (Q.nos < 1) printf("  pulse sequence   : <none prepared>\n");
    printf("\n");
}

void LiouvilleNonInteractive() {
    for (;;) {
        ScreenMode(3);
        printf(
            "****************************************************\n"
            "***         Run / Analyze Current Model         ***\n"
            "****************************************************\n\n");
        VYNPrintCurrentModelFileHint();
        printf("\n");
        PrintNonInteractiveStatus();
        printf(
            "Options:\n\n"
            "  1. Choose sequence family and compose / edit pulse sequence\n"
            "  2. Run current prepared model\n"
            "  3. Calculate expectation values\n"
            "  4. Calculate spectra\n"
            "  5. Optimize one RF sector in current 1D/2D sequence\n"
            "  6. Save current model now (.vynmodel)\n"
            "  7. Back\n\n"
            "Your choice [1..7] : ");
        fflush(stdout);
        int choice = 0;
        if (!consule_read_menu_choice(&choice)) return;
        printf("\n");
        switch (choice) {
            case 7:
                return;
            case 1:
                ComposePulseSequence();
                break;
            case 2:
                RunCurrentPreparedModel();
                break;
            case 3:
                CalcExpVal();
                break;
            case 4:
                calculate_spectra();
                break;
            case 5:
                VYNModel_OptimizePreparedSequenceSectorInteractive();
                break;
            case 6:
                VYNExportCurrentModelInteractive();
                break;
            default:
                printf("Unknown choice.\n");
                break;
        }
        consule_pause("\nPress Enter to continue...");
    }
}
