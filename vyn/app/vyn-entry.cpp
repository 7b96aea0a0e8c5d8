// Program entry of vyn: start-up, the three commands and the main menu.
#include "vyn-entry.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "consuleutil.h"
#include "vyn.h"
#include "vyn_run.h"
#include "vynbasisset.h"
#include "vynexpect.h"
#include "vynmenus.h"
#include "vynmodel.h"
#include "vynoptdialog.h"
#include "vynpaths.h"
#include "vynrundirs.h"
#include "vynrunmenu.h"

namespace {

constexpr size_t kErrBufSize = 512;
const char* const kPausePrompt = "\nPress Enter to return to the menu...";

void pause_prompt() { consule_pause(kPausePrompt); }

// Loads and activates the model of a command-line export; false (message on
// standard error) on failure. state names the command's state, label starts
// its messages.
bool activate_model_for(const char* model_path, const char* state, const char* label) {
    ModelRecords* r = allocate_records();
    if (!r) {
        fprintf(stderr, "[VYN] Could not allocate %s state\n", state);
        return false;
    }
    char err[kErrBufSize] = "";
    VYNModelStatus st = VYNModel_LoadText(model_path, &r->spin, &r->seq, &r->cfg, err, sizeof(err));
    if (st != VYN_MODEL_OK) {
        fprintf(stderr, "[VYN] %s model load failed: %s (%s)\n", label, VYNModelStatusString(st), err);
        free(r);
        return false;
    }
    st = VYNModel_ActivateInLegacyRuntime(&r->spin, &r->seq, &r->cfg, err, sizeof(err));
    free(r);
    if (st != VYN_MODEL_OK) {
        fprintf(stderr, "[VYN] %s model activation failed: %s (%s)\n", label, VYNModelStatusString(st), err);
        return false;
    }
    return true;
}

// Reads one line of at most cap-1 characters; the rest of a longer line is dropped.
// Returns 0 at end of input.
int read_line(char* buf, size_t cap) { return read_legacy_line(buf, (int)cap) ? 1 : 0; }

void TotalStartUp() { init(); }

// A command's path arguments name files as seen from the caller's directory.
// vyn changes its working directory before it opens them, so a relative
// argument is anchored to the directory the process was started in; an
// absolute or empty argument, or one that would not fit, is kept as given.
const char* anchor_argument_path(const char* arg, const char* start_dir, char* out, size_t cap) {
    if (!arg || !arg[0] || !start_dir || !start_dir[0] || vyn_path_is_absolute(arg)) return arg;
    if (!VYN_BuildPath(out, cap, start_dir, arg)) return arg;
    return out;
}

// Refuses an output path that names one of the command's inputs (message on
// standard error): writing it would destroy what the command reads. The
// inputs are the given paths and the spin-system and sequence files that
// model_path names.
bool output_is_an_input(const char* label, const char* output, const char* model_path, const char* const* inputs,
                        int count) {
    static char spin_file[VYN_PATH_CAP], seq_file[VYN_PATH_CAP];
    vyn_model_referenced_files(model_path, spin_file, seq_file, sizeof(spin_file));
    const char* referenced[2] = {spin_file, seq_file};
    const char* hit = vyn_output_names_an_input(output, inputs, count);
    if (!hit) hit = vyn_output_names_an_input(output, referenced, 2);
    if (!hit) return false;
    fprintf(stderr, "[VYN] %s: output file %s is one of the command's inputs (%s).\n", label, output, hit);
    return true;
}

const char* const kVynVersion = "1.0.0";

void print_usage(FILE* to) {
    fprintf(
        to,
        "Usage:\n"
        "  vyn                                    interactive menus (prepare, run / analyze, import, export,\n"
        "                                         RF pulse optimisation)\n"
        "  vyn --run-model MODEL.vynmodel         run a model; writes its result_file\n"
        "  vyn --expectation-profile MODEL.vynmodel DENSITY.bin EXPRESSION OUT.csv\n"
        "                                         expectation value of an operator (e.g. \"Iy\" or \"IxSz + SzIx\")\n"
        "                                         for every voxel of a stored density-matrix result\n"
        "  vyn --voxel-signal MODEL.vynmodel DENSITY.bin VOXEL OUT.bin\n"
        "                                         receiver signal of one voxel (1-based) of that result\n"
        "  vyn --basis-set OUT_DIR MODEL.vynmodel ...\n"
        "                                         basis set: per model OUT_DIR/<model_name>.nii.gz (NIfTI-MRS),\n"
        "                                         .RAW (LCModel) and .bin (qorvane pattern), and OUT_DIR/basis.tsv;\n"
        "                                         a spatially resolved model gives the signal of its voxel sum\n"
        "  vyn --basis-set --voxel-range FIRST:COUNT OUT_DIR MODEL.vynmodel ...\n"
        "                                         partial voxel sum of spatially resolved models (voxels 1-based):\n"
        "                                         OUT_DIR/<model_name>.part-FIRST-COUNT.vynsum\n"
        "  vyn --basis-merge OUT_DIR PART.vynsum ...\n"
        "                                         adds the parts of each model (every voxel once) and writes its\n"
        "                                         basis files as --basis-set does\n"
        "  vyn --reference-checks                 developer reference checks; exit 0 when all pass\n"
        "                                         (fixtures go to runtime/vyn-refcheck-work)\n"
        "  vyn --help | -h                        this text\n"
        "  vyn --version                          the program version\n"
        "\n"
        "An unknown option prints this text on standard error and exits with 1; any other argument list\n"
        "starts the interactive menus.\n"
        "vyn works in the directory runtime beside the executable; relative result files of a model go to\n"
        "runtime/results, each --run-model and --voxel-signal uses its own scratch directory under\n"
        "runtime/runs. Relative paths on the command line are taken from the directory vyn was started in.\n"
        "Commands exit with 0 on success and 1 on any error, reported on standard error.\n");
}

// True when an argument of a list that is no command begins with '-' and is
// none of vyn's options (values of a recognised command are never options).
bool has_unknown_option(int argc, char** argv) {
    static const char* const known[] = {
        "--run-model", "--expectation-profile", "--voxel-signal", "--reference-checks", "--help", "-h", "--version"};
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') continue;
        bool found = false;
        for (const char* k : known) found = found || strcmp(argv[i], k) == 0;
        if (!found) return true;
    }
    return false;
}

}  // namespace

