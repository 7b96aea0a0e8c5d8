#include "binaryfilehandling.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "vynpaths.h"

binfh_status binfh_last_status = BINFH_OK;

namespace {

constexpr int kMaxDim = MATRIXMATH_DIM;
constexpr std::size_t kCopyChunk = 8192;
constexpr std::size_t kMaxPath = 4096;

// One row of the largest matrix: 2 * 256 doubles.
unsigned char binfh_rowbytes[2 * kMaxDim * 8];
double binfh_rowvals[2 * kMaxDim];

binfh_status binfh_set(binfh_status st) {
    binfh_last_status = st;
    return st;
}

bool binfh_host_is_little_endian() {
    const uint16_t probe = 1;
    unsigned char b;
    std::memcpy(&b, &probe, 1);
    return b == 1;
}

bool binfh_write_i32(FILE* f, int32_t v) {
    unsigned char b[4];
    binfh_encode_i32_le(v, b);
    return std::fwrite(b, 4, 1, f) == 1;
}

bool binfh_read_i32(FILE* f, int32_t* v) {
    unsigned char b[4];
    if (std::fread(b, 4, 1, f) != 1) return false;
    *v = binfh_decode_i32_le(b);
    return true;
}

bool binfh_row_args_ok(FILE* f, int n, int row) { return f && n >= 1 && n <= kMaxDim && row >= 1 && row <= n; }

}  // namespace

void binfh_print_error(const char* context) {
    const int err = errno;
    const char* ctx = (context && context[0]) ? context : "I/O error";
    const char* text = err ? std::strerror(err) : "unexpected end of file or short transfer";
    std::fprintf(stderr, "%s: %s\n", ctx, text);
}

void binfh_encode_i32_le(int32_t v, unsigned char out[4]) {
    const uint32_t u = static_cast<uint32_t>(v);
    out[0] = static_cast<unsigned char>(u & 0xffu);
    out[1] = static_cast<unsigned char>((u >> 8) & 0xffu);
    out[2] = static_cast<unsigned char>((u >> 16) & 0xffu);
    out[3] = static_cast<unsigned char>((u >> 24) & 0xffu);
}

int32_t binfh_decode_i32_le(const unsigned char in[4]) {
    const uint32_t u = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                       (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
    int32_t v;
    std::memcpy(&v, &u, 4);
    return v;
}

void binfh_encode_doubles_le(const double* in, std::size_t count, unsigned char* out) {
    if (binfh_host_is_little_endian()) {
        std::memcpy(out, in, count * 8);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t u;
        std::memcpy(&u, &in[i], 8);
        for (int b = 0; b < 8; ++b) out[8 * i + b] = static_cast<unsigned char>((u >> (8 * b)) & 0xffu);
    }
}

bool binfh_fwrite_doubles_le(const double* in, std::size_t count, FILE* f) {
    if (binfh_host_is_little_endian()) return std::fwrite(in, sizeof(double), count, f) == count;
    unsigned char buf[8 * 256];
    while (count > 0) {
        const std::size_t step = count < 256 ? count : 256;
        binfh_encode_doubles_le(in, step, buf);
        if (std::fwrite(buf, 8, step, f) != step) return false;
        in += step;
        count -= step;
    }
    return true;
}

bool binfh_fread_doubles_le(double* out, std::size_t count, FILE* f) {
    if (std::fread(out, sizeof(double), count, f) != count) return false;
    if (!binfh_host_is_little_endian()) {
        // Decode in place: each 8-byte group is read before it is overwritten.
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char b[8];
            std::memcpy(b, &out[i], 8);
            binfh_decode_doubles_le(b, 1, &out[i]);
        }
    }
    return true;
}

void binfh_decode_doubles_le(const unsigned char* in, std::size_t count, double* out) {
    if (binfh_host_is_little_endian()) {
        std::memcpy(out, in, count * 8);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t u = 0;
        for (int b = 0; b < 8; ++b) u |= static_cast<uint64_t>(in[8 * i + b]) << (8 * b);
        std::memcpy(&out[i], &u, 8);
    }
}

// --- Header ------------------------------------------------------------------------

