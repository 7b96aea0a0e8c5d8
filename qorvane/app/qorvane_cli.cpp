// Command-line parsing, option echo and program entry of qorvane_pthreads.
#include "qorvane_cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lineshape_analytic.h"
#include "qorvane_lm.h"
#include "qorvane_nifti_input.h"
#include "qorvane_single.h"
#include "qorvane_volume.h"

static const char* const kUsageLines[] = {
    "Usage:",
    "",
    "Legacy single-spectrum mode:",
    "  qorvane_pthreads.exe <work_dir> <input_file> <parameter_file>",
    "",
    "Dense-volume pthreads mode:",
    "  qorvane_pthreads.exe --mode volume \\",
    "      --input-volume <input.qorvvol> \\",
    "      --parameter-file <start.par> \\",
    "      --output-dir <output-directory> \\",
    "      --threads <n> \\",
    "      [--max-voxels <n>] \\",
    "      [--work-dir <working-directory>] \\",
    "      [--keep-intermediate-files]",
    "",
    "Required volume-mode arguments:",
    "  --mode volume              Select dense QORVVOL1 volume fitting.",
    "  --input-volume <path>      QORVVOL1 dense input volume.",
    "  --parameter-file <path>    Qorvane starting-value / fit-control .par file.",
    "  --output-dir <path>        Output directory for all volume results.",
    "  --threads <n>              Number of pthread worker threads.",
    "",
    "Optional volume-mode arguments:",
    "  --max-voxels <n>           Maximum selected voxels to fit.",
    "  --work-dir <path>          Working directory for legacy relative path assumptions.",
    "  --keep-intermediate-files  Keep temporary/intermediate files.",
    "",
    "Exit codes:",
    "  0 success",
    "  1 bad command-line arguments",
    "  2 input-volume read error",
    "  3 parameter-file read error",
    "  4 fitting failed",
    "  5 output write error",
    "  6 internal error",
    // What follows the classic text above (kept as it was) documents the newer options.
    "",
    "Further options:",
    "  --voxel-range FIRST:COUNT  Volume mode: fit only selected voxels FIRST..FIRST+COUNT-1.",
    "  --minimizer lm|classic     Levenberg-Marquardt (lm, default) or the classic conjugate",
    "                             gradients and random search; may lead any call, also",
    "                             --minimizer classic <work_dir> <input_file> <parameter_file>.",
    "  --line-spectra analytic|fft  Lorentzian lines (and Voigt lines of zero Gaussian width)",
    "                             by their closed-form spectrum (analytic, default) or every",
    "                             line by its time signal and an FFT (fft, the reference);",
    "                             may lead any call like --minimizer.",
    "",
    "Merge mode (the shards of a job run with --voxel-range):",
    "  qorvane_pthreads.exe --mode merge --output-dir <output-directory> <shard-dir>...",
    "",
    "NIfTI-MRS input (complex time-domain data, .nii or .nii.gz, NIfTI-1 or NIfTI-2):",
    "  qorvane_pthreads.exe <work_dir> <file.nii.gz> <parameter_file>   one voxel (1 x 1 x 1 x N)",
    "  --input-volume <file.nii.gz>  Volume mode: an MRSI (X x Y x Z x N); the parameter",
    "                             maps go to <output-directory>/maps/.",
    "  --mask <mask.nii.gz>       Volume mode, NIfTI-MRS input: fit only the voxels where the",
    "                             mask (same grid) is non-zero; without it every voxel.",
    "  --per-voxel-files          Volume mode, NIfTI-MRS input: also write the result files",
    "                             of every voxel (QORVVOL1 jobs always write them).",
    "",
    "Long volume jobs:",
    "  --resume                   Continue the job killed in this --output-dir from its journal",
    "                             (same input, parameter file, mask and options); the finished",
    "                             voxels are kept, the rest fitted.",
};

void qorvane_print_usage(FILE* stream) {
    for (const char* line : kUsageLines) {
        fputs(line, stream);
        fputc('\n', stream);
    }
}

int qorvane_cli_require_value(int argc, char** argv, int index, const char* option) {
    if (index + 1 < argc && argv[index + 1] != nullptr && strncmp(argv[index + 1], "--", 2) != 0) return 0;
    fprintf(stderr, "Missing value after %s.\n", option);
    return 1;
}

