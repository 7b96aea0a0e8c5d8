// Command line of qorvane_pthreads: options record, parsing helpers, usage and help texts,
// and the program entry shared by main() and the tests.
#pragma once
#include <cstdint>
#include <cstdio>

#include "qpath.h"

enum { QORVANE_MODE_NONE = 0, QORVANE_MODE_LEGACY_SINGLE = 1, QORVANE_MODE_VOLUME = 2, QORVANE_MODE_MERGE = 3 };
enum { QORVANE_MAX_VOXELS_LIMIT = 65536 };

struct QorvaneCliOptions {
    int mode;
    char work_dir[1024];
    char input[1024];
    char parameter_file[1024];
    char output_dir[1024];
    char mask[1024];      // --mask: NIfTI mask of a NIfTI-MRS input volume (empty: every voxel)
    int per_voxel_files;  // --per-voxel-files: result files per voxel also for NIfTI-MRS input
    int resume;           // --resume: continue the job whose journal is in the output directory
    int threads;
    int keep_intermediate_files;
    uint32_t max_voxels;
    // --voxel-range FIRST:COUNT: fit only selected voxels FIRST .. FIRST+COUNT-1 (0-based).
    int has_voxel_range;
    uint32_t range_first;
    uint32_t range_count;
    // --mode merge: the shard output directories (words of argv, in the order given).
    int shard_count;
    char* const* shard_dirs;
    // --minimizer lm|classic: 0 = not given (the process-wide default stays), else the
    // minimiser code + 1.
    int minimizer;
    // --line-spectra analytic|fft: 0 = not given (the process-wide default stays), else the
    // QORVANE_LINE_SPECTRA_* code + 1.
    int line_spectra;
};

// 0 when argv[index+1] exists and does not start with "--"; else prints the missing-value line, 1.
int qorvane_cli_require_value(int argc, char** argv, int index, const char* option);
// Copies text (< 1024 chars) into destination (1024 bytes); 0 or 1 after printing the reason.
int qorvane_cli_copy(char* destination, const char* text, const char* label);

void qorvane_print_usage(FILE* stream);
// Prints help topic n (0..8) and returns 0; any other n prints the overview and returns 1.
int qorvane_print_help_topic(unsigned n);
void qorvane_print_help_overview();
// Prints help topic 3 (the fit-control file format).
void help_text_3();

// Parses argv into options. Returns -1 when the program should go on with options.mode,
// otherwise the exit code to end with (help printed, or an error reported).
int qorvane_cli_parse(int argc, char** argv, QorvaneCliOptions* options);
void qorvane_cli_echo(const QorvaneCliOptions* options);

// The whole program: parse, echo, run one mode; returns the process exit code.
int qorvane_main(int argc, char** argv);
