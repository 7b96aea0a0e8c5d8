// Model files (".vynmodel") in <root>/models, beside a valid spin-system and sequence
// file: an accepted model has a finite grid and finite records throughout.
#include "fuzz_support.h"
#include "vyn_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    static const bool once = [] {
        fuzz::vyn_put("spin-systems/s.vynspin",
                      "format_version: 1\nnspins: 2\nspin_quantum_numbers: 1 1\nrelative_intensities: 1 1\n"
                      "resonance_offsets_hz: 100 -40\ncoupling_mode: 1\njcoupling_hz: 1 2 12\n");
        fuzz::vyn_put("sequences/q/w.bin", std::string(64, '\0'));
        fuzz::vyn_put("sequences/q/q.vynseq",
                      "format_version: 1\nsequence_type: 1\nnumber_of_sectors: 1\nsector_type: 1 1\n"
                      "sector_timepoints: 1 1\nsector_evolpoints: 1 1\nsector_duration_s: 1 1e-05\n"
                      "sector_pulsefile: 1 w.bin\nsector_statoff_hz: 1 0\n");
        return true;
    }();
    (void)once;
    const std::string path = fuzz::vyn_put("models/m.vynmodel", std::string(reinterpret_cast<const char*>(data), size));
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    char err[1024];
    if (VYNModel_LoadText(path.c_str(), &spin, &seq, &cfg, err, sizeof err) == VYN_MODEL_OK) {
        fuzz::vyn_check_spin(spin);
        fuzz::vyn_check_sequence(seq);
        fuzz::vyn_check_grid(cfg);
    }
    return 0;
}