int qorvane_cli_copy(char* destination, const char* text, const char* label) {
    if (destination == nullptr || text == nullptr) {
        fprintf(stderr, "Internal CLI parser error.\n");
        return 1;
    }
    size_t len = strlen(text);
    if (len >= 1024) {
        fprintf(stderr, "Command-line argument too long for %s. Maximum is %lu characters.\n", label,
                (unsigned long)1023);
        return 1;
    }
    memcpy(destination, text, len + 1);
    return 0;
}

static int qorvane_cli_parse_threads(const char* text, int* out) {
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        fprintf(stderr, "Invalid integer for %s: '%s'\n", "--threads", text);
        return 1;
    }
    if (v < 1 || v > 1024) {
        fprintf(stderr, "Invalid value for %s: %ld. Expected range is 1..1024.\n", "--threads", v);
        return 1;
    }
    *out = (int)v;
    return 0;
}

static int qorvane_cli_parse_max_voxels(const char* text, uint32_t* out) {
    errno = 0;
    char* end = nullptr;
    // strtoul accepts a leading minus and wraps it; such a value is out of range here.
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    unsigned long v = strtoul(text, &end, 10);
    if (*p == '-' || errno != 0 || end == text || *end != '\0' || v < 1 || v > QORVANE_MAX_VOXELS_LIMIT) {
        fprintf(stderr, "Invalid value for --max-voxels: '%s'. Expected range is 1..%u.\n", text,
                (unsigned)QORVANE_MAX_VOXELS_LIMIT);
        return 1;
    }
    *out = (uint32_t)v;
    return 0;
}

// FIRST:COUNT, both unsigned decimal; FIRST below the slot limit, COUNT at least 1.
static int qorvane_cli_parse_voxel_range(const char* text, QorvaneCliOptions* o) {
    unsigned long first = 0, count = 0;
    const char* colon = strchr(text, ':');
    bool ok = colon != nullptr && colon != text && colon[1] != '\0';
    for (const char* p = text; ok && *p != '\0'; ++p)
        if (p != colon && (*p < '0' || *p > '9')) ok = false;
    if (ok) {
        errno = 0;
        first = strtoul(text, nullptr, 10);
        count = strtoul(colon + 1, nullptr, 10);
        ok = errno == 0 && first < QORVANE_MAX_VOXELS_LIMIT && count >= 1 && count <= QORVANE_MAX_VOXELS_LIMIT;
    }
    if (!ok) {
        fprintf(
            stderr,
            "Invalid value for --voxel-range: '%s'. Expected FIRST:COUNT with 0 <= FIRST < %u and 1 <= COUNT <= %u.\n",
            text, (unsigned)QORVANE_MAX_VOXELS_LIMIT, (unsigned)QORVANE_MAX_VOXELS_LIMIT);
        return 1;
    }
    o->has_voxel_range = 1;
    o->range_first = (uint32_t)first;
    o->range_count = (uint32_t)count;
    return 0;
}

// "lm" (Levenberg-Marquardt, the default) or "classic" (conjugate gradients and random search
// alone, the reference scheme).
static int qorvane_cli_parse_minimizer(const char* text, QorvaneCliOptions* o) {
    if (strcmp(text, "lm") == 0) {
        o->minimizer = QORVANE_MINIMIZER_LM + 1;
    } else if (strcmp(text, "classic") == 0) {
        o->minimizer = QORVANE_MINIMIZER_REFERENCE + 1;
    } else {
        fprintf(stderr, "Invalid value for --minimizer: '%s'. Expected 'lm' or 'classic'.\n", text);
        return 1;
    }
    return 0;
}

// "analytic" (closed-form line spectra where they apply, the default) or "fft" (every line by
// its time signal and FFT, the reference).
static int qorvane_cli_parse_line_spectra(const char* text, QorvaneCliOptions* o) {
    if (strcmp(text, "analytic") == 0) {
        o->line_spectra = QORVANE_LINE_SPECTRA_ANALYTIC + 1;
    } else if (strcmp(text, "fft") == 0) {
        o->line_spectra = QORVANE_LINE_SPECTRA_FFT + 1;
    } else {
        fprintf(stderr, "Invalid value for --line-spectra: '%s'. Expected 'analytic' or 'fft'.\n", text);
        return 1;
    }
    return 0;
}

