// Density-matrix files (dm.bin family) given to the expectation-profile and voxel-signal
// commands of a one-spin model on two voxels: an accepted file gives a profile and a
// receiver signal of finite numbers only.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "binaryfilehandling.h"
#include "fuzz_support.h"
#include "vyn.h"
#include "vyn_fuzz_support.h"
#include "vynexpect.h"

namespace {

void prepare_model() {
    fuzz::vyn_put("spin-systems/one.vynspin",
                  "format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\nrelative_intensities: 1\n"
                  "resonance_offsets_hz: 50\ncoupling_mode: 1\n");
    fuzz::vyn_put("sequences/q/p.bin", std::string(5 * 8, '\0'));
    fuzz::vyn_put("sequences/q/adc.bin", std::string(5 * 8 * 8, '\0'));
    fuzz::vyn_put("sequences/q/sp.vynseq",
                  "format_version: 1\nsequence_type: 1\nnumber_of_sectors: 2\n"
                  "sector_type: 1 1\nsector_timepoints: 1 1\nsector_evolpoints: 1 1\nsector_duration_s: 1 1e-5\n"
                  "sector_pulsefile: 1 p.bin\nsector_statoff_hz: 1 0\n"
                  "sector_type: 2 1\nsector_timepoints: 2 8\nsector_evolpoints: 2 1\nsector_duration_s: 2 0.008\n"
                  "sector_pulsefile: 2 adc.bin\nsector_statoff_hz: 2 0\nsector_remark: 2 acquisition\n");
    const std::string model = fuzz::vyn_put(
        "models/sp.vynmodel",
        "format_version: 1\nspin_system_file: ../spin-systems/one.vynspin\nsequence_file: ../sequences/q/sp.vynseq\n"
        "ndx: 2\nndy: 1\nndz: 1\nx0_cm: 0\ny0_cm: 0\nz0_cm: 0\ndx_cm: 1\ndy_cm: 0\ndz_cm: 0\nresult_file: r.bin\n");
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    char err[512];
    if (VYNModel_LoadText(model.c_str(), &spin, &seq, &cfg, err, sizeof err) != VYN_MODEL_OK ||
        VYNModel_ActivateInLegacyRuntime(&spin, &seq, &cfg, err, sizeof err) != VYN_MODEL_OK) {
        std::fprintf(stderr, "vyn_dmbin: model set-up failed: %s\n", err);
        std::abort();
    }
}

std::string slurp(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fuzz::fail("%s reported written but missing", path.c_str());
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
    std::fclose(f);
    return out;
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
    const std::string in = fuzz::write_input(data, size, "d.bin");
    const std::string csv = fuzz::scratch_path("profile.csv"), sig = fuzz::scratch_path("signal.bin");
    std::remove(csv.c_str());
    std::remove(sig.c_str());
    InRuntimeDir in_runtime;
    if (VYNWriteExpectationProfile(in.c_str(), "Ix + Iy", csv.c_str())) {
        const std::string text = slurp(csv);
        size_t pos = text.find('\n');
        long row = 0;
        while (pos != std::string::npos && pos + 1 < text.size()) {
            int k;
            double v[5];
            if (std::sscanf(text.c_str() + pos + 1, "%d,%lf,%lf,%lf,%lf,%lf", &k, &v[0], &v[1], &v[2], &v[3], &v[4]) !=
                6)
                fuzz::fail("profile row %ld unreadable", row);
            for (int i = 0; i < 5; ++i) fuzz::require_finite(v[i], "profile value", row);
            pos = text.find('\n', pos + 1);
            ++row;
        }
    }
    if (VYNWriteVoxelSignal(in.c_str(), 2, sig.c_str())) {
        const std::string bytes = slurp(sig);
        if (bytes.size() != 12 + 8 * 16) fuzz::fail("signal file of %zu bytes", bytes.size());
        for (size_t k = 0; k < 16; ++k) {
            double v;
            std::memcpy(&v, bytes.data() + 12 + 8 * k, 8);
            fuzz::require_finite(v, "signal sample", static_cast<long>(k));
        }
    }
    return 0;
}