binfh_status ReadBinFileHeader_status(FILE* f, int32_t* type, int32_t* num1, int32_t* num2) {
    if (!f || !type || !num1 || !num2) return binfh_set(BINFH_ERR_NULLPTR);
    int32_t t, a, b;
    errno = 0;
    if (!binfh_read_i32(f, &t)) {
        binfh_print_error("fread(type)");
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_read_i32(f, &a)) {
        binfh_print_error("fread(num1)");
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_read_i32(f, &b)) {
        binfh_print_error("fread(num2)");
        return binfh_set(BINFH_ERR_IO);
    }
    *type = t;
    *num1 = a;
    *num2 = b;
    return binfh_set(BINFH_OK);
}

binfh_status WriteBinFileHeader_status(FILE* f, int32_t type, int32_t num1, int32_t num2) {
    if (!f) return binfh_set(BINFH_ERR_NULLPTR);
    errno = 0;
    if (!binfh_write_i32(f, type)) {
        binfh_print_error("fwrite(type)");
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_write_i32(f, num1)) {
        binfh_print_error("fwrite(num1)");
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_write_i32(f, num2)) {
        binfh_print_error("fwrite(num2)");
        return binfh_set(BINFH_ERR_IO);
    }
    return binfh_set(BINFH_OK);
}

void ReadBinFileHeader(FILE* f, int32_t* type, int32_t* num1, int32_t* num2) {
    if (type) *type = 0;
    if (num1) *num1 = 0;
    if (num2) *num2 = 0;
    ReadBinFileHeader_status(f, type, num1, num2);
}

void WriteBinFileHeader(FILE* f, const int32_t* type, const int32_t* num1, const int32_t* num2) {
    if (!type || !num1 || !num2) {
        binfh_set(BINFH_ERR_NULLPTR);
        return;
    }
    WriteBinFileHeader_status(f, *type, *num1, *num2);
}

void WriteBinFileHeaderI(FILE* f, int32_t type, int32_t num1, int32_t num2) {
    WriteBinFileHeader_status(f, type, num1, num2);
}

int64_t binfh_body_bytes(int32_t type, int32_t num1, int32_t num2) {
    if (num2 < 0) return -1;
    if (type == BINFH_TYPE_DENSITY) {
        if (num1 < 1 || num1 > kMaxDim) return -1;
        return 16 * static_cast<int64_t>(num1) * num1 * num2;  // at most 2^51
    }
    if (type == BINFH_TYPE_SIGNAL) {
        if (num1 < 0) return -1;
        const int64_t per_trace = 16 * static_cast<int64_t>(num1);  // at most 2^35
        if (per_trace != 0 && num2 > INT64_MAX / per_trace) return -1;
        return per_trace * num2;
    }
    return -1;
}

binfh_status binfh_read_header_checked_status(FILE* f, int32_t* type, int32_t* num1, int32_t* num2) {
    if (!f || !type || !num1 || !num2) return binfh_set(BINFH_ERR_NULLPTR);
    int32_t t, a, b;
    const binfh_status st = ReadBinFileHeader_status(f, &t, &a, &b);
    if (st != BINFH_OK) return st;
    const int64_t body = binfh_body_bytes(t, a, b);
    if (body < 0) {
        std::fprintf(stderr, "binary file header not valid: type=%d num1=%d num2=%d\n", t, a, b);
        return binfh_set(BINFH_ERR_BADARG);
    }
    // Compare with what the file holds behind the header (regular files only;
    // for other streams short reads are caught by the readers).
    struct stat sb;
    const long pos = std::ftell(f);
    if (pos >= 0 && fstat(fileno(f), &sb) == 0 && S_ISREG(sb.st_mode)) {
        const int64_t avail = static_cast<int64_t>(sb.st_size) - pos;
        if (avail < body) {
            std::fprintf(stderr,
                         "binary file truncated: header (type=%d num1=%d num2=%d) announces %lld bytes, "
                         "file holds %lld\n",
                         t, a, b, static_cast<long long>(body), static_cast<long long>(avail < 0 ? 0 : avail));
            return binfh_set(BINFH_ERR_BADARG);
        }
    }
    *type = t;
    *num1 = a;
    *num2 = b;
    return binfh_set(BINFH_OK);
}

