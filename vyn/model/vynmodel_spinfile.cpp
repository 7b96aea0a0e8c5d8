// Spin-system text file (.vynspin): reader and writer.
#include <cstdio>
#include <cstring>

#include "vynmodel.h"
#include "vynmodel_textfile.h"

namespace {

struct SpinSeen {
    int format_version, nspins, quantum, intens, offsets, coupling;
};

// A per-spin list (spin_quantum_numbers, relative_intensities,
// resonance_offsets_hz) whose value v follows the key on line; false with the
// message in errbuf when it is refused.
bool vyn_read_spin_list_line(const char* line, const char* v, int lineno, VYNSpinSystemDef* spin, SpinSeen& seen,
                             char* errbuf, size_t errbufsz) {
    const char* key;
    int* flag;
    if (strncmp(line, "spin_quantum_numbers", 20) == 0) {
        key = "spin_quantum_numbers";
        flag = &seen.quantum;
    } else if (strncmp(line, "relative_intensities", 20) == 0) {
        key = "relative_intensities";
        flag = &seen.intens;
    } else {
        key = "resonance_offsets_hz";
        flag = &seen.offsets;
    }
    if (vyn_reject_duplicate_scalar_key(flag, key, lineno, errbuf, errbufsz)) return false;
    if (!seen.nspins) {
        vyn_set_error(errbuf, errbufsz, "line %d: key 'nspins' must appear before '%s'", lineno, key);
        return false;
    }
    // The record holds 1..8 spins; a list for another count cannot be stored.
    if (spin->nspins < 1 || spin->nspins > VYN_MODEL_MAX_SPINS) {
        vyn_set_error(errbuf, errbufsz, "line %d: key '%s' cannot be read while nspins=%d is outside 1..%d", lineno,
                      key, spin->nspins, VYN_MODEL_MAX_SPINS);
        return false;
    }
    int ok;
    if (flag == &seen.quantum)
        ok = parse_int_list(v, spin->nspins, spin->spin_quantum_numbers);
    else if (flag == &seen.intens)
        ok = parse_double_list(v, spin->nspins, spin->relative_intensities);
    else
        ok = parse_double_list(v, spin->nspins, spin->resonance_offsets_hz);
    if (!ok) {
        vyn_set_list_length_error(key, spin->nspins, v, lineno, errbuf, errbufsz);
        return false;
    }
    return true;
}

}  // namespace

