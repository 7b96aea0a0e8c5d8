// Partial voxel sums: writer, strict reader and merge.
#include "vynbasis_part.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binaryfilehandling.h"
#include "matrixmathlib.h"
#include "vynpaths.h"

namespace {
constexpr int kMaxGrid = 256;                   // the spatial engine's bound per axis
constexpr long long kMaxFileBytes = 1LL << 30;  // far above 256 x 256 states as text

// A cursor over the text: one whitespace-separated token at a time, lines kept apart.
struct PartText {
    const char* p;
    const char* end;
    int line = 1;

    // The rest of the current line (without the newline); false at the end of the text.
    bool next_line(std::string* out) {
        if (p >= end) return false;
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        out->assign(p, stop);
        p = nl ? nl + 1 : end;
        ++line;
        return true;
    }
};

bool fail(std::string* err, int line, const std::string& what) {
    if (err) *err = "line " + std::to_string(line) + ": " + what;
    return false;
}

// "key value" with the key checked; value is the rest after one space.
bool keyed(PartText& t, const char* key, std::string* value, std::string* err) {
    std::string line;
    const int at = t.line;
    if (!t.next_line(&line)) return fail(err, at, std::string("missing '") + key + "'");
    const size_t k = std::strlen(key);
    if (line.compare(0, k, key) != 0 || line.size() < k + 2 || line[k] != ' ')
        return fail(err, at, std::string("expected '") + key + " ...'");
    *value = line.substr(k + 1);
    return true;
}

// Whole-string integer in [lo, hi].
bool whole_int(const char* s, long long lo, long long hi, long long* out, const char** rest) {
    errno = 0;
    char* e = nullptr;
    const long long v = std::strtoll(s, &e, 10);
    if (e == s || errno != 0 || v < lo || v > hi) return false;
    *out = v;
    *rest = e;
    return true;
}

bool parse_ints(const std::string& s, int count, long long lo, long long hi, long long* out) {
    const char* p = s.c_str();
    for (int i = 0; i < count; ++i) {
        if (*p != (i ? ' ' : *p)) return false;
        if (!whole_int(p, lo, hi, &out[i], &p)) return false;
    }
    return *p == '\0';
}

bool parse_header(PartText& t, VYNBasisPart* part, std::string* err) {
    std::string v;
    if (!keyed(t, "vyn-voxel-sum", &v, err)) return false;
    if (v != "1") return fail(err, 1, "unknown version '" + v + "'");
    if (!keyed(t, "model_name", &part->model_name, err) || !keyed(t, "model_file", &part->model_file, err))
        return false;
    if (!keyed(t, "model_hash", &v, err)) return false;
    char* e = nullptr;
    errno = 0;
    part->model_hash = std::strtoull(v.c_str(), &e, 16);
    if (v.size() != 16 || errno != 0 || *e != '\0') return fail(err, t.line - 1, "model_hash needs 16 hex digits");
    long long g[3], r[2], n;
    if (!keyed(t, "grid", &v, err)) return false;
    if (!parse_ints(v, 3, 1, kMaxGrid, g)) return fail(err, t.line - 1, "grid needs three sizes in 1..256");
    for (int i = 0; i < 3; ++i) part->grid[i] = static_cast<int>(g[i]);
    if (!keyed(t, "range", &v, err)) return false;
    if (!parse_ints(v, 2, 1, part->voxels(), r) || r[0] + r[1] - 1 > part->voxels())
        return fail(err, t.line - 1, "range must lie within the grid");
    part->first = r[0];
    part->count = r[1];
    if (!keyed(t, "states", &v, err)) return false;
    if (!parse_ints(v, 1, 1, MATRIXMATH_DIM, &n)) return fail(err, t.line - 1, "states must be 1..256");
    part->states = static_cast<int>(n);
    return true;
}
}  // namespace

bool vyn_basis_hash_file(const char* path, uint64_t* hash) {
    FILE* f = path ? vyn_fopen_regular(path, "rb") : nullptr;
    if (!f) return false;
    unsigned char buf[65536];
    size_t got;
    uint64_t h = *hash;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        for (size_t i = 0; i < got; ++i) h = (h ^ buf[i]) * 1099511628211ULL;
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (ok) *hash = h;
    return ok;
}

