// Pulse-sequence text file (.vynseq): reader, writer and waveform-path handling.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "vynmodel.h"
#include "vynmodel_textfile.h"
#include "vynpaths.h"

namespace {

enum SectorKey { SK_TYPE, SK_TIMEPOINTS, SK_EVOLPOINTS, SK_DURATION, SK_PULSEFILE, SK_STATOFF, SK_REMARK, SK_COUNT };

const char* const kSectorKeyNames[SK_COUNT] = {"sector_type",       "sector_timepoints", "sector_evolpoints",
                                               "sector_duration_s", "sector_pulsefile",  "sector_statoff_hz",
                                               "sector_remark"};

int valid_sector_index(int s) { return s >= 1 && s <= VYN_MODEL_SECTOR_CAP; }

// A relative stored path may come from a file written with '\' separators.
void seqfile_portable_copy(const char* in, char* out, size_t outsz) {
    snprintf(out, outsz, "%s", in);
    vyn_normalize_saved_path(out);
}

// Absolute form of path: unchanged when absolute, else joined to the working directory.
int seqfile_absolute_copy(const char* path, char* out, size_t outsz) {
    if (vyn_path_is_absolute(path)) {
        int n = snprintf(out, outsz, "%s", path);
        if (n < 0 || (size_t)n >= outsz) return 0;
    } else {
        char cwd[2048];
        if (!getcwd(cwd, sizeof(cwd))) return 0;
        char rel[2048];
        seqfile_portable_copy(path, rel, sizeof(rel));
        if (!vyn_join_path(out, outsz, cwd, rel)) return 0;
    }
    vyn_collapse_dot_segments(out);
    return 1;
}

}  // namespace

int vyn_resolve_sector_pulse_path(const char* sequence_filename, const char* stored_path, char* out, size_t outsz) {
    if (!sequence_filename || !stored_path || !out || outsz == 0) return 0;
    out[0] = '\0';
    if (stored_path[0] == '\0') return 1;
    if (vyn_path_is_absolute(stored_path)) {
        snprintf(out, outsz, "%s", stored_path);
        return 1;
    }
    char stored[2048];
    seqfile_portable_copy(stored_path, stored, sizeof(stored));
    char dir[2048];
    int have_dir = vyn_dirname_copy(sequence_filename, dir, sizeof(dir));
    char cand[2048];
    int have_cand = have_dir && vyn_join_path(cand, sizeof(cand), dir, stored);
    if (have_cand && vyn_file_exists_local(cand)) {
        snprintf(out, outsz, "%s", cand);
        return 1;
    }
    if (vyn_path_has_separator(stored)) {
        snprintf(out, outsz, "%s", have_cand ? cand : stored);
        return 1;
    }
    char tryp[2048], wdir[2048];
    if (have_dir && vyn_join_path(wdir, sizeof(wdir), dir, "waveforms") &&
        vyn_join_path(tryp, sizeof(tryp), wdir, stored) && vyn_file_exists_local(tryp)) {
        snprintf(out, outsz, "%s", tryp);
        return 1;
    }
    char rfdir[2048];
    if (VYN_GetDefaultRFOutputDir(rfdir, sizeof(rfdir)) && vyn_join_path(tryp, sizeof(tryp), rfdir, stored) &&
        vyn_file_exists_local(tryp)) {
        snprintf(out, outsz, "%s", tryp);
        return 1;
    }
    snprintf(out, outsz, "%s", have_cand ? cand : stored);
    return 1;
}

