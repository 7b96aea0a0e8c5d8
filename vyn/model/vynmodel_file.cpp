// Model file (.vynmodel): reader, split-layout writer and result-path handling.
#include <cstdio>
#include <cstring>

#include "vynmodel.h"
#include "vynmodel_textfile.h"
#include "vynpaths.h"

namespace {

const char* const kInlineKeys[] = {
    "nspins",           "spin_quantum_numbers", "relative_intensities", "resonance_offsets_hz",
    "coupling_mode",    "jcoupling_hz",         "sequence_type",        "number_of_sectors",
    "sector_type",      "sector_timepoints",    "sector_evolpoints",    "sector_duration_s",
    "sector_pulsefile", "sector_statoff_hz",    "sector_remark"};

// "# vyn_gui_b0_tesla: 3" style setting lines; returns 1 when line is one of them.
int modelfile_setting_line(const char* trimmed, VYNRunConfig* cfg) {
    static const char* const names[2] = {"# vyn_gui_b0_tesla", "# vyn_gui_receiver_carrier_ppm"};
    for (int i = 0; i < 2; ++i) {
        const char* v = nullptr;
        if (!starts_with_key(trimmed, names[i], &v)) continue;
        double d;
        if (parse_double_strict(v, &d)) {
            if (i == 0)
                cfg->b0_tesla = d;
            else
                cfg->receiver_carrier_ppm = d;
        }
        return 1;
    }
    return 0;
}

// A path read from a model file: unchanged when dir is null, else with '\'
// separators accepted and joined to dir. 0 when the result does not fit out.
int modelfile_place_stored(const char* stored_path, const char* dir, char* out, size_t outsz) {
    if (!dir) {
        int n = snprintf(out, outsz, "%s", stored_path);
        return n >= 0 && (size_t)n < outsz;
    }
    char stored[2048];
    snprintf(stored, sizeof(stored), "%s", stored_path);
    vyn_normalize_saved_path(stored);
    return vyn_join_path(out, outsz, dir, stored);
}

}  // namespace

int vyn_model_name_is_safe(const char* name) {
    if (!name || !name[0]) return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    return !vyn_path_has_separator(name);
}

void vyn_effective_model_name(const char* filename, const VYNRunConfig* cfg, char* out, size_t outsz) {
    if (!out || outsz == 0) return;
    if (cfg && cfg->model_name[0]) {
        snprintf(out, outsz, "%s", cfg->model_name);
        return;
    }
    if (filename && vyn_copy_basename_without_extension_local(filename, out, outsz)) return;
    snprintf(out, outsz, "%s", "model");
}

int vyn_resolve_model_relative_path(const char* base_filename, const char* stored_path, char* out, size_t outsz) {
    if (!stored_path || !out || outsz == 0) return 0;
    out[0] = '\0';
    if (stored_path[0] == '\0') return 1;
    char dir[2048];
    const int have_dir =
        !vyn_path_is_absolute(stored_path) && base_filename && vyn_dirname_copy(base_filename, dir, sizeof(dir));
    return modelfile_place_stored(stored_path, have_dir ? dir : nullptr, out, outsz);
}

int vyn_get_runtime_results_dir(char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    char exedir[VYN_PATH_CAP], runtime[VYN_PATH_CAP];
    if (!VYN_GetExecutableDir(exedir, sizeof(exedir))) return 0;
    if (!vyn_join_path(runtime, sizeof(runtime), exedir, "runtime")) return 0;
    if (!vyn_ensure_dir(runtime)) return 0;
    if (!vyn_join_path(out, outsz, runtime, "results")) return 0;
    return vyn_ensure_dir(out);
}

int vyn_resolve_result_path(const char* model_filename, const char* stored_path, char* out, size_t outsz) {
    (void)model_filename;
    if (!stored_path || !out || outsz == 0) return 0;
    out[0] = '\0';
    if (stored_path[0] == '\0') return 1;
    char results[VYN_PATH_CAP];
    const int have_dir = !vyn_path_is_absolute(stored_path) && vyn_get_runtime_results_dir(results, sizeof(results));
    return modelfile_place_stored(stored_path, have_dir ? results : nullptr, out, outsz);
}

