// dm.bin-family file access (little-endian host layout).
#include "vyn_prop_dmio.h"

#include <cstdint>
#include <cstring>

static_assert(sizeof(int32_t) == 4 && sizeof(double) == 8, "file layout needs 4-byte ints and 8-byte doubles");

namespace {
double vyn_dm_rowbuf[2 * MATRIXMATH_DIM];
}

bool vyn_dm_write_header(FILE* f, int type, int num1, int num2) {
    if (!f) return false;
    const int32_t v[3] = {type, num1, num2};
    for (int i = 0; i < 3; ++i)
        if (std::fwrite(&v[i], 4, 1, f) != 1) return false;
    return true;
}

bool vyn_dm_read_header(FILE* f, int* type, int* num1, int* num2) {
    if (!f || !type || !num1 || !num2) return false;
    int32_t v[3];
    for (int i = 0; i < 3; ++i)
        if (std::fread(&v[i], 4, 1, f) != 1) return false;
    *type = v[0];
    *num1 = v[1];
    *num2 = v[2];
    return true;
}

bool vyn_dm_write_matrix(FILE* f, int n, const CMatrix& m) {
    if (!f || n < 1 || n > MATRIXMATH_DIM) return false;
    for (int r = 1; r <= n; ++r) {
        for (int c = 1; c <= n; ++c) {
            vyn_dm_rowbuf[2 * (c - 1)] = m(r, c).real();
            vyn_dm_rowbuf[2 * (c - 1) + 1] = m(r, c).imag();
        }
        if (std::fwrite(vyn_dm_rowbuf, sizeof(double), 2 * static_cast<size_t>(n), f) != 2 * static_cast<size_t>(n))
            return false;
    }
    return true;
}

bool vyn_dm_read_matrix(FILE* f, int n, CMatrix& m) {
    if (!f || n < 1 || n > MATRIXMATH_DIM) return false;
    for (int r = 1; r <= n; ++r) {
        if (std::fread(vyn_dm_rowbuf, sizeof(double), 2 * static_cast<size_t>(n), f) != 2 * static_cast<size_t>(n))
            return false;
        for (int c = 1; c <= n; ++c) m(r, c) = {vyn_dm_rowbuf[2 * (c - 1)], vyn_dm_rowbuf[2 * (c - 1) + 1]};
    }
    return true;
}

long long vyn_dm_bytes_left(FILE* f) {
    if (!f) return -1;
    long pos = std::ftell(f);
    if (pos < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
    long end = std::ftell(f);
    if (std::fseek(f, pos, SEEK_SET) != 0 || end < pos) return -1;
    return static_cast<long long>(end - pos);
}

bool vyn_dm_body_holds(FILE* f, long long count, long long record_bytes) {
    if (count < 0 || record_bytes < 0) return false;
    long long left = vyn_dm_bytes_left(f);
    if (left < 0) return false;
    if (record_bytes > 0 && count > left / record_bytes) return false;
    return count * record_bytes <= left;
}