FILE* binfh_open_checked(const char* path, int32_t* type, int32_t* num1, int32_t* num2) {
    if (!path || !type || !num1 || !num2) {
        binfh_set(BINFH_ERR_NULLPTR);
        return nullptr;
    }
    errno = 0;
    FILE* f = vyn_fopen_regular(path, "rb");
    if (!f) {
        binfh_print_error(path);
        binfh_set(BINFH_ERR_IO);
        return nullptr;
    }
    if (binfh_read_header_checked_status(f, type, num1, num2) != BINFH_OK) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

// --- Row codec ---------------------------------------------------------------------

bool write_cmatrix_row(FILE* f, int n, const CMatrix& M, int row) {
    if (!binfh_row_args_ok(f, n, row)) return false;
    for (int c = 1; c <= n; ++c) {
        binfh_rowvals[2 * (c - 1)] = M.re(row, c);
        binfh_rowvals[2 * (c - 1) + 1] = M.im(row, c);
    }
    const std::size_t cnt = 2 * static_cast<std::size_t>(n);
    binfh_encode_doubles_le(binfh_rowvals, cnt, binfh_rowbytes);
    return std::fwrite(binfh_rowbytes, 8, cnt, f) == cnt;
}

bool read_cmatrix_row(FILE* f, int n, CMatrix& M, int row) {
    if (!binfh_row_args_ok(f, n, row)) return false;
    const std::size_t cnt = 2 * static_cast<std::size_t>(n);
    if (std::fread(binfh_rowbytes, 8, cnt, f) != cnt) return false;
    binfh_decode_doubles_le(binfh_rowbytes, cnt, binfh_rowvals);
    for (int c = 1; c <= n; ++c)
        M(row, c) = std::complex<double>(binfh_rowvals[2 * (c - 1)], binfh_rowvals[2 * (c - 1) + 1]);
    return true;
}

bool read_density_matrix(FILE* f, int n, int rows, CMatrix& M) {
    if (!f || n < 1 || n > kMaxDim || rows < 1 || rows > n) return false;
    for (int r = 1; r <= rows; ++r)
        if (!read_cmatrix_row(f, n, M, r)) return false;
    return true;
}

bool write_density_matrix(FILE* f, int n, const CMatrix& M) {
    if (!f || n < 1 || n > kMaxDim) return false;
    for (int r = 1; r <= n; ++r)
        if (!write_cmatrix_row(f, n, M, r)) return false;
    return true;
}

bool binfh_write_matrix_copies(FILE* f, int n, const CMatrix& M, int count) {
    if (count < 0) return false;
    for (int k = 0; k < count; ++k)
        if (!write_density_matrix(f, n, M)) return false;
    return true;
}

// --- Files -------------------------------------------------------------------------

FILE* binfh_replace_begin(const char* dst_path, const char* mode, char* tmp, std::size_t tmpsz) {
    if (!dst_path || !dst_path[0] || !mode || !tmp || tmpsz == 0) return nullptr;
    tmp[0] = '\0';
    if (std::strlen(dst_path) > kMaxPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const int w = std::snprintf(tmp, tmpsz, "%s.part%ld-%d", dst_path, static_cast<long>(getpid()), attempt);
        if (w < 0 || static_cast<std::size_t>(w) >= tmpsz) {
            errno = ENAMETOOLONG;
            tmp[0] = '\0';
            return nullptr;
        }
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        tmp[0] = '\0';
        return nullptr;
    }
    FILE* out = fdopen(fd, mode);
    if (!out) {
        const int err = errno;
        close(fd);
        unlink(tmp);
        tmp[0] = '\0';
        errno = err;
    }
    return out;
}

bool binfh_replace_commit(FILE* out, const char* tmp, const char* dst_path) {
    if (!out || !tmp || !dst_path) return false;
    errno = 0;
    bool ok = !std::ferror(out);
    if (std::fflush(out) != 0) ok = false;
    if (std::fclose(out) != 0) ok = false;
    if (ok && std::rename(tmp, dst_path) != 0) ok = false;
    if (!ok) {
        const int err = errno;
        unlink(tmp);
        errno = err;
    }
    return ok;
}

void binfh_replace_abort(FILE* out, const char* tmp) {
    if (out) std::fclose(out);
    if (tmp && tmp[0]) unlink(tmp);
}

bool binfh_matrix_is_finite(int n, const CMatrix& M) {
    if (n < 1 || n > kMaxDim) return false;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            if (!std::isfinite(M.re(r, c)) || !std::isfinite(M.im(r, c))) return false;
    return true;
}

bool copy_file_binary(const char* src_path, const char* dst_path) {
    if (!src_path || !dst_path || !src_path[0] || !dst_path[0]) return false;
    if (std::strlen(dst_path) > kMaxPath) {
        std::fprintf(stderr, "copy_file_binary: destination path too long\n");
        return false;
    }
    errno = 0;
    FILE* in = vyn_fopen_regular(src_path, "rb");
    if (!in) {
        binfh_print_error(src_path);
        return false;
    }

    // Temporary file beside the destination, created exclusively.
    char tmp[kMaxPath + 64];
    FILE* out = binfh_replace_begin(dst_path, "wb", tmp, sizeof tmp);
    if (!out) {
        binfh_print_error(dst_path);
        std::fclose(in);
        return false;
    }

    static unsigned char chunk[kCopyChunk];
    bool ok = true;
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, kCopyChunk, in);
        if (got > 0 && std::fwrite(chunk, 1, got, out) != got) {
            binfh_print_error(dst_path);
            ok = false;
            break;
        }
        if (got < kCopyChunk) {
            if (std::ferror(in)) {
                binfh_print_error(src_path);
                ok = false;
            }
            break;
        }
    }
    std::fclose(in);
    if (!ok) {
        binfh_replace_abort(out, tmp);
        return false;
    }
    if (!binfh_replace_commit(out, tmp, dst_path)) {
        binfh_print_error(dst_path);
        return false;
    }
    return true;
}