int vyn_make_portable_result_path(const char* model_filename, const char* result_filename, char* out, size_t outsz) {
    if (!result_filename || !out || outsz == 0) return 0;
    out[0] = '\0';
    if (result_filename[0] == '\0') return 1;
    char result[2048];
    if (strlen(result_filename) >= sizeof(result)) return 0;
    strcpy(result, result_filename);
    vyn_collapse_dot_segments(result);
    result_filename = result;
    if (vyn_path_is_absolute(result_filename)) {
        char prefix[2048], tail[2048];
        if (vyn_get_runtime_results_dir(prefix, sizeof(prefix)) &&
            vyn_tail_after_prefix(result_filename, prefix, tail, sizeof(tail)) && tail[0] != '\0' &&
            !vyn_path_has_separator(tail)) {
            if (strlen(tail) + 1 > outsz) return 0;
            strcpy(out, tail);
            return 1;
        }
        if (model_filename) {
            const int rel = vynmodel_relative_to_file(result_filename, model_filename, out, outsz);
            if (rel >= 0) return rel;
        }
    }
    if (strlen(result_filename) + 1 > outsz) return 0;
    strcpy(out, result_filename);
    vyn_normalize_saved_path(out);
    return 1;
}

namespace {
// Keys of a .vynmodel file.
enum { K_VERSION, K_NAME, K_SPIN, K_SEQ, K_NDX, K_NDY, K_NDZ, K_X0, K_Y0, K_Z0, K_DX, K_DY, K_DZ, K_RESULT, K_N };
const char* const kModelKeyNames[K_N] = {"format_version",
                                         "model_name",
                                         "spin_system_file",
                                         "sequence_file",
                                         "ndx",
                                         "ndy",
                                         "ndz",
                                         "x0_cm",
                                         "y0_cm",
                                         "z0_cm",
                                         "dx_cm",
                                         "dy_cm",
                                         "dz_cm",
                                         "result_file"};

// True (message in errbuf) when line holds one of the inline spin-system or
// sequence keys, which a model file no longer takes.
bool modelfile_inline_key(const char* line, int lineno, char* errbuf, size_t errbufsz) {
    for (const char* key : kInlineKeys) {
        if (strncmp(line, key, strlen(key)) == 0) {
            vyn_set_error(errbuf, errbufsz,
                          "line %d: inline spin-system/sequence keys are no longer supported in .vynmodel; use "
                          "spin_system_file and sequence_file",
                          lineno);
            return true;
        }
    }
    return false;
}
}  // namespace

