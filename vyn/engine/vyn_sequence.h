// Entry points of the 1D/2D and spatially resolved propagators. The
// sequence and propagation records are in vyn_sequence_state.h.
#pragma once

#include <cstdio>

#include "binaryfilehandling.h"  // copy_file_binary, vyn_prop_body_complete
#include "consuleutil.h"         // vyn_wait_enter_if_tty
#include "vyn.h"
#include "vyn_sequence_state.h"

// --- 1D/2D propagation -----------------------------------------------------
// Both propagations return true when every sector was propagated and the
// result (receiver signal or density matrices) was written under the run's
// result name, or when no result name is set.
bool SimulateLoaded2DPulseSequence();
void Rotate2D_internal(int sectortype, double h_local, double statoff_local);
int vyn_try_slow_band_split_config(VYNSlowBandSplitConfig* out);
int vyn_current_sequence_is_pulse_acquire_fid();

// --- spatially resolved propagation ----------------------------------------
bool SimulateLoadedPulseSequence();
void Rotate3D();
// The voxel sum of the prepared spatial model: the sum over voxels
// first..first+count-1 (1-based, z fastest) of their density matrices at the
// start of acquisition, into sum (n x n); no dm.bin is read or written.
// False (message printed) when the model or the range cannot be run.
bool SimulateLoadedPulseSequenceVoxelSum(int first, int count, CMatrix& sum);
