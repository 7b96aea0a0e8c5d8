// Opening, closing and relative paths shared by the model text files.
#include "vynmodel_textfile.h"

#include <cstring>

#include "vynpaths.h"

int vynmodel_read_line(FILE* fp, char* buf, size_t cap) {
    // The buffer is cleared first so that a line break found in it is the one
    // fgets read, even when the line holds a NUL byte before it.
    memset(buf, 0, cap);
    if (!fgets(buf, (int)cap, fp)) return 0;
    if (memchr(buf, '\n', cap)) return 1;
    // No line break: either the last line of the file, or the buffer was full.
    const int c = fgetc(fp);
    if (c == EOF || c == '\n') return 1;
    // Skip the rest of the over-long line so that nothing of it is read as a line.
    int d = c;
    while (d != EOF && d != '\n') d = fgetc(fp);
    return -1;
}

void vynmodel_set_long_line_error(int lineno, char* errbuf, size_t errbufsz) {
    vyn_set_error(errbuf, errbufsz, "line %d: line is longer than %d characters", lineno, VYNMODEL_MAX_LINE);
}

FILE* vynmodel_open_text(const char* filename) { return vyn_fopen_regular(filename, "r"); }

VYNModelStatus vynmodel_close_fail(FILE* fp, VYNModelStatus st) {
    fclose(fp);
    return st;
}

int vynmodel_check_format_version(const char* value, int lineno, char* errbuf, size_t errbufsz) {
    int fv;
    if (!parse_int_strict(value, &fv) || fv != VYN_MODEL_FORMAT_VERSION) {
        vyn_set_error(errbuf, errbufsz, "line %d: unsupported format_version", lineno);
        return 0;
    }
    return 1;
}

VYNModelStatus vynmodel_finish_read(FILE* fp, const char* filename, char* errbuf, size_t errbufsz) {
    if (fclose(fp) != 0) {
        vyn_set_error(errbuf, errbufsz, "failed while closing '%s'", filename);
        return VYN_MODEL_ERR_IO;
    }
    return VYN_MODEL_OK;
}

FILE* vynmodel_begin_write(const char* path, const char* name_key, const char* name, char* errbuf, size_t errbufsz) {
    FILE* fp = fopen(path, "w");
    if (!fp) {
        vyn_set_error(errbuf, errbufsz, "could not open '%s' for writing", path);
        return nullptr;
    }
    fprintf(fp, "format_version: %d\n", VYN_MODEL_FORMAT_VERSION);
    fprintf(fp, "%s: %s\n\n", name_key, name);
    return fp;
}

VYNModelStatus vynmodel_finish_write(FILE* fp, const char* path, char* errbuf, size_t errbufsz) {
    int werr = ferror(fp);
    if (fclose(fp) != 0 || werr) {
        vyn_set_error(errbuf, errbufsz, "failed while closing '%s'", path);
        return VYN_MODEL_ERR_IO;
    }
    return VYN_MODEL_OK;
}

int vynmodel_relative_to_file(const char* path, const char* base_filename, char* out, size_t outsz) {
    char prefix[2048], tail[2048];
    if (vyn_dirname_copy(base_filename, prefix, sizeof(prefix)) &&
        vyn_tail_after_prefix(path, prefix, tail, sizeof(tail)) && tail[0] != '\0') {
        if (strlen(tail) + 1 > outsz) return 0;
        strcpy(out, tail);
        vyn_normalize_saved_path(out);
        return 1;
    }
    if (vyn_parent_dir_copy(base_filename, prefix, sizeof(prefix)) &&
        vyn_tail_after_prefix(path, prefix, tail, sizeof(tail)) && tail[0] != '\0') {
        int n = snprintf(out, outsz, "../%s", tail);
        if (n < 0 || (size_t)n >= outsz) {
            out[0] = '\0';
            return 0;
        }
        vyn_normalize_saved_path(out);
        return 1;
    }
    return -1;
}