// The options each mode needs; 1 (message on standard error) when one is missing, else -1 (run).
static int qorvane_cli_check_required(const QorvaneCliOptions* o) {
    if (o->mode == QORVANE_MODE_NONE) {
        fprintf(stderr, "Missing required option: --mode volume\n");
        qorvane_print_usage(stderr);
        return 1;
    }
    if (o->mode == QORVANE_MODE_MERGE) {
        if (o->output_dir[0] == '\0') {
            fprintf(stderr, "Missing required option: --output-dir <path>\n");
            return 1;
        }
        if (o->shard_count == 0) {
            fprintf(stderr, "Merge mode: no shard directory given.\n");
            return 1;
        }
    }
    if (o->resume && o->mode != QORVANE_MODE_VOLUME) {
        fprintf(stderr, "--resume applies to volume mode (--mode volume).\n");
        return 1;
    }
    if (o->mode == QORVANE_MODE_VOLUME) {
        if (o->input[0] == '\0') {
            fprintf(stderr, "Missing required option: --input-volume <path>\n");
            return 1;
        }
        if (o->parameter_file[0] == '\0') {
            fprintf(stderr, "Missing required option: --parameter-file <path>\n");
            return 1;
        }
        if (o->output_dir[0] == '\0') {
            fprintf(stderr, "Missing required option: --output-dir <path>\n");
            return 1;
        }
        if (o->threads < 1) {
            fprintf(stderr, "Invalid --threads value: %d\n", o->threads);
            return 1;
        }
    }
    return -1;
}

int qorvane_cli_parse(int argc, char** argv, QorvaneCliOptions* o) {
    memset(o, 0, sizeof(*o));
    o->threads = 1;
    o->max_voxels = QORVANE_MAX_VOXELS_LIMIT;

    // "--minimizer M" and "--line-spectra S" may lead any call, the three-word single-spectrum
    // call included.
    const bool lead_minimizer = argc >= 2 && strcmp(argv[1], "--minimizer") == 0;
    if (lead_minimizer || (argc >= 2 && strcmp(argv[1], "--line-spectra") == 0)) {
        if (qorvane_cli_require_value(argc, argv, 1, argv[1]) != 0) return 1;
        QorvaneCliOptions choice;
        memset(&choice, 0, sizeof choice);
        if ((lead_minimizer ? qorvane_cli_parse_minimizer : qorvane_cli_parse_line_spectra)(argv[2], &choice) != 0)
            return 1;
        char* const kept = argv[2];  // the rest parses as a call of its own
        argv[2] = argv[0];
        const int rc = qorvane_cli_parse(argc - 2, argv + 2, o);
        argv[2] = kept;
        if (choice.minimizer != 0) o->minimizer = choice.minimizer;
        if (choice.line_spectra != 0) o->line_spectra = choice.line_spectra;
        return rc;
    }

    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "/?") == 0)) {
        qorvane_print_usage(stdout);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "-h") == 0) {
        unsigned n = (unsigned)atoi(argv[2]);
        return qorvane_print_help_topic(n);
    }
    if (argc == 4 && argv[1][0] != '-') {
        if (qorvane_cli_copy(o->work_dir, argv[1], "legacy <work_dir>") != 0) return 1;
        if (qorvane_cli_copy(o->input, argv[2], "legacy <input_file>") != 0) return 1;
        if (qorvane_cli_copy(o->parameter_file, argv[3], "legacy <parameter_file>") != 0) return 1;
        o->mode = QORVANE_MODE_LEGACY_SINGLE;
    } else if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            const char* a = argv[i];
            if (strcmp(a, "--mode") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (strcmp(argv[i + 1], "merge") == 0) {
                    o->mode = QORVANE_MODE_MERGE;
                } else if (strcmp(argv[i + 1], "volume") == 0) {
                    o->mode = QORVANE_MODE_VOLUME;
                } else {
                    fprintf(stderr, "Unsupported --mode value: '%s'. Expected 'volume' or 'merge'.\n", argv[i + 1]);
                    return 1;
                }
                ++i;
            } else if (strcmp(a, "--work-dir") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_copy(o->work_dir, argv[i + 1], a) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--input-volume") == 0 || strcmp(a, "--parameter-file") == 0 ||
                       strcmp(a, "--output-dir") == 0 || strcmp(a, "--mask") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                char* dst = strcmp(a, "--input-volume") == 0     ? o->input
                            : strcmp(a, "--parameter-file") == 0 ? o->parameter_file
                            : strcmp(a, "--mask") == 0           ? o->mask
                                                                 : o->output_dir;
                if (qorvane_cli_copy(dst, argv[i + 1], a) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--threads") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_parse_threads(argv[i + 1], &o->threads) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--max-voxels") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_parse_max_voxels(argv[i + 1], &o->max_voxels) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--voxel-range") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_parse_voxel_range(argv[i + 1], o) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--minimizer") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_parse_minimizer(argv[i + 1], o) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--line-spectra") == 0) {
                if (qorvane_cli_require_value(argc, argv, i, a) != 0) return 1;
                if (qorvane_cli_parse_line_spectra(argv[i + 1], o) != 0) return 1;
                ++i;
            } else if (strcmp(a, "--keep-intermediate-files") == 0 || strcmp(a, "--per-voxel-files") == 0) {
                *(a[2] == 'k' ? &o->keep_intermediate_files : &o->per_voxel_files) = 1;
            } else if (strcmp(a, "--resume") == 0) {
                o->resume = 1;
            } else if (o->mode == QORVANE_MODE_MERGE && a[0] != '-') {
                // Shard directories follow "--mode merge"; they are contiguous words of argv.
                if (o->shard_count == 0) o->shard_dirs = argv + i;
                if (o->shard_dirs + o->shard_count != argv + i) {
                    fprintf(stderr, "Merge mode: shard directories must follow each other (got %s).\n", a);
                    return 1;
                }
                ++o->shard_count;
            } else {
                fprintf(stderr, "Unknown command-line option: %s\n", a);
                qorvane_print_usage(stderr);
                return 1;
            }
        }
    }

    return qorvane_cli_check_required(o);
}

