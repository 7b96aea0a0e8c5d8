// Sector waveform files: the input is the pulse of a one-spin pulse-acquire model
// (4 samples of xb and yb) run as --run-model runs it; a run that reports success wrote
// a receiver signal of finite samples.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "vyn.h"
#include "vyn_fuzz_support.h"
#include "vyn_run.h"

namespace {
std::string g_result;

void prepare_model() {
    fuzz::vyn_put("spin-systems/pa.vynspin",
                  "format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\nrelative_intensities: 1\n"
                  "resonance_offsets_hz: 50\ncoupling_mode: 1\n");
    fuzz::vyn_put("sequences/q/pulse.bin", std::string(2 * 4 * 8, '\0'));
    fuzz::vyn_put("sequences/q/adc.bin", std::string(2 * 16 * 8, '\0'));
    fuzz::vyn_put("sequences/q/pa.vynseq",
                  "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 2\n"
                  "sector_type: 1 1\nsector_timepoints: 1 4\nsector_evolpoints: 1 1\nsector_duration_s: 1 1e-5\n"
                  "sector_pulsefile: 1 pulse.bin\nsector_statoff_hz: 1 0\n"
                  "sector_type: 2 1\nsector_timepoints: 2 16\nsector_evolpoints: 2 1\nsector_duration_s: 2 0.016\n"
                  "sector_pulsefile: 2 adc.bin\nsector_statoff_hz: 2 0\nsector_remark: 2 ADC\n");
    const std::string model = fuzz::vyn_put(
        "models/pa.vynmodel",
        "format_version: 1\nspin_system_file: ../spin-systems/pa.vynspin\nsequence_file: ../sequences/q/pa.vynseq\n"
        "ndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\ny0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\nresult_file: pa.bin\n");
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    char err[512];
    if (VYNModel_LoadText(model.c_str(), &spin, &seq, &cfg, err, sizeof err) != VYN_MODEL_OK ||
        VYNModel_ActivateInLegacyRuntime(&spin, &seq, &cfg, err, sizeof err) != VYN_MODEL_OK) {
        std::fprintf(stderr, "vyn_waveform: model set-up failed: %s\n", err);
        std::abort();
    }
    g_result = cfg.result_filename;
}
// The commands work in the current directory (dm.bin, store): the scratch
// runtime directory while an input runs, the caller's directory otherwise (the
// fuzzer's corpus paths are relative to it).
struct InRuntimeDir {
    char saved[4096];
    InRuntimeDir() {
        if (!getcwd(saved, sizeof saved) || chdir((fuzz::vyn_root() + "/build/runtime").c_str()) != 0) std::abort();
    }
    ~InRuntimeDir() {
        if (chdir(saved) != 0) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    static const bool once = (init(), prepare_model(), true);
    (void)once;
    fuzz::vyn_put("sequences/q/pulse.bin", std::string(reinterpret_cast<const char*>(data), size));
    std::remove(g_result.c_str());
    InRuntimeDir in_runtime;
    if (!VYNRunCurrentPreparedModel()) return 0;
    FILE* f = std::fopen(g_result.c_str(), "rb");
    if (!f) fuzz::fail("run reported success without %s", g_result.c_str());
    unsigned char header[12];
    double samples[32];
    const bool whole = std::fread(header, 1, 12, f) == 12 && std::fread(samples, 8, 32, f) == 32;
    std::fclose(f);
    if (!whole) fuzz::fail("short receiver signal");
    for (int k = 0; k < 32; ++k) fuzz::require_finite(samples[k], "signal sample", k);
    return 0;
}
