// Spin-subgroup metadata of the current model (labels and chemical shifts of
// groups of spins), read by the multiplet-resolved signal export. Written by
// model activation only; 0-based subgroup index, spins in positions 0..count-1.
#pragma once

constexpr int VYN_SPIN_SUBGROUP_CAP = 32;

extern int vyn_spin_subgroup_count;
extern char vyn_spin_subgroup_labels[VYN_SPIN_SUBGROUP_CAP][64];
extern int vyn_spin_subgroup_spin_count[VYN_SPIN_SUBGROUP_CAP];
extern int vyn_spin_subgroup_spins[VYN_SPIN_SUBGROUP_CAP][9];
extern int vyn_spin_subgroup_ppm_count[VYN_SPIN_SUBGROUP_CAP];
extern double vyn_spin_subgroup_ppm[VYN_SPIN_SUBGROUP_CAP];
