// Model layer of vyn: the three model records (spin system, pulse sequence,
// grid/run configuration), their validation, the three line-oriented text
// files (.vynspin, .vynseq, .vynmodel) and the binding to the engine state.
//
// Every operation returns a VYNModelStatus and, on failure, formats one
// message (no tag, no trailing newline) into errbuf when errbuf and errbufsz
// are both non-zero. On success errbuf is left unchanged.
#pragma once

#include <cstddef>

enum {
    VYN_MODEL_FORMAT_VERSION = 1,
    VYN_MODEL_FILENAME_LEN = 256,
    VYN_MODEL_REMARK_LEN = 512,
    VYN_MODEL_SECTOR_CAP = 20
};

constexpr int VYN_MODEL_MAX_SPINS = 8;
constexpr int VYN_MODEL_MAX_STATES = 256;
constexpr int VYN_MODEL_MAX_SUBGROUPS = 32;
constexpr int VYN_MODEL_SUBGROUP_LABEL_LEN = 64;
constexpr int VYN_MODEL_MAX_PAIRS = 28;
constexpr int VYN_MODEL_MAX_TIMEPOINTS = 8192;
constexpr int VYN_MODEL_MAX_GRID = 256;

enum VYNModelStatus {
    VYN_MODEL_OK = 0,
    VYN_MODEL_ERR_NULLPTR = 1,
    VYN_MODEL_ERR_IO = 2,
    VYN_MODEL_ERR_PARSE = 3,
    VYN_MODEL_ERR_RANGE = 4,
    VYN_MODEL_ERR_DIMENSION = 5,
    VYN_MODEL_ERR_INCOMPATIBLE = 6
};

struct VYNSpinSystemDef {
    int nspins;
    int spin_quantum_numbers[9];  // 2I per spin, 1-based
    double relative_intensities[9];
    double resonance_offsets_hz[9];
    int coupling_mode;  // 1 weak, 2 exact
    double j_hz[9][9];
    int subgroup_count;
    char subgroup_labels[VYN_MODEL_MAX_SUBGROUPS][VYN_MODEL_SUBGROUP_LABEL_LEN];
    int subgroup_spin_count[VYN_MODEL_MAX_SUBGROUPS];
    int subgroup_spins[VYN_MODEL_MAX_SUBGROUPS][9];  // positions 0..count-1
    int subgroup_ppm_count[VYN_MODEL_MAX_SUBGROUPS];
    double subgroup_ppm[VYN_MODEL_MAX_SUBGROUPS];
};

struct VYNPulseSectorDef {
    int sector_type;
    int number_of_timepoints;
    int number_of_evolpoints;
    double total_duration_s;
    double offset_frequency_hz;
    char pulse_filename[VYN_MODEL_FILENAME_LEN];
    char remark[VYN_MODEL_REMARK_LEN];
};

struct VYNPulseSequenceDef {
    int sequence_type;  // 1 spatially resolved, 2 1D/2D NMR
    int sector_count;
    VYNPulseSectorDef sectors[VYN_MODEL_SECTOR_CAP + 1];  // 1-based
};

struct VYNRunConfig {
    int ndx, ndy, ndz;
    double x0_cm, y0_cm, z0_cm;
    double dx_cm, dy_cm, dz_cm;
    double b0_tesla;
    double receiver_carrier_ppm;
    char result_filename[VYN_MODEL_FILENAME_LEN];
    char model_name[VYN_MODEL_FILENAME_LEN];
};

// ---- records and validation ----
const char* VYNModelStatusString(int status);
void VYNSpinSystemDef_Init(VYNSpinSystemDef* spin);
void VYNPulseSequenceDef_Init(VYNPulseSequenceDef* seq);
void VYNRunConfig_Init(VYNRunConfig* cfg);
VYNModelStatus VYNSpinSystemDef_Validate(const VYNSpinSystemDef* spin, char* errbuf, size_t errbufsz);
VYNModelStatus VYNPulseSequenceDef_Validate(const VYNPulseSequenceDef* seq, char* errbuf, size_t errbufsz);
VYNModelStatus VYNRunConfig_Validate(const VYNRunConfig* cfg, char* errbuf, size_t errbufsz);
VYNModelStatus VYNModel_ValidateAll(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                    const VYNRunConfig* cfg, char* errbuf, size_t errbufsz);

