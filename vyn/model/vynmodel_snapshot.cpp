// Snapshot of the engine state (see vynmodel_snapshot.h).
#include "vynmodel_snapshot.h"

#include <cstring>

namespace {
template <typename T>
void copy_array(T& dst, const T& src) {
    std::memcpy(&dst, &src, sizeof dst);
}
}  // namespace

void CaptureLegacySnapshot(VYNLegacySnapshot* s) {
    const VYNSpinState& S = vyn_spin;
    const VYNSequenceState& Q = vyn_sequence;
    s->Nspins = S.Nspins;
    s->n = S.n;
    s->Jexact = S.Jexact;
    s->Jcount = S.Jcount;
    s->sequencetype = Q.sequencetype;
    s->nos = Q.nos;
    s->ndx = vyn_grid.ndx;
    s->ndy = vyn_grid.ndy;
    s->ndz = vyn_grid.ndz;
    s->systemset = Q.systemset;
    s->offsetset = Q.offsetset;
    s->sectorset = Q.sectorset;
    s->spinsystemdefined = S.spinsystemdefined;
    s->rfpulsedefined = S.rfpulsedefined;
    s->offsetsdefined = S.offsetsdefined;
    s->calc = S.calc;
    s->pulseflag = S.pulseflag;
    s->ap = vyn_prop.ap;
    s->ndw = vyn_grid.ndw;
    copy_array(s->quantnum, S.quantnum);
    copy_array(s->relspinamp, S.relspinamp);
    copy_array(s->resofreqs, S.resofreqs);
    copy_array(s->jc, S.jc);
    copy_array(s->couplings, S.couplings);
    copy_array(s->sectype, Q.sectype);
    copy_array(s->noti, Q.noti);
    copy_array(s->nevo, Q.nevo);
    copy_array(s->sectdur, Q.sectdur);
    copy_array(s->statoff, Q.statoff);
    s->x0 = Q.x0;
    s->y0 = Q.y0;
    s->z0 = Q.z0;
    s->dx = Q.dx;
    s->dy = Q.dy;
    s->dz = Q.dz;
    copy_array(s->resultflnm, Q.resultflnm);
    copy_array(s->fnames, Q.fnames);
    copy_array(s->remarks, Q.remarks);
    s->grid = vyn_grid;
    s->b0_tesla = Q.vyn_gui_b0_tesla;
    s->receiver_carrier_ppm = Q.vyn_gui_receiver_carrier_ppm;
    s->subgroup_count = vyn_spin_subgroup_count;
    copy_array(s->subgroup_labels, vyn_spin_subgroup_labels);
    copy_array(s->subgroup_spin_count, vyn_spin_subgroup_spin_count);
    copy_array(s->subgroup_spins, vyn_spin_subgroup_spins);
    copy_array(s->subgroup_ppm_count, vyn_spin_subgroup_ppm_count);
    copy_array(s->subgroup_ppm, vyn_spin_subgroup_ppm);
}

void RestoreLegacySnapshot(const VYNLegacySnapshot* s) {
    VYNSpinState& S = vyn_spin;
    VYNSequenceState& Q = vyn_sequence;
    S.Nspins = s->Nspins;
    S.Jexact = s->Jexact;
    S.Jcount = s->Jcount;
    Q.sequencetype = s->sequencetype;
    Q.nos = s->nos;
    vyn_grid.ndx = s->ndx;
    vyn_grid.ndy = s->ndy;
    vyn_grid.ndz = s->ndz;
    Q.systemset = s->systemset;
    Q.offsetset = s->offsetset;
    Q.sectorset = s->sectorset;
    copy_array(S.quantnum, s->quantnum);
    copy_array(S.relspinamp, s->relspinamp);
    copy_array(S.resofreqs, s->resofreqs);
    copy_array(S.jc, s->jc);
    copy_array(S.couplings, s->couplings);
    copy_array(Q.sectype, s->sectype);
    copy_array(Q.noti, s->noti);
    copy_array(Q.nevo, s->nevo);
    copy_array(Q.sectdur, s->sectdur);
    copy_array(Q.statoff, s->statoff);
    Q.x0 = s->x0;
    Q.y0 = s->y0;
    Q.z0 = s->z0;
    Q.dx = s->dx;
    Q.dy = s->dy;
    Q.dz = s->dz;
    copy_array(Q.resultflnm, s->resultflnm);
    copy_array(Q.fnames, s->fnames);
    copy_array(Q.remarks, s->remarks);
    vyn_grid = s->grid;
    Q.vyn_gui_b0_tesla = s->b0_tesla;
    Q.vyn_gui_receiver_carrier_ppm = s->receiver_carrier_ppm;
    vyn_spin_subgroup_count = s->subgroup_count;
    copy_array(vyn_spin_subgroup_labels, s->subgroup_labels);
    copy_array(vyn_spin_subgroup_spin_count, s->subgroup_spin_count);
    copy_array(vyn_spin_subgroup_spins, s->subgroup_spins);
    copy_array(vyn_spin_subgroup_ppm_count, s->subgroup_ppm_count);
    copy_array(vyn_spin_subgroup_ppm, s->subgroup_ppm);
    for (int i = 0; i <= VYN_MAX_SPINS; ++i) S.Ilist[i] = s->quantnum[i];
    if (s->Nspins > 0 && s->systemset) {
        const int was = VYN_GetSmokeCheckMode();
        VYN_SetSmokeCheckMode(1);
        VYN_RebuildSpinSystemFromPulseSequenceGlobals();
        VYN_SetSmokeCheckMode(was);
    }
    // The rebuild marks the operators as built; the flags and counters are the saved ones.
    S.n = s->n;
    S.spinsystemdefined = s->spinsystemdefined;
    S.rfpulsedefined = s->rfpulsedefined;
    S.offsetsdefined = s->offsetsdefined;
    S.calc = s->calc;
    S.pulseflag = s->pulseflag;
    vyn_prop.ap = s->ap;
    vyn_grid.ndw = s->ndw;
}
