// Line syntax and strict number parsers shared by the three model text files.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vynmodel.h"

void trim_in_place(char* s) {
    if (!s) return;
    size_t len = strlen(s);
    while (len > 0 && isspace((unsigned char)s[len - 1])) s[--len] = '\0';
    size_t start = 0;
    while (s[start] && isspace((unsigned char)s[start])) ++start;
    if (start > 0) memmove(s, s + start, len - start + 1);
}

void vyn_strip_comment_and_trim(char* s) {
    if (!s) return;
    char* hash = strchr(s, '#');
    if (hash) *hash = '\0';
    trim_in_place(s);
}

int starts_with_key(const char* line, const char* key, const char** value) {
    if (!line || !key) return 0;
    size_t kl = strlen(key);
    if (strncmp(line, key, kl) != 0) return 0;
    const char* p = line + kl;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != ':') return 0;
    ++p;
    while (isspace((unsigned char)*p)) ++p;
    if (value) *value = p;
    return 1;
}

int vyn_only_space(const char* p) {
    if (!p) return 1;
    while (*p) {
        if (!isspace((unsigned char)*p)) return 0;
        ++p;
    }
    return 1;
}

static int vynmodel_only_space(const char* p) { return vyn_only_space(p); }

// A number ends at white space or at the end of the text: "1e-05ms", "4.9"
// for an integer or "1-2" never pass as numbers.
static int vynmodel_at_delimiter(const char* p) { return *p == '\0' || isspace((unsigned char)*p); }

