// Snapshot of the engine state, kept across the reference checks: the spin
// system, the sequence, the grid record and the spin-subgroup labels.
#pragma once

#include "vyn.h"
#include "vyn_sequence_state.h"
#include "vynmodel_subgroups.h"

// Every spin (1..8) and coupling entry (1..28) is kept, so a current model of
// any size survives; the spin-subgroup labels, the field and carrier settings
// and the whole grid record are kept too, since the spatial case replaces them.
struct VYNLegacySnapshot {
    int Nspins, n, Jexact, Jcount, sequencetype, nos, ndx, ndy, ndz;
    int systemset, offsetset, sectorset, spinsystemdefined, rfpulsedefined, offsetsdefined, calc, pulseflag, ap, ndw;
    int quantnum[VYN_MAX_SPINS + 1];
    double relspinamp[VYN_MAX_SPINS + 1], resofreqs[VYN_MAX_SPINS + 1];
    double jc[VYN_MAX_SPINS + 1][VYN_MAX_SPINS + 1];
    double couplings[VYN_MAX_COUPLINGS + 1];
    int sectype[VYN_MAX_SECTORS + 1], noti[VYN_MAX_SECTORS + 1], nevo[VYN_MAX_SECTORS + 1];
    double sectdur[VYN_MAX_SECTORS + 1], statoff[VYN_MAX_SECTORS + 1];
    double x0, y0, z0, dx, dy, dz;
    char resultflnm[VYN_FNAME_LEN];
    char fnames[VYN_MAX_SECTORS + 1][VYN_FNAME_LEN];
    char remarks[VYN_MAX_SECTORS + 1][VYN_REMARK_LEN];
    double b0_tesla, receiver_carrier_ppm;
    VYNGridState grid;  // grid origin, steps and gradient strength of the engine
    int subgroup_count;
    char subgroup_labels[VYN_SPIN_SUBGROUP_CAP][64];
    int subgroup_spin_count[VYN_SPIN_SUBGROUP_CAP];
    int subgroup_spins[VYN_SPIN_SUBGROUP_CAP][9];
    int subgroup_ppm_count[VYN_SPIN_SUBGROUP_CAP];
    double subgroup_ppm[VYN_SPIN_SUBGROUP_CAP];
};

void CaptureLegacySnapshot(VYNLegacySnapshot* s);
void RestoreLegacySnapshot(const VYNLegacySnapshot* s);