// Formats a message into errbuf when both errbuf and errbufsz are non-zero.
void vyn_set_error(char* errbuf, size_t errbufsz, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// ---- shared line syntax and strict parsers ----
void trim_in_place(char* s);
// Strips a "#" comment and surrounding white space in place.
void vyn_strip_comment_and_trim(char* s);
// True when line starts with key, optional blanks, ':' and optional blanks; *value points after them.
int starts_with_key(const char* line, const char* key, const char** value);
// Numbers are whole white-space-delimited tokens: a base-10 int of the 32-bit
// range, or a finite decimal real (no "inf", "nan", hexadecimal forms or
// trailing text such as "1e-05ms").
int parse_int_strict(const char* text, int* out);
int parse_double_strict(const char* text, double* out);
// Read one such number at *p (leading white space skipped) and advance *p past it.
int vyn_take_int(const char** p, int* out);
int vyn_take_double(const char** p, double* out);
// 1 when p holds nothing but white space.
int vyn_only_space(const char* p);
int parse_int_list(const char* text, int n, int* out);
int parse_double_list(const char* text, int n, double* out);
int vyn_reject_duplicate_scalar_key(int* seen_flag, const char* key, int lineno, char* errbuf, size_t errbufsz);
void vyn_set_list_length_error(const char* key, int expected, const char* text, int lineno, char* errbuf,
                               size_t errbufsz);
int vyn_extract_metadata_token(const char* text, const char* name, char* out, size_t cap);
int vyn_parse_spin_index_list(const char* text, int* out, int* count);
int vyn_parse_ppm_list_average(const char* text, double* mean, int* count);
int vyn_parse_quelder_subgroup(const char* value, VYNSpinSystemDef* spin, int lineno, char* errbuf, size_t errbufsz);

// ---- path helpers of the model layer ----
int vyn_path_is_absolute(const char* path);
int vyn_join_path(char* out, size_t outsz, const char* dir, const char* leaf);
int vyn_dirname_copy(const char* path, char* out, size_t outsz);
int vyn_parent_dir_copy(const char* path, char* out, size_t outsz);
int vyn_path_has_separator(const char* path);
void vyn_normalize_saved_path(char* path);
int vyn_tail_after_prefix(const char* path, const char* prefix, char* tail, size_t tailsz);
int vyn_ensure_dir(const char* path);
// Removes "." and "name/.." segments of a '/'-rooted path in place (other paths are left alone).
void vyn_collapse_dot_segments(char* path);
int vyn_file_exists_local(const char* path);
int vyn_copy_basename_without_extension_local(const char* path, char* out, size_t outsz);

// ---- spin-system file ----
VYNModelStatus vyn_load_spin_system_text(const char* filename, VYNSpinSystemDef* spin, char* errbuf, size_t errbufsz);
VYNModelStatus vyn_write_spin_system_text(const char* path, const char* name, const VYNSpinSystemDef* spin,
                                          char* errbuf, size_t errbufsz);

// ---- pulse-sequence file ----
VYNModelStatus vyn_load_pulse_sequence_text(const char* filename, VYNPulseSequenceDef* seq, char* errbuf,
                                            size_t errbufsz);
VYNModelStatus vyn_write_pulse_sequence_text(const char* path, const char* name, const VYNPulseSequenceDef* seq,
                                             char* errbuf, size_t errbufsz);
int vyn_resolve_sector_pulse_path(const char* sequence_filename, const char* stored_path, char* out, size_t outsz);
void vyn_set_sector_pulse_resolution_error(const char* sequence_filename, int sector_index, const char* stored_path,
                                           int lineno, char* errbuf, size_t errbufsz);
int vyn_make_portable_sector_pulse_path(const char* sequence_filename, const char* pulse_filename, char* out,
                                        size_t outsz);

// ---- model file ----
VYNModelStatus VYNModel_LoadText(const char* filename, VYNSpinSystemDef* spin, VYNPulseSequenceDef* seq,
                                 VYNRunConfig* cfg, char* errbuf, size_t errbufsz);
VYNModelStatus VYNModel_SaveText(const char* filename, const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                 const VYNRunConfig* cfg, char* errbuf, size_t errbufsz);
// The spin-system and sequence files a model file names, resolved as loading resolves
// them (empty when the model names none); 0 when the model file cannot be read.
int vyn_model_referenced_files(const char* filename, char* spin_out, char* seq_out, size_t outsz);
int vyn_resolve_model_relative_path(const char* base_filename, const char* stored_path, char* out, size_t outsz);
int vyn_resolve_result_path(const char* model_filename, const char* stored_path, char* out, size_t outsz);
int vyn_get_runtime_results_dir(char* out, size_t outsz);
int vyn_make_portable_result_path(const char* model_filename, const char* result_filename, char* out, size_t outsz);
// Effective model name: model_name, else the model file's leaf without extension, else "model".
void vyn_effective_model_name(const char* filename, const VYNRunConfig* cfg, char* out, size_t outsz);
// True when name can be used as a single directory and file name component.
int vyn_model_name_is_safe(const char* name);

// ---- binding to the engine state ----
VYNModelStatus VYNModel_ActivateInLegacyRuntime(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                                const VYNRunConfig* cfg, char* errbuf, size_t errbufsz);
VYNModelStatus VYNModel_ApplyToLegacyGlobals(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                             const VYNRunConfig* cfg, char* errbuf, size_t errbufsz);
VYNModelStatus VYNModel_CaptureFromLegacyGlobals(VYNSpinSystemDef* spin, VYNPulseSequenceDef* seq, VYNRunConfig* cfg,
                                                 char* errbuf, size_t errbufsz);
VYNModelStatus VYNModel_SaveCurrentLegacyStateToText(const char* filename, char* errbuf, size_t errbufsz);

// ---- reference checks ----
// Runs the six developer reference checks (PASS/FAIL lines and a summary line)
// with fixtures under "vyn-refcheck-work" in the current directory; the engine
// state is saved before and restored after them. Returns 1 when all passed, else 0.
int VYNModel_RunReferenceChecks();

// Optimiser hints in a sector remark: "optimizeRf[targetMode=manual, productOperator=2*I1z, manualRecipe=I1x]".
// Copies the trimmed value of key from the first bracketed block after `block`; 0 when absent or too long.
int vynmodel_metadata_value(const char* remark, const char* block, const char* key, char* out, size_t cap);
// The target operator text the hints select (manual recipe in manual mode, else the product operator,
// else the manual recipe); 0 when none is defined.
int vynmodel_choose_optimizer_target_from_remark(const char* remark, char* out, size_t cap);
// Defines the optimiser's observable from the hints of sector 1..20 of the current sequence.
int vynmodel_try_define_optimizer_operator_from_sector_remark(int sector_index);