void qorvane_cli_echo(const QorvaneCliOptions* o) {
    printf("Qorvane pthreads CLI options:\n");
    printf("  mode                    : %s", o->mode == QORVANE_MODE_LEGACY_SINGLE ? "legacy-single\n"
                                             : o->mode == QORVANE_MODE_VOLUME      ? "volume\n"
                                             : o->mode == QORVANE_MODE_MERGE       ? "merge\n"
                                                                                   : "unknown\n");
    printf("  work_dir                : %s\n", o->work_dir);
    printf("  input_volume/input_file : %s\n", o->input);
    printf("  parameter_file          : %s\n", o->parameter_file);
    printf("  output_dir              : %s\n", o->output_dir);
    printf("  threads                 : %d\n", o->threads);
    printf("  max_voxels              : %u\n", o->max_voxels);
    printf("  keep_intermediate_files : %d\n", o->keep_intermediate_files);
    if (o->resume) printf("  resume                  : 1\n");
    if (o->has_voxel_range) printf("  voxel_range             : %u:%u\n", o->range_first, o->range_count);
    if (o->minimizer > 0)
        printf("  minimizer               : %s\n", o->minimizer - 1 == QORVANE_MINIMIZER_REFERENCE ? "classic" : "lm");
    if (o->line_spectra > 0)
        printf("  line_spectra            : %s\n",
               o->line_spectra - 1 == QORVANE_LINE_SPECTRA_FFT ? "fft" : "analytic");
    for (int i = 0; i < o->shard_count; ++i) printf("  shard_dir               : %s\n", o->shard_dirs[i]);
}

int qorvane_main(int argc, char** argv) {
    QorvaneCliOptions options;
    int rc = qorvane_cli_parse(argc, argv, &options);
    if (rc >= 0) return rc;
    if (options.minimizer > 0) qorvane_minimizer_select(options.minimizer - 1);
    if (options.line_spectra > 0) qorvane_line_spectra_select(options.line_spectra - 1);
    qorvane_cli_echo(&options);
    if (options.mode == QORVANE_MODE_VOLUME) return qorvane_volume_run(&options);
    if (options.mode == QORVANE_MODE_MERGE) return qorvane_volume_merge(&options);
    if (options.mode == QORVANE_MODE_LEGACY_SINGLE) {
        // Command-line record: every word followed by one tab.
        char record[QORVANE_CMDLINE_RECORD_SIZE];
        record[0] = '\0';
        size_t used = 0;
        for (int i = 0; i < argc; ++i) {
            size_t l = strlen(argv[i]);
            if (used + l + 2 > sizeof(record)) break;
            memcpy(record + used, argv[i], l);
            used += l;
            record[used++] = '\t';
            record[used] = '\0';
        }
        std::string path = options.work_dir[0] != '\0' ? std::string(options.work_dir) + "/" + options.input
                                                       : std::string(options.input);
        if (qorvane_is_nifti_path(path.c_str()))
            return qorvane_nifti_single_fit(options.work_dir, options.input, options.parameter_file, record);
        QorvaneSingleFitOutcome outcome;
        return qorvane_single_fit_run(options.work_dir, options.input, options.parameter_file, record, &outcome);
    }
    fprintf(stderr, "Internal error: unknown Qorvane command-line mode.\n");
    return 1;
}
