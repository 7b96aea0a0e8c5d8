// The engine state instances (spin system, grid, sequence, propagation,
// waveforms, spin subgroups), their resets and the small helpers shared by
// the propagators, the observable code and the model layer.
#include "vyn_state.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "spinoperatorlib.h"
#include "vyn_sequence_state.h"
#include "vyn_waveform_state.h"
#include "vynmodel_subgroups.h"
#include "vynpaths.h"

VYNSpinState vyn_spin;
VYNGridState vyn_grid;
VYNSequenceState vyn_sequence;
VYNPropagationState vyn_prop;
VYNWaveformState vyn_waveform;
VYNReceiverState vyn_receivers;

int vyn_spin_subgroup_count = 0;
char vyn_spin_subgroup_labels[VYN_SPIN_SUBGROUP_CAP][64];
int vyn_spin_subgroup_spin_count[VYN_SPIN_SUBGROUP_CAP];
int vyn_spin_subgroup_spins[VYN_SPIN_SUBGROUP_CAP][9];
int vyn_spin_subgroup_ppm_count[VYN_SPIN_SUBGROUP_CAP];
double vyn_spin_subgroup_ppm[VYN_SPIN_SUBGROUP_CAP];

namespace {
int vyn_smoke_check_mode = 0;
}  // namespace

// Process-wide smoke-check flag, shared by the build route, the propagators
// and the observable code.
void VYN_SetSmokeCheckMode(int on) { vyn_smoke_check_mode = on ? 1 : 0; }
int VYN_GetSmokeCheckMode(void) { return vyn_smoke_check_mode; }

void VYN_BuildNormalisedReceivers() {
    const VYNSpinState& S = vyn_spin;
    if (S.n < 1 || S.n > MATRIXMATH_DIM) return;
    const int ns = S.Nspins > VYN_MAX_SPINS ? VYN_MAX_SPINS : S.Nspins;
    MakeTotalIx(S.n, ns, S.ket, S.Ilist, 1, vyn_receivers.Ix);
    MakeTotalIy(S.n, ns, S.ket, S.Ilist, 1, vyn_receivers.Iy);
}

void VYNPropagationState_Reset() {
    vyn_prop.ap = 0;
    vyn_prop.pt = 0.0;
    vyn_prop.h = 0.0;
    vyn_prop.statoff_s = 0.0;
    vyn_prop.spatial_progress_sector = 0;
    vyn_prop.spatial_progress_sector_count = 0;
}

void VYNSequenceState_Reset() {
    std::memset(&vyn_sequence, 0, sizeof vyn_sequence);
    vyn_sequence.nevo[0] = 1;
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "result.bin");
}

namespace {
// Start values at program load, before any reset is called.
struct vyn_prop_state_initialiser {
    vyn_prop_state_initialiser() {
        VYNPropagationState_Reset();
        VYNSequenceState_Reset();
    }
} vyn_prop_state_init_instance;

char vyn_fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Position just behind the first case-insensitive occurrence of key, or null.
const char* vyn_find_ci(const char* text, const char* key) {
    if (!text || !key) return nullptr;
    size_t kl = std::strlen(key);
    if (kl == 0) return text;
    for (const char* p = text; *p; ++p) {
        size_t i = 0;
        while (i < kl && p[i] && vyn_fold_ascii(p[i]) == vyn_fold_ascii(key[i])) ++i;
        if (i == kl) return p + kl;
    }
    return nullptr;
}
}  // namespace

bool vyn_text_contains_ci(const char* text, const char* key) { return vyn_find_ci(text, key) != nullptr; }

bool vyn_remark_is_acquisition(const char* remark) {
    return vyn_text_contains_ci(remark, "adc") || vyn_text_contains_ci(remark, "acquisition_frequency") ||
           vyn_text_contains_ci(remark, "acquisition");
}

bool vyn_sector_is_acquisition(int s) {
    if (s < 1 || s > VYN_MAX_SECTORS) return false;
    return vyn_remark_is_acquisition(vyn_sequence.remarks[s]);
}

bool vyn_parse_double_after_key(const char* text, const char* key, double* out) {
    const char* p = vyn_find_ci(text, key);
    if (!p || !out) return false;
    while (*p == ' ' || *p == '\t' || *p == '=') ++p;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool vyn_parse_int_after_key(const char* text, const char* key, int* out) {
    double v = 0.0;
    if (!out || !vyn_parse_double_after_key(text, key, &v)) return false;
    double r = std::round(v);  // half away from zero
    if (r > 2147483647.0) r = 2147483647.0;
    if (r < -2147483648.0) r = -2147483648.0;
    *out = static_cast<int>(r);
    return true;
}

bool vyn_is_power_of_two_int(int v) { return v >= 1 && (v & (v - 1)) == 0; }

bool vyn_is_same_file(const char* path_a, const char* path_b) { return vyn_same_file(path_a, path_b) != 0; }