int prepare_vyn_model_file(const char* model_path) {
    if (!model_path || !model_path[0]) {
        fprintf(stderr, "[VYN] --run-model requires a .vynmodel path\n");
        return 1;
    }
    enter_private_model_run_work_dir(model_path);
    ModelRecords* r = allocate_records();
    if (!r) {
        fprintf(stderr, "[VYN] Could not allocate model run state\n");
        return 1;
    }
    char err[kErrBufSize] = "";
    VYNModelStatus st = VYNModel_LoadText(model_path, &r->spin, &r->seq, &r->cfg, err, sizeof(err));
    if (st != VYN_MODEL_OK) {
        fprintf(stderr, "[VYN] Load failed: %s (%s)\n", VYNModelStatusString(st), err);
        fprintf(stderr, "[VYN] Path used: %s\n", model_path);
        free(r);
        return 1;
    }
    st = VYNModel_ActivateInLegacyRuntime(&r->spin, &r->seq, &r->cfg, err, sizeof(err));
    if (st != VYN_MODEL_OK) {
        fprintf(stderr, "[VYN] Activate failed: %s (%s)\n", VYNModelStatusString(st), err);
        fprintf(stderr, "[VYN] Path used: %s\n", model_path);
        free(r);
        return 1;
    }
    // The result must not replace the model or a waveform the run reads.
    const char* inputs[1 + VYN_MODEL_SECTOR_CAP] = {model_path};
    for (int s = 1; s <= r->seq.sector_count && s <= VYN_MODEL_SECTOR_CAP; ++s)
        inputs[s] = r->seq.sectors[s].pulse_filename;
    if (output_is_an_input("Run", r->cfg.result_filename, model_path, inputs, 1 + VYN_MODEL_SECTOR_CAP)) {
        free(r);
        return 1;
    }
    print_model_summary(model_path, &r->spin, &r->seq, &r->cfg);
    free(r);
    set_loaded_model_path(model_path);
    return 0;
}

int run_vyn_model_file(const char* model_path) {
    if (prepare_vyn_model_file(model_path) != 0) return 1;
    if (!VYNRunCurrentPreparedModel()) {
        fprintf(stderr, "[VYN] Run failed: no result was written to %s\n", vyn_sequence.resultflnm);
        return 1;
    }
    return 0;
}

int write_expectation_profile_file(const char* model_path, const char* density_path, const char* operator_expression,
                                   const char* output_path) {
    const char* inputs[2] = {model_path, density_path};
    if (output_is_an_input("Expectation profile", output_path, model_path, inputs, 2)) return 1;
    if (!activate_model_for(model_path, "expectation-profile", "Expectation profile")) return 1;
    return VYNWriteExpectationProfile(density_path, operator_expression, output_path) ? 0 : 1;
}

int write_voxel_signal_file(const char* model_path, const char* density_path, const char* point_text,
                            const char* output_path) {
    const char* text = point_text ? point_text : "";
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (end == text || *end != '\0' || v < 1) {
        fprintf(stderr, "[VYN] Voxel signal point index must be a positive integer.\n");
        return 1;
    }
    const int point_index = (int)v;
    const char* inputs[2] = {model_path, density_path};
    if (output_is_an_input("Voxel signal", output_path, model_path, inputs, 2)) return 1;
    enter_private_model_run_work_dir(model_path);
    if (!activate_model_for(model_path, "voxel-signal", "Voxel signal")) return 1;
    return VYNWriteVoxelSignal(density_path, point_index, output_path) ? 0 : 1;
}

