// Shared set-up of the vyn harnesses: a scratch installation tree (the executable is
// pretended to live in <scratch>/build, so results and waveforms stay inside it) and a
// one-spin model on two voxels that the density-matrix harness activates.
#pragma once
#include <string>

#include "vynmodel.h"

namespace fuzz {

// The scratch directory, made the installation root on first use.
const std::string& vyn_root();
// Writes text to <root>/<rel> (directories must exist) and returns the path.
std::string vyn_put(const char* rel, const std::string& text);
// Aborts when an accepted record holds a non-finite or out-of-range value.
void vyn_check_spin(const VYNSpinSystemDef& spin);
void vyn_check_sequence(const VYNPulseSequenceDef& seq);
void vyn_check_grid(const VYNRunConfig& cfg);

}  // namespace fuzz