bool vyn_basis_write_part(const char* path, const VYNBasisPart& part, std::string* err) {
    char tmp[4200];
    FILE* f = binfh_replace_begin(path, "w", tmp, sizeof tmp);
    if (!f) {
        if (err) *err = std::string("cannot create ") + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fprintf(f,
                           "vyn-voxel-sum 1\nmodel_name %s\nmodel_file %s\nmodel_hash %016" PRIx64
                           "\ngrid %d %d %d\nrange %lld %lld\nstates %d\n",
                           part.model_name.c_str(), part.model_file.c_str(), part.model_hash, part.grid[0],
                           part.grid[1], part.grid[2], part.first, part.count, part.states) > 0;
    for (size_t i = 0; ok && i < part.sum.size(); ++i)
        ok = std::fprintf(f, "%.17g %.17g\n", part.sum[i].real(), part.sum[i].imag()) > 0;
    ok = ok && std::fputs("end\n", f) >= 0;
    if (!ok) {
        binfh_replace_abort(f, tmp);
        if (err) *err = std::string("write error on ") + path;
        return false;
    }
    if (!binfh_replace_commit(f, tmp, path)) {
        if (err) *err = std::string("cannot rename into ") + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool vyn_basis_parse_part(const char* text, size_t length, VYNBasisPart* part, std::string* err) {
    PartText t{text, text + length};
    *part = VYNBasisPart();
    if (!parse_header(t, part, err)) return false;
    const size_t nn = static_cast<size_t>(part->states) * part->states;
    part->sum.resize(nn);
    std::string line;
    for (size_t i = 0; i < nn; ++i) {
        const int at = t.line;
        if (!t.next_line(&line)) return fail(err, at, "the matrix ends early");
        const char* p = line.c_str();
        char* e = nullptr;
        const double re = std::strtod(p, &e);
        if (e == p || *e != ' ') return fail(err, at, "expected 're im'");
        p = e + 1;
        const double im = std::strtod(p, &e);
        if (e == p || *e != '\0') return fail(err, at, "expected 're im'");
        if (!std::isfinite(re) || !std::isfinite(im)) return fail(err, at, "non-finite value");
        part->sum[i] = {re, im};
    }
    const int at = t.line;
    if (!t.next_line(&line) || line != "end" || t.p != t.end) return fail(err, at, "expected 'end' as the last line");
    return true;
}

bool vyn_basis_read_part(const char* path, VYNBasisPart* part, std::string* err) {
    FILE* f = vyn_fopen_regular(path, "rb");
    if (!f) {
        if (err) *err = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0 && static_cast<long long>(text.size()) <= kMaxFileBytes)
        text.append(buf, got);
    const bool read_error = std::ferror(f);
    std::fclose(f);
    if (read_error || static_cast<long long>(text.size()) > kMaxFileBytes) {
        if (err) *err = read_error ? "read error" : "larger than any part file";
        return false;
    }
    return vyn_basis_parse_part(text.data(), text.size(), part, err);
}

bool vyn_basis_merge_parts(const std::vector<VYNBasisPart>& parts, const std::vector<std::string>& names,
                           VYNBasisPart* total, std::string* err) {
    if (parts.empty()) {
        if (err) *err = "no parts";
        return false;
    }
    const VYNBasisPart& a = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
        const VYNBasisPart& b = parts[i];
        if (b.model_name != a.model_name || b.model_hash != a.model_hash || b.states != a.states ||
            b.grid[0] != a.grid[0] || b.grid[1] != a.grid[1] || b.grid[2] != a.grid[2]) {
            if (err) *err = names[i] + " is not of the model, grid and states of " + names[0];
            return false;
        }
    }
    std::vector<size_t> order(parts.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return parts[x].first < parts[y].first; });
    long long next = 1;
    for (size_t k = 0; k < order.size(); ++k) {
        const VYNBasisPart& p = parts[order[k]];
        if (p.first != next) {
            if (err)
                *err = p.first < next
                           ? names[order[k]] + " overlaps " + names[order[k - 1]] + " (voxel " +
                                 std::to_string(p.first) + ")"
                           : "voxels " + std::to_string(next) + ".." + std::to_string(p.first - 1) + " are in no part";
            return false;
        }
        next = p.first + p.count;
    }
    if (next != a.voxels() + 1) {
        if (err) *err = "voxels " + std::to_string(next) + ".." + std::to_string(a.voxels()) + " are in no part";
        return false;
    }
    *total = a;
    total->first = 1;
    total->count = a.voxels();
    std::fill(total->sum.begin(), total->sum.end(), std::complex<double>());
    for (size_t k : order)
        for (size_t i = 0; i < total->sum.size(); ++i) total->sum[i] += parts[k].sum[i];
    return true;
}