int read_menu_choice() {
    for (;;) {
        ScreenMode(3);
        printf(
            "\n========================================\n VYN Main Menu\n========================================\n");
        if (g_loaded_model_path_valid)
            printf(" Loaded model : %s\n", g_loaded_model_path);
        else
            printf(" Loaded model : <none>\n");
        printf(
            "----------------------------------------\n"
            "  1) Prepare / edit current model\n"
            "  2) Run / analyze current model\n"
            "  3) Import .vynmodel\n"
            "  4) Export current model (.vynmodel)\n"
            "  5) Developer smoke/reference checks\n"
            "  6) Exit\n"
            "  7) Optimize a spinstate selective RF-pulse\n"
            "----------------------------------------\n"
            "Select [1-7]: ");
        fflush(stdout);
        char line[64];
        if (!read_line(line, sizeof(line))) return 6;
        int v = 0;
        if (sscanf(line, "%d", &v) == 1 && v >= 1 && v <= 7) return v;
        printf("Invalid choice. Please enter 1, 2, 3, 4, 5, 6 or 7.\n");
    }
}

int vyn_main(int argc, char** argv) {
    // Help and version read nothing and start nothing.
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        print_usage(stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("vyn %s\n", kVynVersion);
        return 0;
    }
    const bool run_model = argc == 3 && strcmp(argv[1], "--run-model") == 0;
    const bool profile = argc == 6 && strcmp(argv[1], "--expectation-profile") == 0;
    const bool voxel = argc == 6 && strcmp(argv[1], "--voxel-signal") == 0;
    const bool refcheck = argc == 2 && strcmp(argv[1], "--reference-checks") == 0;
    const bool basis = argc >= 2 && strcmp(argv[1], "--basis-set") == 0;
    const bool merge = argc >= 2 && strcmp(argv[1], "--basis-merge") == 0;
    // A mistyped option must not fall through to the menus: a script would
    // see exit 0 and nothing done.
    if (!run_model && !profile && !voxel && !basis && !merge && has_unknown_option(argc, argv)) {
        print_usage(stderr);
        return 1;
    }
    // Path arguments (model, density matrices, output) are anchored before the
    // working directory changes.
    static char start_dir[VYN_PATH_CAP];
    static char model_arg[VYN_PATH_CAP], density_arg[VYN_PATH_CAP], output_arg[VYN_PATH_CAP];
    const char* model_path = nullptr;
    const char* density_path = nullptr;
    const char* output_path = nullptr;
    if (run_model || profile || voxel || basis || merge) {
        if (!getcwd(start_dir, sizeof(start_dir))) start_dir[0] = '\0';
    }
    if (run_model || profile || voxel) {
        model_path = anchor_argument_path(argv[2], start_dir, model_arg, sizeof(model_arg));
        if (!run_model) {
            density_path = anchor_argument_path(argv[3], start_dir, density_arg, sizeof(density_arg));
            output_path = anchor_argument_path(argv[5], start_dir, output_arg, sizeof(output_arg));
        }
    }
    enter_runtime_work_dir();
    vyn_rundirs_clean_at_start();
    TotalStartUp();
    clear_loaded_model_path();
    if (refcheck) {
        if (!freopen("/dev/null", "r", stdin)) clearerr(stdin);
        const int passed = VYNModel_RunReferenceChecks();
        fflush(stdout);
        return passed ? 0 : 1;
    }
    if (basis || merge) {
        if (!freopen("/dev/null", "r", stdin)) clearerr(stdin);
        const VYNBasisRunners runners{run_vyn_model_file, prepare_vyn_model_file};
        if (merge) return vyn_basis_merge_main(argc - 2, argv + 2, start_dir, runners);
        return vyn_basis_set_main(argc - 2, argv + 2, start_dir, runners);
    }
    if (run_model || profile || voxel) {
        // A command is driven by another program: nothing inside it may wait
        // for console input, so standard input is detached.
        if (!freopen("/dev/null", "r", stdin)) clearerr(stdin);
        if (run_model) return run_vyn_model_file(model_path);
        if (profile) return write_expectation_profile_file(model_path, density_path, argv[4], output_path);
        return write_voxel_signal_file(model_path, density_path, argv[4], output_path);
    }
    for (;;) {
        int choice = read_menu_choice();
        switch (choice) {
            case 1:
                printf("\n[VYN] Opening model preparation / editing...\n");
                VYNPrepareMenu();
                break;
            case 2:
                printf("\n[VYN] Starting non-interactive mode...\n");
                LiouvilleNonInteractive();
                break;
            case 3:
                import_vyn_model();
                break;
            case 4:
                VYNExportCurrentModelInteractive();
                break;
            case 5:
                printf("\n[VYN] Running developer smoke/reference checks...\n\n");
                VYNModel_RunReferenceChecks();
                pause_prompt();
                break;
            case 7:
                VYNOptimizeSpinStateSelectivePulseInteractive();
                pause_prompt();
                break;
            default:
                printf("\n[VYN] Exiting.\n");
                return 0;
        }
    }
}