// --- "store" rewrite protocol ------------------------------------------------------

namespace {
// *header_failed tells a failed header write from a store that could not be created.
FILE* binfh_store_begin_impl(const char* store_path, int32_t type, int32_t num1, int32_t num2, bool* header_failed,
                             char* buf = nullptr, std::size_t bufsz = 0) {
    *header_failed = false;
    if (!store_path) {
        binfh_set(BINFH_ERR_NULLPTR);
        return nullptr;
    }
    errno = 0;
    FILE* f = std::fopen(store_path, "wb");
    if (!f) {
        binfh_print_error(store_path);
        binfh_set(BINFH_ERR_IO);
        return nullptr;
    }
    if (buf) std::setvbuf(f, buf, _IOFBF, bufsz);
    // The header is flushed at once so that a device that takes no data is
    // noticed here and not only at the end of the sector.
    if (WriteBinFileHeader_status(f, type, num1, num2) != BINFH_OK || std::fflush(f) != 0) {
        if (errno) binfh_print_error(store_path);
        binfh_store_abort(f, store_path);
        binfh_set(BINFH_ERR_IO);
        *header_failed = true;
        return nullptr;
    }
    return f;
}
}  // namespace

FILE* binfh_store_begin(const char* store_path, int32_t type, int32_t num1, int32_t num2) {
    bool header_failed;
    return binfh_store_begin_impl(store_path, type, num1, num2, &header_failed);
}

FILE* binfh_store_begin_checked(const char* store_path, int32_t type, int32_t num1, int32_t num2, bool* header_failed) {
    bool dummy;
    return binfh_store_begin_impl(store_path, type, num1, num2, header_failed ? header_failed : &dummy);
}

bool binfh_store_commit(FILE* store, const char* store_path, const char* target_path) {
    if (!store || !store_path || !target_path) {
        if (store) binfh_store_abort(store, store_path);
        binfh_set(BINFH_ERR_NULLPTR);
        return false;
    }
    errno = 0;
    bool ok = std::fflush(store) == 0;
    // The data must be on disk before the rename makes them the current file.
    if (ok && fsync(fileno(store)) != 0 && errno != EINVAL && errno != EROFS) ok = false;
    if (std::fclose(store) != 0) ok = false;
    if (!ok) {
        binfh_print_error(store_path);
        std::remove(store_path);
        binfh_set(BINFH_ERR_IO);
        return false;
    }
    if (std::rename(store_path, target_path) != 0) {
        char ctx[2 * kMaxPath + 16];
        std::snprintf(ctx, sizeof ctx, "rename(%s->%s)", store_path, target_path);
        binfh_print_error(ctx);
        std::remove(store_path);
        binfh_set(BINFH_ERR_IO);
        return false;
    }
    binfh_set(BINFH_OK);
    return true;
}

void binfh_store_abort(FILE* store, const char* store_path) {
    if (store) std::fclose(store);
    if (store_path) std::remove(store_path);
}

binfh_status binfh_init_density_file_status(const char* path, const char* store_path, int n, int count,
                                            const CMatrix& M) {
    if (!path || !store_path) return binfh_set(BINFH_ERR_NULLPTR);
    if (n < 1 || n > kMaxDim || count < 0) return binfh_set(BINFH_ERR_BADARG);
    FILE* st = binfh_store_begin(store_path, BINFH_TYPE_DENSITY, n, count);
    if (!st) return binfh_set(BINFH_ERR_IO);
    errno = 0;
    if (!binfh_write_matrix_copies(st, n, M, count)) {
        binfh_print_error(store_path);
        binfh_store_abort(st, store_path);
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_store_commit(st, store_path, path)) return binfh_set(BINFH_ERR_IO);
    return binfh_set(BINFH_OK);
}