VYNModelStatus vyn_load_spin_system_text(const char* filename, VYNSpinSystemDef* spin, char* errbuf, size_t errbufsz) {
    if (!filename || !spin) {
        vyn_set_error(errbuf, errbufsz, "spin-system load arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNSpinSystemDef_Init(spin);
    FILE* fp = vynmodel_open_text(filename);
    if (!fp) {
        vyn_set_error(errbuf, errbufsz, "could not open spin system '%s'", filename);
        return VYN_MODEL_ERR_IO;
    }
    SpinSeen seen = {};
    char line[VYNMODEL_MAX_LINE + 1];
    int lineno = 0;
    int got;
    while ((got = vynmodel_read_line(fp, line, sizeof(line))) != 0) {
        ++lineno;
        if (got < 0) {
            vynmodel_set_long_line_error(lineno, errbuf, errbufsz);
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        }
        vyn_strip_comment_and_trim(line);
        if (line[0] == '\0') continue;
        const char* v = nullptr;
        if (starts_with_key(line, "format_version", &v)) {
            if (vyn_reject_duplicate_scalar_key(&seen.format_version, "format_version", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!vynmodel_check_format_version(v, lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        } else if (starts_with_key(line, "spin_system_name", &v) || starts_with_key(line, "model_name", &v)) {
            continue;
        } else if (starts_with_key(line, "quelder_subgroup", &v)) {
            if (!vyn_parse_quelder_subgroup(v, spin, lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        } else if (starts_with_key(line, "quelder_reference", &v) || starts_with_key(line, "resonance_group", &v)) {
            continue;
        } else if (starts_with_key(line, "nspins", &v)) {
            if (vyn_reject_duplicate_scalar_key(&seen.nspins, "nspins", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!parse_int_strict(v, &spin->nspins)) {
                vyn_set_error(errbuf, errbufsz, "line %d: bad nspins", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
        } else if (starts_with_key(line, "spin_quantum_numbers", &v) ||
                   starts_with_key(line, "relative_intensities", &v) ||
                   starts_with_key(line, "resonance_offsets_hz", &v)) {
            if (!vyn_read_spin_list_line(line, v, lineno, spin, seen, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        } else if (starts_with_key(line, "coupling_mode", &v)) {
            if (vyn_reject_duplicate_scalar_key(&seen.coupling, "coupling_mode", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!parse_int_strict(v, &spin->coupling_mode)) {
                vyn_set_error(errbuf, errbufsz, "line %d: bad coupling_mode", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
        } else if (starts_with_key(line, "jcoupling_hz", &v)) {
            if (!seen.nspins) {
                vyn_set_error(errbuf, errbufsz, "line %d: key 'nspins' must appear before 'jcoupling_hz'", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            int i, k;
            double j;
            const char* p = v;
            if (!vyn_take_int(&p, &i) || !vyn_take_int(&p, &k) || !vyn_take_double(&p, &j) || !vyn_only_space(p)) {
                vyn_set_error(errbuf, errbufsz, "line %d: bad jcoupling_hz entry", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            if (i < 1 || i > VYN_MODEL_MAX_SPINS || k < 1 || k > VYN_MODEL_MAX_SPINS || i == k) {
                vyn_set_error(errbuf, errbufsz, "line %d: jcoupling indices out of range", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            spin->j_hz[i][k] = j;
            spin->j_hz[k][i] = j;
        } else {
            vyn_set_error(errbuf, errbufsz, "line %d: unknown spin-system key", lineno);
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
        }
    }
    const VYNModelStatus closed = vynmodel_finish_read(fp, filename, errbuf, errbufsz);
    if (closed != VYN_MODEL_OK) return closed;
    if (!seen.format_version) {
        vyn_set_error(errbuf, errbufsz, "missing required key 'format_version'");
        return VYN_MODEL_ERR_PARSE;
    }
    if (!seen.nspins || !seen.quantum || !seen.intens || !seen.offsets || !seen.coupling) {
        vyn_set_error(errbuf, errbufsz, "spin-system file is missing one or more required spin keys");
        return VYN_MODEL_ERR_PARSE;
    }
    return VYNSpinSystemDef_Validate(spin, errbuf, errbufsz);
}

VYNModelStatus vyn_write_spin_system_text(const char* path, const char* name, const VYNSpinSystemDef* spin,
                                          char* errbuf, size_t errbufsz) {
    FILE* fp = vynmodel_begin_write(path, "spin_system_name", name, errbuf, errbufsz);
    if (!fp) return VYN_MODEL_ERR_IO;
    fprintf(fp, "nspins: %d\n", spin->nspins);
    fprintf(fp, "spin_quantum_numbers:");
    for (int i = 1; i <= spin->nspins; ++i) fprintf(fp, " %d", spin->spin_quantum_numbers[i]);
    fprintf(fp, "\nrelative_intensities:");
    for (int i = 1; i <= spin->nspins; ++i) fprintf(fp, " %.15g", spin->relative_intensities[i]);
    fprintf(fp, "\nresonance_offsets_hz:");
    for (int i = 1; i <= spin->nspins; ++i) fprintf(fp, " %.15g", spin->resonance_offsets_hz[i]);
    fprintf(fp, "\ncoupling_mode: %d\n", spin->coupling_mode);
    for (int i = 1; i <= spin->nspins; ++i)
        for (int k = i + 1; k <= spin->nspins; ++k)
            if (spin->j_hz[i][k] != 0.0) fprintf(fp, "jcoupling_hz: %d %d %.15g\n", i, k, spin->j_hz[i][k]);
    return vynmodel_finish_write(fp, path, errbuf, errbufsz);
}