void vyn_set_sector_pulse_resolution_error(const char* sequence_filename, int sector_index, const char* stored_path,
                                           int lineno, char* errbuf, size_t errbufsz) {
    const char* stored = stored_path ? stored_path : "";
    if (stored[0] == '\0') {
        vyn_set_error(errbuf, errbufsz, "line %d: sector_pulsefile for sector %d is empty", lineno, sector_index);
        return;
    }
    if (vyn_path_is_absolute(stored)) {
        vyn_set_error(errbuf, errbufsz,
                      "line %d: sector_pulsefile for sector %d not found; stored absolute path '%s' does not exist",
                      lineno, sector_index, stored);
        return;
    }
    char norm[2048];
    seqfile_portable_copy(stored, norm, sizeof(norm));
    char dir[2048], cand[2048], rfdir[2048], rfcand[2048];
    int have_cand = sequence_filename && vyn_dirname_copy(sequence_filename, dir, sizeof(dir)) &&
                    vyn_join_path(cand, sizeof(cand), dir, norm);
    if (vyn_path_has_separator(stored)) {
        if (have_cand)
            vyn_set_error(errbuf, errbufsz,
                          "line %d: sector_pulsefile for sector %d not found; stored relative path '%s'; tried "
                          "model-relative '%s'",
                          lineno, sector_index, stored, cand);
        else
            vyn_set_error(errbuf, errbufsz,
                          "line %d: sector_pulsefile for sector %d not found; stored relative path '%s'", lineno,
                          sector_index, stored);
        return;
    }
    int have_rf = VYN_GetDefaultRFOutputDir(rfdir, sizeof(rfdir)) && vyn_join_path(rfcand, sizeof(rfcand), rfdir, norm);
    if (have_cand && have_rf)
        vyn_set_error(errbuf, errbufsz,
                      "line %d: sector_pulsefile for sector %d not found; stored leafname '%s'; tried model-relative "
                      "'%s' and RF-output '%s'",
                      lineno, sector_index, stored, cand, rfcand);
    else if (have_rf)
        vyn_set_error(errbuf, errbufsz,
                      "line %d: sector_pulsefile for sector %d not found; stored leafname '%s'; tried RF-output '%s'",
                      lineno, sector_index, stored, rfcand);
    else if (have_cand)
        vyn_set_error(errbuf, errbufsz,
                      "line %d: sector_pulsefile for sector %d not found; stored leafname '%s'; tried model-relative "
                      "'%s'",
                      lineno, sector_index, stored, cand);
    else
        vyn_set_error(errbuf, errbufsz, "line %d: sector_pulsefile for sector %d not found; stored leafname '%s'",
                      lineno, sector_index, stored);
}

int vyn_make_portable_sector_pulse_path(const char* sequence_filename, const char* pulse_filename, char* out,
                                        size_t outsz) {
    if (!sequence_filename || !pulse_filename || !out || outsz == 0) return 0;
    out[0] = '\0';
    if (pulse_filename[0] == '\0') return 1;
    // A relative path that names an existing file is taken relative to the
    // working directory; the written file must name it relative to itself.
    char pulse[2048];
    if (!vyn_path_is_absolute(pulse_filename) && vyn_path_has_separator(pulse_filename) &&
        vyn_file_exists_local(pulse_filename)) {
        if (!seqfile_absolute_copy(pulse_filename, pulse, sizeof(pulse))) return 0;
    } else {
        if (strlen(pulse_filename) >= sizeof(pulse)) return 0;
        strcpy(pulse, pulse_filename);
        vyn_collapse_dot_segments(pulse);
    }
    if (vyn_path_is_absolute(pulse)) {
        char seqabs[2048];
        if (seqfile_absolute_copy(sequence_filename, seqabs, sizeof(seqabs))) {
            const int rel = vynmodel_relative_to_file(pulse, seqabs, out, outsz);
            if (rel >= 0) return rel;
        }
    }
    if (strlen(pulse) + 1 > outsz) return 0;
    strcpy(out, pulse);
    vyn_normalize_saved_path(out);
    return 1;
}