binfh_status binfh_resize_density_file_status(const char* path, const char* store_path, int new_count, CMatrix& work) {
    if (!path || !store_path) return binfh_set(BINFH_ERR_NULLPTR);
    if (new_count < 0) return binfh_set(BINFH_ERR_BADARG);
    int32_t type, n, count;
    FILE* in = binfh_open_checked(path, &type, &n, &count);
    if (!in) return binfh_last_status;
    if (type != BINFH_TYPE_DENSITY) {
        std::fclose(in);
        return binfh_set(BINFH_ERR_BADARG);
    }
    if (count == new_count) {
        std::fclose(in);
        return binfh_set(BINFH_OK);
    }
    if (count < 1) {
        std::fclose(in);
        return binfh_set(BINFH_ERR_BADARG);
    }
    errno = 0;
    if (!read_density_matrix(in, n, n, work)) {
        binfh_print_error(path);
        std::fclose(in);
        return binfh_set(BINFH_ERR_IO);
    }
    std::fclose(in);
    FILE* st = binfh_store_begin(store_path, type, n, new_count);
    if (!st) return binfh_set(BINFH_ERR_IO);
    if (!binfh_write_matrix_copies(st, n, work, new_count)) {
        binfh_print_error(store_path);
        binfh_store_abort(st, store_path);
        return binfh_set(BINFH_ERR_IO);
    }
    if (!binfh_store_commit(st, store_path, path)) return binfh_set(BINFH_ERR_IO);
    return binfh_set(BINFH_OK);
}

namespace {
// Opens path, checks its header against (0, n, count) and begins the store;
// nullptr in *in and *st on failure (stage and status set).
// Stream buffers of the input and the store of a batched rewrite (one
// rewrite at a time; both streams are closed before it returns): with the
// default buffer of one block a file of many matrices costs a system call
// per 4 KiB. The store is flushed after every batch.
alignas(64) char binfh_rewrite_buf[2][256 * 1024];

binfh_status binfh_rewrite_open(const char* path, const char* store_path, int n, int count, FILE** in, FILE** st,
                                binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1, int32_t* hdr_num2,
                                bool big_buffers = false) {
    *in = *st = nullptr;
    errno = 0;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        binfh_print_error(path);
        *stage = BINFH_STAGE_OPEN_INPUT;
        return binfh_set(BINFH_ERR_IO);
    }
    if (big_buffers) std::setvbuf(f, binfh_rewrite_buf[0], _IOFBF, sizeof binfh_rewrite_buf[0]);
    int32_t t, a, b;
    const binfh_status hs = binfh_read_header_checked_status(f, &t, &a, &b);
    if (hs != BINFH_OK) {
        std::fclose(f);
        *stage = BINFH_STAGE_READ_HEADER;
        return binfh_set(hs);
    }
    if (hdr_type) *hdr_type = t;
    if (hdr_num1) *hdr_num1 = a;
    if (hdr_num2) *hdr_num2 = b;
    if (t != BINFH_TYPE_DENSITY || a != n || b != count) {
        std::fclose(f);
        *stage = BINFH_STAGE_MISMATCH;
        return binfh_set(BINFH_ERR_BADARG);
    }
    bool header_failed = false;
    *st = binfh_store_begin_impl(store_path, BINFH_TYPE_DENSITY, n, count, &header_failed,
                                 big_buffers ? binfh_rewrite_buf[1] : nullptr, sizeof binfh_rewrite_buf[1]);
    if (!*st) {
        std::fclose(f);
        *stage = header_failed ? BINFH_STAGE_STORE_HEADER : BINFH_STAGE_OPEN_STORE;
        return binfh_set(BINFH_ERR_IO);
    }
    *in = f;
    return binfh_set(BINFH_OK);
}

// Ends a rewrite that failed at stage: closes the input, removes the store.
binfh_status binfh_rewrite_fail(FILE* in, FILE* st, const char* store_path, binfh_rewrite_stage at,
                                binfh_rewrite_stage* stage, binfh_status status) {
    std::fclose(in);
    binfh_store_abort(st, store_path);
    *stage = at;
    return binfh_set(status);
}
}  // namespace