VYNModelStatus VYNModel_LoadText(const char* filename, VYNSpinSystemDef* spin, VYNPulseSequenceDef* seq,
                                 VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    if (!filename || !spin || !seq || !cfg) {
        vyn_set_error(errbuf, errbufsz, "load arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNSpinSystemDef_Init(spin);
    VYNPulseSequenceDef_Init(seq);
    VYNRunConfig_Init(cfg);
    FILE* fp = vynmodel_open_text(filename);
    if (!fp) {
        vyn_set_error(errbuf, errbufsz, "could not open '%s' for reading", filename);
        return VYN_MODEL_ERR_IO;
    }
    int seen[K_N] = {};
    int* const ints[3] = {&cfg->ndx, &cfg->ndy, &cfg->ndz};
    double* const reals[6] = {&cfg->x0_cm, &cfg->y0_cm, &cfg->z0_cm, &cfg->dx_cm, &cfg->dy_cm, &cfg->dz_cm};
    char line[VYNMODEL_MAX_LINE + 1], raw[2048];
    int lineno = 0;
    int got;
    while ((got = vynmodel_read_line(fp, line, sizeof(line))) != 0) {
        ++lineno;
        if (got < 0) {
            vynmodel_set_long_line_error(lineno, errbuf, errbufsz);
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        }
        snprintf(raw, sizeof(raw), "%s", line);
        trim_in_place(raw);
        if (modelfile_setting_line(raw, cfg)) continue;
        vyn_strip_comment_and_trim(line);
        if (line[0] == '\0') continue;
        if (modelfile_inline_key(line, lineno, errbuf, errbufsz)) return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        const char* v = nullptr;
        int key = -1;
        for (int k = 0; k < K_N; ++k) {
            if (k == K_SPIN) {
                if (starts_with_key(line, "quelder_reference", &v) || starts_with_key(line, "quelder_subgroup", &v) ||
                    starts_with_key(line, "resonance_group", &v)) {
                    key = K_N;
                    break;
                }
            }
            if (starts_with_key(line, kModelKeyNames[k], &v)) {
                key = k;
                break;
            }
        }
        if (key == K_N) continue;  // descriptive metadata
        if (key < 0) {
            vyn_set_error(errbuf, errbufsz, "line %d: unknown key", lineno);
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        }
        if (vyn_reject_duplicate_scalar_key(&seen[key], kModelKeyNames[key], lineno, errbuf, errbufsz))
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        char path[2048];
        VYNModelStatus st;
        switch (key) {
            case K_VERSION: {
                if (!vynmodel_check_format_version(v, lineno, errbuf, errbufsz))
                    return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
                break;
            }
            case K_NAME:
                snprintf(cfg->model_name, sizeof(cfg->model_name), "%s", v);
                break;
            case K_SPIN:
            case K_SEQ:
                if (!vyn_resolve_model_relative_path(filename, v, path, sizeof(path))) {
                    vyn_set_error(errbuf, errbufsz, "line %d: could not resolve %s", lineno, kModelKeyNames[key]);
                    return vynmodel_close_fail(fp, VYN_MODEL_ERR_IO);
                }
                st = key == K_SPIN ? vyn_load_spin_system_text(path, spin, errbuf, errbufsz)
                                   : vyn_load_pulse_sequence_text(path, seq, errbuf, errbufsz);
                if (st != VYN_MODEL_OK) return vynmodel_close_fail(fp, st);
                break;
            case K_NDX:
            case K_NDY:
            case K_NDZ:
                if (!parse_int_strict(v, ints[key - K_NDX])) {
                    vyn_set_error(errbuf, errbufsz, "line %d: bad %s", lineno, kModelKeyNames[key]);
                    return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
                }
                break;
            case K_RESULT:
                if (!vyn_resolve_result_path(filename, v, cfg->result_filename, sizeof(cfg->result_filename))) {
                    vyn_set_error(errbuf, errbufsz, "line %d: could not resolve result_file", lineno);
                    return vynmodel_close_fail(fp, VYN_MODEL_ERR_IO);
                }
                break;
            default:
                if (!parse_double_strict(v, reals[key - K_X0])) {
                    vyn_set_error(errbuf, errbufsz, "line %d: bad %s", lineno, kModelKeyNames[key]);
                    return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
                }
                break;
        }
    }
    const VYNModelStatus closed = vynmodel_finish_read(fp, filename, errbuf, errbufsz);
    if (closed != VYN_MODEL_OK) return closed;
    if (cfg->model_name[0] == '\0')
        vyn_copy_basename_without_extension_local(filename, cfg->model_name, sizeof(cfg->model_name));
    for (int k = 0; k < K_N; ++k) {
        if (k == K_NAME) continue;
        if (!seen[k]) {
            vyn_set_error(errbuf, errbufsz, "missing required key '%s'", kModelKeyNames[k]);
            return VYN_MODEL_ERR_PARSE;
        }
    }
    return VYNModel_ValidateAll(spin, seq, cfg, errbuf, errbufsz);
}

int vyn_model_referenced_files(const char* filename, char* spin_out, char* seq_out, size_t outsz) {
    if (!filename || !spin_out || !seq_out || outsz == 0) return 0;
    spin_out[0] = seq_out[0] = '\0';
    FILE* fp = vynmodel_open_text(filename);
    if (!fp) return 0;
    char line[VYNMODEL_MAX_LINE + 1];
    int got;
    while ((got = vynmodel_read_line(fp, line, sizeof(line))) != 0) {
        if (got < 0) continue;
        vyn_strip_comment_and_trim(line);
        const char* v = nullptr;
        if (starts_with_key(line, "spin_system_file", &v) && !spin_out[0])
            vyn_resolve_model_relative_path(filename, v, spin_out, outsz);
        else if (starts_with_key(line, "sequence_file", &v) && !seq_out[0])
            vyn_resolve_model_relative_path(filename, v, seq_out, outsz);
    }
    fclose(fp);
    return 1;
}

VYNModelStatus VYNModel_SaveText(const char* filename, const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                 const VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    if (!filename || !spin || !seq || !cfg) {
        vyn_set_error(errbuf, errbufsz, "save arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNModelStatus st = VYNModel_ValidateAll(spin, seq, cfg, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    char name[VYN_MODEL_FILENAME_LEN];
    vyn_effective_model_name(filename, cfg, name, sizeof(name));
    // The name becomes a directory and file name: keep it inside the project.
    if (!vyn_model_name_is_safe(name)) {
        vyn_set_error(errbuf, errbufsz,
                      "model name '%s' cannot be used as a file name (no '/' or '\\', not '.' or '..')", name);
        return VYN_MODEL_ERR_IO;
    }
    char root[2048], spindir[2048], seqroot[2048], seqdir[2048];
    if (!vyn_parent_dir_copy(filename, root, sizeof(root)) ||
        !vyn_join_path(spindir, sizeof(spindir), root, "spin-systems") ||
        !vyn_join_path(seqroot, sizeof(seqroot), root, "sequences") ||
        !vyn_join_path(seqdir, sizeof(seqdir), seqroot, name)) {
        vyn_set_error(errbuf, errbufsz, "could not derive split output directories for '%s'", filename);
        return VYN_MODEL_ERR_IO;
    }
    if (!vyn_ensure_dir(spindir) || !vyn_ensure_dir(seqroot) || !vyn_ensure_dir(seqdir)) {
        vyn_set_error(errbuf, errbufsz, "could not create split output directories");
        return VYN_MODEL_ERR_IO;
    }
    char spinleaf[VYN_MODEL_FILENAME_LEN], seqleaf[VYN_MODEL_FILENAME_LEN];
    char spinpath[2048], seqpath[2048];
    int n1 = snprintf(spinleaf, sizeof(spinleaf), "%s.vynspin", name);
    int n2 = snprintf(seqleaf, sizeof(seqleaf), "%s.vynseq", name);
    if (n1 < 0 || n1 >= (int)sizeof(spinleaf) || n2 < 0 || n2 >= (int)sizeof(seqleaf) ||
        !vyn_join_path(spinpath, sizeof(spinpath), spindir, spinleaf) ||
        !vyn_join_path(seqpath, sizeof(seqpath), seqdir, seqleaf)) {
        vyn_set_error(errbuf, errbufsz, "split output path is too long");
        return VYN_MODEL_ERR_IO;
    }
    st = vyn_write_spin_system_text(spinpath, name, spin, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    st = vyn_write_pulse_sequence_text(seqpath, name, seq, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    char result[2048];
    if (!vyn_make_portable_result_path(filename, cfg->result_filename, result, sizeof(result))) {
        vyn_set_error(errbuf, errbufsz, "could not derive portable result_file path");
        return VYN_MODEL_ERR_IO;
    }
    FILE* fp = vynmodel_begin_write(filename, "model_name", name, errbuf, errbufsz);
    if (!fp) return VYN_MODEL_ERR_IO;
    fprintf(fp, "spin_system_file: ../spin-systems/%s\n", spinleaf);
    fprintf(fp, "sequence_file: ../sequences/%s/%s\n\n", name, seqleaf);
    fprintf(fp, "ndx: %d\nndy: %d\nndz: %d\n", cfg->ndx, cfg->ndy, cfg->ndz);
    fprintf(fp, "x0_cm: %.15g\ny0_cm: %.15g\nz0_cm: %.15g\n", cfg->x0_cm, cfg->y0_cm, cfg->z0_cm);
    fprintf(fp, "dx_cm: %.15g\ndy_cm: %.15g\ndz_cm: %.15g\n", cfg->dx_cm, cfg->dy_cm, cfg->dz_cm);
    fprintf(fp, "result_file: %s\n", result);
    return vynmodel_finish_write(fp, filename, errbuf, errbufsz);
}
