// Model-file throughput: loading a split model (three text files and a
// waveform lookup) and saving it back in the split layout.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "vynmodel.h"
#include "vynpaths.h"

namespace {

struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/vynbench-XXXXXX";
        root = mkdtemp(tmpl);
        for (const char* d : {"/build", "/models", "/rf-output", "/spin-systems", "/sequences", "/sequences/m"})
            mkdir((root + d).c_str(), 0777);
        vyn_paths_override_executable_path((root + "/build/vyn").c_str());
        write("/rf-output/w.bin", std::string(16 * 256, '\0'));
        std::string spin =
            "format_version: 1\nnspins: 8\nspin_quantum_numbers: 1 1 1 1 1 1 1 1\n"
            "relative_intensities: 1 1 1 1 1 1 1 1\nresonance_offsets_hz: 1 2 3 4 5 6 7 8\n"
            "coupling_mode: 2\n";
        for (int i = 1; i <= 8; ++i)
            for (int k = i + 1; k <= 8; ++k)
                spin += "jcoupling_hz: " + std::to_string(i) + " " + std::to_string(k) + " 7.5\n";
        write("/spin-systems/m.vynspin", spin);
        std::string seq = "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 20\n";
        for (int s = 1; s <= 20; ++s) {
            std::string i = std::to_string(s);
            seq += "sector_type: " + i + " 1\nsector_timepoints: " + i + " 256\nsector_evolpoints: " + i +
                   " 1\nsector_duration_s: " + i + " 0.001\nsector_pulsefile: " + i +
                   " w.bin\nsector_statoff_hz: " + i + " 0\nsector_remark: " + i + " sector\n";
        }
        write("/sequences/m/m.vynseq", seq);
        write(
            "/models/m.vynmodel",
            "format_version: 1\nspin_system_file: ../spin-systems/m.vynspin\nsequence_file: ../sequences/m/m.vynseq\n"
            "ndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\ny0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\nresult_file: r.bin\n");
    }
    ~Tree() {
        vyn_paths_override_executable_path(nullptr);
        std::string cmd = "rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "cleanup failed\n");
    }
    void write(const std::string& rel, const std::string& text) {
        FILE* f = fopen((root + rel).c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
};

VYNSpinSystemDef g_spin;
VYNPulseSequenceDef g_seq;
VYNRunConfig g_cfg;

void BM_LoadSplitModel(benchmark::State& state) {
    Tree tree;
    std::string model = tree.root + "/models/m.vynmodel";
    char err[512];
    for (auto _ : state) {
        VYNModelStatus st = VYNModel_LoadText(model.c_str(), &g_spin, &g_seq, &g_cfg, err, sizeof err);
        if (st != VYN_MODEL_OK) state.SkipWithError(err);
        benchmark::DoNotOptimize(g_seq.sector_count);
    }
}
BENCHMARK(BM_LoadSplitModel);

void BM_SaveSplitModel(benchmark::State& state) {
    Tree tree;
    std::string model = tree.root + "/models/m.vynmodel";
    std::string out = tree.root + "/models/copy.vynmodel";
    char err[512];
    if (VYNModel_LoadText(model.c_str(), &g_spin, &g_seq, &g_cfg, err, sizeof err) != VYN_MODEL_OK) {
        state.SkipWithError(err);
        return;
    }
    g_cfg.model_name[0] = '\0';
    for (auto _ : state) {
        VYNModelStatus st = VYNModel_SaveText(out.c_str(), &g_spin, &g_seq, &g_cfg, err, sizeof err);
        if (st != VYN_MODEL_OK) state.SkipWithError(err);
    }
}
BENCHMARK(BM_SaveSplitModel);

}  // namespace