binfh_status binfh_rewrite_density_file_status(const char* path, const char* store_path, int n, int count,
                                               binfh_matrix_fn fn, void* ctx, CMatrix& work, binfh_rewrite_stage* stage,
                                               int32_t* hdr_type, int32_t* hdr_num1, int32_t* hdr_num2) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    if (!path || !store_path || !fn) return binfh_set(BINFH_ERR_NULLPTR);
    if (n < 1 || n > kMaxDim || count < 0) return binfh_set(BINFH_ERR_BADARG);
    FILE *in, *st;
    const binfh_status os =
        binfh_rewrite_open(path, store_path, n, count, &in, &st, stage, hdr_type, hdr_num1, hdr_num2);
    if (os != BINFH_OK) return os;
    for (int k = 1; k <= count; ++k) {
        errno = 0;
        if (!read_density_matrix(in, n, n, work)) {
            binfh_print_error(path);
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_READ_MATRIX, stage, BINFH_ERR_IO);
        }
        if (!fn(k, n, work, ctx))
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_CALLBACK, stage, BINFH_ERR_BADARG);
        if (!write_density_matrix(st, n, work)) {
            binfh_print_error(store_path);
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_WRITE_MATRIX, stage, BINFH_ERR_IO);
        }
    }
    std::fclose(in);
    if (!binfh_store_commit(st, store_path, path)) {
        *stage = BINFH_STAGE_COMMIT;
        return binfh_set(BINFH_ERR_IO);
    }
    return binfh_set(BINFH_OK);
}

binfh_status binfh_rewrite_density_file_batched_status(const char* path, const char* store_path, int n, int count,
                                                       int batch, binfh_batch_fn fn, void* ctx, CMatrix& work,
                                                       binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1,
                                                       int32_t* hdr_num2) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    if (!path || !store_path || !fn) return binfh_set(BINFH_ERR_NULLPTR);
    if (n < 1 || n > kMaxDim || count < 0 || batch < 1) return binfh_set(BINFH_ERR_BADARG);
    FILE *in, *st;
    const binfh_status os =
        binfh_rewrite_open(path, store_path, n, count, &in, &st, stage, hdr_type, hdr_num1, hdr_num2, true);
    if (os != BINFH_OK) return os;
    const size_t nn = static_cast<size_t>(n) * n;
    std::vector<std::complex<double>> mats(static_cast<size_t>(std::min(batch, std::max(count, 1))) * nn);
    for (int k0 = 1; k0 <= count; k0 += batch) {
        const int cnt = std::min(batch, count - k0 + 1);
        // The packed matrices are the file's layout: the batch in one read
        // and one write (complex<double> is a (real, imaginary) pair).
        double* vals = reinterpret_cast<double*>(mats.data());
        const size_t doubles = 2 * nn * static_cast<size_t>(cnt);
        errno = 0;
        if (!binfh_fread_doubles_le(vals, doubles, in)) {
            binfh_print_error(path);
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_READ_MATRIX, stage, BINFH_ERR_IO);
        }
        if (!fn(k0, cnt, n, mats.data(), ctx))
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_CALLBACK, stage, BINFH_ERR_BADARG);
        // Flushed per batch: a store that takes no more data shows here.
        if (!binfh_fwrite_doubles_le(vals, doubles, st) || std::fflush(st) != 0) {
            binfh_print_error(store_path);
            return binfh_rewrite_fail(in, st, store_path, BINFH_STAGE_WRITE_MATRIX, stage, BINFH_ERR_IO);
        }
        // work ends holding the last matrix written, as in the matrix-by-matrix rewrite.
        for (int r = 1; r <= n; ++r)
            std::memcpy(&work(r, 1), mats.data() + (cnt - 1) * nn + static_cast<size_t>(r - 1) * n,
                        sizeof(std::complex<double>) * n);
    }
    std::fclose(in);
    if (!binfh_store_commit(st, store_path, path)) {
        *stage = BINFH_STAGE_COMMIT;
        return binfh_set(BINFH_ERR_IO);
    }
    return binfh_set(BINFH_OK);
}

bool vyn_prop_body_complete(FILE* f) {
    if (!f) return false;
    const long pos = std::ftell(f);
    if (pos < 0 || std::fseek(f, 0, SEEK_SET) != 0) return false;
    int32_t type, num1, num2;
    const bool ok = binfh_read_header_checked_status(f, &type, &num1, &num2) == BINFH_OK;
    std::fseek(f, pos, SEEK_SET);
    return ok;
}
