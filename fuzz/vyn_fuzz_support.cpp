#include "vyn_fuzz_support.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "fuzz_support.h"
#include "vynpaths.h"

namespace fuzz {

const std::string& vyn_root() {
    static std::string root;
    if (root.empty()) {
        const std::string probe = scratch_path("probe");
        root = probe.substr(0, probe.rfind('/'));
        for (const char* d : {"/build", "/build/runtime", "/build/runtime/results", "/rf-output", "/models",
                              "/spin-systems", "/sequences", "/sequences/q"}) {
            mkdir((root + d).c_str(), 0700);
        }
        vyn_paths_override_executable_path((root + "/build/vyn").c_str());
    }
    return root;
}

std::string vyn_put(const char* rel, const std::string& text) {
    const std::string path = vyn_root() + "/" + rel;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

void vyn_check_spin(const VYNSpinSystemDef& spin) {
    if (spin.nspins < 1 || spin.nspins > VYN_MODEL_MAX_SPINS) fail("nspins = %d", spin.nspins);
    if (spin.coupling_mode != 1 && spin.coupling_mode != 2) fail("coupling_mode = %d", spin.coupling_mode);
    for (int i = 1; i <= spin.nspins; ++i) {
        if (spin.spin_quantum_numbers[i] < 1) fail("2I of spin %d = %d", i, spin.spin_quantum_numbers[i]);
        require_finite(spin.relative_intensities[i], "relative_intensities", i);
        require_finite(spin.resonance_offsets_hz[i], "resonance_offsets_hz", i);
        for (int k = 1; k <= VYN_MODEL_MAX_SPINS; ++k) require_finite(spin.j_hz[i][k], "j_hz", 10 * i + k);
    }
    for (int g = 0; g < spin.subgroup_count; ++g) require_finite(spin.subgroup_ppm[g], "subgroup ppm", g);
}

void vyn_check_sequence(const VYNPulseSequenceDef& seq) {
    if (seq.sector_count < 0 || seq.sector_count > VYN_MODEL_SECTOR_CAP) fail("sector_count = %d", seq.sector_count);
    for (int s = 1; s <= seq.sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq.sectors[s];
        require_finite(sec.total_duration_s, "total_duration_s", s);
        require_finite(sec.offset_frequency_hz, "offset_frequency_hz", s);
        if (sec.total_duration_s < 0) fail("sector %d duration %g", s, sec.total_duration_s);
        if (sec.number_of_timepoints < 1 || sec.number_of_timepoints > VYN_MODEL_MAX_TIMEPOINTS)
            fail("sector %d timepoints %d", s, sec.number_of_timepoints);
        if (sec.number_of_evolpoints < 1 || sec.number_of_evolpoints > VYN_MODEL_MAX_TIMEPOINTS)
            fail("sector %d evolpoints %d", s, sec.number_of_evolpoints);
        if (sec.pulse_filename[0] == '\0') fail("sector %d without waveform", s);
    }
}

void vyn_check_grid(const VYNRunConfig& cfg) {
    const double g[6] = {cfg.x0_cm, cfg.y0_cm, cfg.z0_cm, cfg.dx_cm, cfg.dy_cm, cfg.dz_cm};
    for (int i = 0; i < 6; ++i) require_finite(g[i], "grid", i);
    require_finite(cfg.b0_tesla, "b0_tesla");
    require_finite(cfg.receiver_carrier_ppm, "receiver_carrier_ppm");
    const int n[3] = {cfg.ndx, cfg.ndy, cfg.ndz};
    for (int i = 0; i < 3; ++i)
        if (n[i] < 1 || n[i] > VYN_MODEL_MAX_GRID) fail("grid size %d = %d", i, n[i]);
}

}  // namespace fuzz