namespace {
// One line of a sector key (sector_type .. sector_remark): checks it against
// the keys seen so far and stores its value in seq. VYN_MODEL_OK, or the
// error with its message in errbuf.
VYNModelStatus vyn_read_sector_key_line(const char* filename, const char* line, int lineno, int seen_count,
                                        VYNPulseSequenceDef* seq, int (*sector_seen)[VYN_MODEL_SECTOR_CAP + 1],
                                        char* errbuf, size_t errbufsz) {
    const char* v = nullptr;
    int key = -1;
    for (int k = 0; k < SK_COUNT; ++k)
        if (starts_with_key(line, kSectorKeyNames[k], &v)) {
            key = k;
            break;
        }
    if (key < 0) {
        vyn_set_error(errbuf, errbufsz, "line %d: unknown sequence key", lineno);
        return VYN_MODEL_ERR_PARSE;
    }
    const char* kname = kSectorKeyNames[key];
    if (!seen_count) {
        vyn_set_error(errbuf, errbufsz, "line %d: key 'number_of_sectors' must appear before '%s'", lineno, kname);
        return VYN_MODEL_ERR_PARSE;
    }
    int s = 0, ival = 0;
    double dval = 0.0;
    char token[256] = "";
    int ok;
    if (key == SK_REMARK) {
        const char* end = v;
        if (!vyn_take_int(&end, &s) || !valid_sector_index(s) || s > seq->sector_count) {
            vyn_set_error(errbuf, errbufsz, "line %d: bad sector_remark index", lineno);
            return VYN_MODEL_ERR_PARSE;
        }
        while (isspace((unsigned char)*end)) ++end;
        if (vyn_reject_duplicate_scalar_key(&sector_seen[key][s], kname, lineno, errbuf, errbufsz)) {
            vyn_set_error(errbuf, errbufsz, "line %d: duplicate key '%s' for sector %d", lineno, kname, s);
            return VYN_MODEL_ERR_PARSE;
        }
        snprintf(seq->sectors[s].remark, sizeof(seq->sectors[s].remark), "%s", end);
        return VYN_MODEL_OK;
    }
    // The index and the value are whole numbers; a waveform path is one
    // token of at most 255 characters (a longer one would be cut into
    // another file's name), text after it is ignored.
    const char* p = v;
    ok = vyn_take_int(&p, &s);
    if (ok && (key == SK_DURATION || key == SK_STATOFF)) {
        ok = vyn_take_double(&p, &dval) && vyn_only_space(p);
    } else if (ok && key == SK_PULSEFILE) {
        while (isspace((unsigned char)*p)) ++p;
        size_t len = 0;
        while (p[len] && !isspace((unsigned char)p[len])) ++len;
        ok = len > 0 && len < sizeof(token);
        if (ok) {
            memcpy(token, p, len);
            token[len] = '\0';
        }
    } else if (ok) {
        ok = vyn_take_int(&p, &ival) && vyn_only_space(p);
    }
    if (!ok || !valid_sector_index(s) || s > seq->sector_count) {
        vyn_set_error(errbuf, errbufsz, "line %d: bad %s", lineno, kname);
        return VYN_MODEL_ERR_PARSE;
    }
    if (sector_seen[key][s]) {
        vyn_set_error(errbuf, errbufsz, "line %d: duplicate key '%s' for sector %d", lineno, kname, s);
        return VYN_MODEL_ERR_PARSE;
    }
    sector_seen[key][s] = 1;
    VYNPulseSectorDef& sec = seq->sectors[s];
    switch (key) {
        case SK_TYPE:
            sec.sector_type = ival;
            break;
        case SK_TIMEPOINTS:
            sec.number_of_timepoints = ival;
            break;
        case SK_EVOLPOINTS:
            sec.number_of_evolpoints = ival;
            break;
        case SK_DURATION:
            sec.total_duration_s = dval;
            break;
        case SK_STATOFF:
            sec.offset_frequency_hz = dval;
            break;
        case SK_PULSEFILE: {
            char resolved[2048];
            vyn_resolve_sector_pulse_path(filename, token, resolved, sizeof(resolved));
            if (!vyn_file_exists_local(resolved)) {
                vyn_set_sector_pulse_resolution_error(filename, s, token, lineno, errbuf, errbufsz);
                return VYN_MODEL_ERR_PARSE;
            }
            // A cut path would name another file: refuse instead.
            if (strlen(resolved) >= sizeof(sec.pulse_filename)) {
                vyn_set_error(errbuf, errbufsz,
                              "line %d: resolved sector_pulsefile for sector %d is longer than %d characters", lineno,
                              s, VYN_MODEL_FILENAME_LEN - 1);
                return VYN_MODEL_ERR_PARSE;
            }
            snprintf(sec.pulse_filename, sizeof(sec.pulse_filename), "%s", resolved);
            break;
        }
        default:
            break;
    }
    return VYN_MODEL_OK;
}
}  // namespace