// Reads one base-10 int at text; *end receives the position after it.
static int vynmodel_read_int(const char* text, int* out, const char** end) {
    errno = 0;
    char* e = nullptr;
    long v = strtol(text, &e, 10);
    if (e == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return 0;
    *out = (int)v;
    *end = e;
    return 1;
}

// Length of a decimal real at p ([sign] digits [. digits] [exponent], at least
// one digit before the exponent); 0 when there is none. Hexadecimal forms,
// "inf" and "nan" are not decimal reals.
static size_t vynmodel_decimal_span(const char* p) {
    size_t i = 0, digits = 0;
    if (p[i] == '+' || p[i] == '-') ++i;
    while (isdigit((unsigned char)p[i])) ++i, ++digits;
    if (p[i] == '.') {
        ++i;
        while (isdigit((unsigned char)p[i])) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (p[i] == 'e' || p[i] == 'E') {
        size_t j = i + 1;
        if (p[j] == '+' || p[j] == '-') ++j;
        if (!isdigit((unsigned char)p[j])) return 0;
        while (isdigit((unsigned char)p[j])) ++j;
        i = j;
    }
    return i;
}

// Reads one finite decimal real at text (leading white space allowed).
static int vynmodel_read_double(const char* text, double* out, const char** end) {
    const char* p = text;
    while (isspace((unsigned char)*p)) ++p;
    const size_t span = vynmodel_decimal_span(p);
    if (span == 0) return 0;
    errno = 0;
    char* e = nullptr;
    double v = strtod(p, &e);
    if (e != p + span || errno == ERANGE || !std::isfinite(v)) return 0;
    *out = v;
    *end = e;
    return 1;
}

int parse_int_strict(const char* text, int* out) {
    if (!text || !out) return 0;
    int v;
    const char* end;
    if (!vynmodel_read_int(text, &v, &end) || !vynmodel_only_space(end)) return 0;
    *out = v;
    return 1;
}

int parse_double_strict(const char* text, double* out) {
    if (!text || !out) return 0;
    double v;
    const char* end;
    if (!vynmodel_read_double(text, &v, &end) || !vynmodel_only_space(end)) return 0;
    *out = v;
    return 1;
}

int vyn_take_int(const char** p, int* out) {
    if (!p || !*p || !out) return 0;
    int v;
    const char* end;
    if (!vynmodel_read_int(*p, &v, &end) || !vynmodel_at_delimiter(end)) return 0;
    *out = v;
    *p = end;
    return 1;
}

int vyn_take_double(const char** p, double* out) {
    if (!p || !*p || !out) return 0;
    double v;
    const char* end;
    if (!vynmodel_read_double(*p, &v, &end) || !vynmodel_at_delimiter(end)) return 0;
    *out = v;
    *p = end;
    return 1;
}

// Lists store their values 1-based: out[1..n].
int parse_int_list(const char* text, int n, int* out) {
    if (!text || !out || n < 0) return 0;
    const char* p = text;
    for (int i = 1; i <= n; ++i)
        if (!vyn_take_int(&p, &out[i])) return 0;
    return vynmodel_only_space(p);
}

int parse_double_list(const char* text, int n, double* out) {
    if (!text || !out || n < 0) return 0;
    const char* p = text;
    for (int i = 1; i <= n; ++i)
        if (!vyn_take_double(&p, &out[i])) return 0;
    return vynmodel_only_space(p);
}

int vyn_reject_duplicate_scalar_key(int* seen_flag, const char* key, int lineno, char* errbuf, size_t errbufsz) {
    if (*seen_flag) {
        vyn_set_error(errbuf, errbufsz, "line %d: duplicate key '%s'", lineno, key);
        return 1;
    }
    *seen_flag = 1;
    return 0;
}

void vyn_set_list_length_error(const char* key, int expected, const char* text, int lineno, char* errbuf,
                               size_t errbufsz) {
    int count = 0;
    const char* p = text ? text : "";
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (!*p) break;
        ++count;
        while (*p && !(*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
    }
    if (count < expected)
        vyn_set_error(errbuf, errbufsz, "line %d: key '%s' has too few values (expected %d, got %d)", lineno, key,
                      expected, count);
    else if (count > expected)
        vyn_set_error(errbuf, errbufsz, "line %d: key '%s' has too many values (expected %d, got %d)", lineno, key,
                      expected, count);
    else
        vyn_set_error(errbuf, errbufsz, "line %d: key '%s' contains malformed numeric data", lineno, key);
}

int vyn_extract_metadata_token(const char* text, const char* name, char* out, size_t cap) {
    if (!text || !name || !out || cap == 0) return 0;
    out[0] = '\0';
    size_t nl = strlen(name);
    for (const char* p = text; *p; ++p) {
        if (p != text && !isspace((unsigned char)p[-1])) continue;
        if (strncmp(p, name, nl) != 0 || p[nl] != '=') continue;
        const char* v = p + nl + 1;
        size_t len = 0;
        while (v[len] && !isspace((unsigned char)v[len])) ++len;
        if (len > cap - 1) len = cap - 1;
        memcpy(out, v, len);
        out[len] = '\0';
        return 1;
    }
    return 0;
}

int vyn_parse_spin_index_list(const char* text, int* out, int* count) {
    if (!text || !out || !count) return 0;
    *count = 0;
    if (strcmp(text, "not_modeled") == 0) return 1;
    const char* p = text;
    int n = 0;
    while (*p) {
        if (*p == ',') {
            if (n == 0) return 0;  // nothing before the first comma
            ++p;
            continue;
        }
        if (!isdigit((unsigned char)*p)) return 0;
        int v;
        const char* end;
        if (!vynmodel_read_int(p, &v, &end)) return 0;
        if (v < 1 || v > VYN_MODEL_MAX_SPINS || n >= VYN_MODEL_MAX_SPINS) return 0;
        if (*end != ',' && *end != '\0') return 0;
        out[n++] = v;
        p = end;
    }
    if (n == 0) return 0;
    *count = n;
    return 1;
}

int vyn_parse_ppm_list_average(const char* text, double* mean, int* count) {
    if (!text || !mean || !count) return 0;
    *mean = 0.0;
    *count = 0;
    if (strcmp(text, "not_listed") == 0 || strcmp(text, "none") == 0) return 1;
    const char* p = text;
    int n = 0;
    double sum = 0.0;
    while (*p) {
        if (*p == ',') {
            if (n == 0) return 0;
            ++p;
            continue;
        }
        if (isspace((unsigned char)*p)) return 0;
        double v;
        const char* end;
        if (!vynmodel_read_double(p, &v, &end)) return 0;
        if (*end != ',' && *end != '\0') return 0;
        sum += v;
        ++n;
        p = end;
    }
    if (n == 0) return 0;
    *mean = sum / n;
    *count = n;
    return 1;
}

int vyn_parse_quelder_subgroup(const char* value, VYNSpinSystemDef* spin, int lineno, char* errbuf, size_t errbufsz) {
    if (!value || !spin) return 0;
    if (spin->subgroup_count >= VYN_MODEL_MAX_SUBGROUPS) {
        vyn_set_error(errbuf, errbufsz, "line %d: too many quelder_subgroup records", lineno);
        return 0;
    }
    char label[VYN_MODEL_SUBGROUP_LABEL_LEN], spins_text[128], ppm_text[128];
    if (!vyn_extract_metadata_token(value, "label", label, sizeof(label))) label[0] = '\0';
    int spins[VYN_MODEL_MAX_SPINS];
    int nspin = 0;
    if (!vyn_extract_metadata_token(value, "spins", spins_text, sizeof(spins_text)) || spins_text[0] == '\0' ||
        !vyn_parse_spin_index_list(spins_text, spins, &nspin)) {
        vyn_set_error(errbuf, errbufsz, "line %d: bad quelder_subgroup spins field", lineno);
        return 0;
    }
    double mean = 0.0;
    int nppm = 0;
    if (!vyn_extract_metadata_token(value, "ppm", ppm_text, sizeof(ppm_text)) || ppm_text[0] == '\0' ||
        !vyn_parse_ppm_list_average(ppm_text, &mean, &nppm)) {
        vyn_set_error(errbuf, errbufsz, "line %d: bad quelder_subgroup ppm field", lineno);
        return 0;
    }
    int g = spin->subgroup_count;
    snprintf(spin->subgroup_labels[g], sizeof(spin->subgroup_labels[g]), "%s", label);
    spin->subgroup_spin_count[g] = nspin;
    for (int i = 0; i < 9; ++i) spin->subgroup_spins[g][i] = i < nspin ? spins[i] : 0;
    spin->subgroup_ppm_count[g] = nppm;
    spin->subgroup_ppm[g] = mean;
    spin->subgroup_count = g + 1;
    return 1;
}