VYNModelStatus vyn_load_pulse_sequence_text(const char* filename, VYNPulseSequenceDef* seq, char* errbuf,
                                            size_t errbufsz) {
    if (!filename || !seq) {
        vyn_set_error(errbuf, errbufsz, "sequence load arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNPulseSequenceDef_Init(seq);
    FILE* fp = vynmodel_open_text(filename);
    if (!fp) {
        vyn_set_error(errbuf, errbufsz, "could not open pulse sequence '%s'", filename);
        return VYN_MODEL_ERR_IO;
    }
    int seen_version = 0, seen_type = 0, seen_count = 0;
    int sector_seen[SK_COUNT][VYN_MODEL_SECTOR_CAP + 1] = {};
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
            if (vyn_reject_duplicate_scalar_key(&seen_version, "format_version", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!vynmodel_check_format_version(v, lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            continue;
        }
        if (starts_with_key(line, "sequence_name", &v) || starts_with_key(line, "model_name", &v)) continue;
        if (starts_with_key(line, "sequence_type", &v)) {
            if (vyn_reject_duplicate_scalar_key(&seen_type, "sequence_type", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!parse_int_strict(v, &seq->sequence_type)) {
                vyn_set_error(errbuf, errbufsz, "line %d: bad sequence_type", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            continue;
        }
        if (starts_with_key(line, "number_of_sectors", &v)) {
            if (vyn_reject_duplicate_scalar_key(&seen_count, "number_of_sectors", lineno, errbuf, errbufsz))
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            if (!seen_type) {
                vyn_set_error(errbuf, errbufsz, "line %d: key 'sequence_type' must appear before 'number_of_sectors'",
                              lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            int cnt;
            if (!parse_int_strict(v, &cnt)) {
                vyn_set_error(errbuf, errbufsz, "line %d: bad number_of_sectors", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            if (cnt < 0 || cnt > VYN_MODEL_SECTOR_CAP + 1) {
                vyn_set_error(errbuf, errbufsz, "line %d: number_of_sectors out of range", lineno);
                return vynmodel_close_fail(fp, VYN_MODEL_ERR_PARSE);
            }
            seq->sector_count = cnt;
            continue;
        }
        const VYNModelStatus st =
            vyn_read_sector_key_line(filename, line, lineno, seen_count, seq, sector_seen, errbuf, errbufsz);
        if (st != VYN_MODEL_OK) return vynmodel_close_fail(fp, st);
    }
    const VYNModelStatus closed = vynmodel_finish_read(fp, filename, errbuf, errbufsz);
    if (closed != VYN_MODEL_OK) return closed;
    if (!seen_version || !seen_type || !seen_count) {
        vyn_set_error(errbuf, errbufsz, "sequence file is missing one or more required sequence keys");
        return VYN_MODEL_ERR_PARSE;
    }
    for (int s = 1; s <= seq->sector_count; ++s) {
        for (int k = 0; k < SK_REMARK; ++k) {
            if (s > VYN_MODEL_SECTOR_CAP || !sector_seen[k][s]) {
                vyn_set_error(errbuf, errbufsz,
                              "sequence file is missing one or more required sector keys for sector %d", s);
                return VYN_MODEL_ERR_PARSE;
            }
        }
    }
    return VYNPulseSequenceDef_Validate(seq, errbuf, errbufsz);
}

VYNModelStatus vyn_write_pulse_sequence_text(const char* path, const char* name, const VYNPulseSequenceDef* seq,
                                             char* errbuf, size_t errbufsz) {
    FILE* fp = vynmodel_begin_write(path, "sequence_name", name, errbuf, errbufsz);
    if (!fp) return VYN_MODEL_ERR_IO;
    fprintf(fp, "sequence_type: %d\n", seq->sequence_type);
    fprintf(fp, "number_of_sectors: %d\n", seq->sector_count);
    for (int s = 1; s <= seq->sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq->sectors[s];
        char portable[VYN_MODEL_FILENAME_LEN * 2];
        if (!vyn_make_portable_sector_pulse_path(path, sec.pulse_filename, portable, sizeof(portable))) {
            vyn_set_error(errbuf, errbufsz, "could not derive portable sector path for sector %d", s);
            return vynmodel_close_fail(fp, VYN_MODEL_ERR_IO);
        }
        fprintf(fp, "sector_type: %d %d\n", s, sec.sector_type);
        fprintf(fp, "sector_timepoints: %d %d\n", s, sec.number_of_timepoints);
        fprintf(fp, "sector_evolpoints: %d %d\n", s, sec.number_of_evolpoints);
        fprintf(fp, "sector_duration_s: %d %.15g\n", s, sec.total_duration_s);
        fprintf(fp, "sector_pulsefile: %d %s\n", s, portable);
        fprintf(fp, "sector_statoff_hz: %d %.15g\n", s, sec.offset_frequency_hz);
        // The remark is one line of text: line breaks would start new keys.
        char remark[VYN_MODEL_REMARK_LEN];
        snprintf(remark, sizeof(remark), "%s", sec.remark);
        for (char* p = remark; *p; ++p)
            if (*p == '\n' || *p == '\r') *p = ' ';
        fprintf(fp, "sector_remark: %d %s\n", s, remark);
    }
    return vynmodel_finish_write(fp, path, errbuf, errbufsz);
}
