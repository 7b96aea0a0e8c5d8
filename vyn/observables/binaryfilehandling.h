// Binary result files of vyn: dm.bin and the files of its family.
//
// Every file starts with a 12-byte header of three signed 32-bit
// little-endian integers (type, num1, num2). The body holds IEEE-754 binary64
// values, little-endian, whatever the host byte order:
//   type 0: num2 complex num1 x num1 matrices (num1 = n, 1..256), each stored
//           row by row, an element as (real, imaginary);
//   type 1: num2 traces of num1 complex samples, (real, imaginary) each.
//
// Failures follow the module status convention: the status forms return a
// binfh_status, every operation of the header module also leaves it in
// binfh_last_status. I/O errors are printed to standard error as
// "<context>: <system error text>".
//
// dm.bin is never rewritten in place: a new version is written completely to
// a temporary file ("store") in the same directory and then renamed over the
// old one (binfh_store_begin / binfh_store_commit), so a failed or interrupted
// update leaves the previous content intact.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "matrixmathlib.h"

enum binfh_status {
    BINFH_OK = 0,
    BINFH_ERR_NULLPTR = 1,
    BINFH_ERR_IO = 2,
    BINFH_ERR_BADARG = 3,
};

extern binfh_status binfh_last_status;

constexpr int BINFH_HEADER_BYTES = 12;
constexpr int BINFH_TYPE_DENSITY = 0;  // body of complex n x n matrices
constexpr int BINFH_TYPE_SIGNAL = 1;   // body of complex traces

// --- Error printing and byte order -------------------------------------------------

// Prints "<context>: <system error text>" to standard error ("I/O error" for an
// empty or absent context). When no system error is pending (errno 0, e.g. a
// short read at end of file) the text says so instead of "Success".
void binfh_print_error(const char* context);

void binfh_encode_i32_le(int32_t v, unsigned char out[4]);
int32_t binfh_decode_i32_le(const unsigned char in[4]);
void binfh_encode_doubles_le(const double* in, std::size_t count, unsigned char* out);
void binfh_decode_doubles_le(const unsigned char* in, std::size_t count, double* out);
// Writes count doubles little-endian; true when all were written.
bool binfh_fwrite_doubles_le(const double* in, std::size_t count, FILE* f);
// Reads count little-endian doubles; true when all were read (out may be partly filled otherwise).
bool binfh_fread_doubles_le(double* out, std::size_t count, FILE* f);

// --- Header ------------------------------------------------------------------------

// Reads type, num1, num2 (one 4-byte item each). Outputs are written only when
// all three reads succeed.
binfh_status ReadBinFileHeader_status(FILE* f, int32_t* type, int32_t* num1, int32_t* num2);
binfh_status WriteBinFileHeader_status(FILE* f, int32_t type, int32_t num1, int32_t num2);
// Plain forms: status left in binfh_last_status. The reader clears its outputs
// to 0 first and fills them only on success.
void ReadBinFileHeader(FILE* f, int32_t* type, int32_t* num1, int32_t* num2);
void WriteBinFileHeader(FILE* f, const int32_t* type, const int32_t* num1, const int32_t* num2);
void WriteBinFileHeaderI(FILE* f, int32_t type, int32_t num1, int32_t num2);

// Size in bytes of the body a header announces; -1 when the header is not
// well formed (unknown type, type 0 with num1 outside 1..256, a negative
// count) or the size does not fit in 63 bits.
int64_t binfh_body_bytes(int32_t type, int32_t num1, int32_t num2);

// Reads the header and checks that it is well formed and that the file holds
// at least the body it announces behind the current position
// (BINFH_ERR_BADARG otherwise, with a message naming the problem). Outputs are
// written only on success. Use this for every file that came from outside.
binfh_status binfh_read_header_checked_status(FILE* f, int32_t* type, int32_t* num1, int32_t* num2);

// Opens path for reading and reads its header checked; returns the stream
// positioned at the body, or nullptr (status in binfh_last_status).
FILE* binfh_open_checked(const char* path, int32_t* type, int32_t* num1, int32_t* num2);

// --- Row codec ---------------------------------------------------------------------
// A row is n complex elements moved with one read or write of 2n doubles.
// n must lie in 1..256 and row in 1..n; anything else is refused (false).

bool write_cmatrix_row(FILE* f, int n, const CMatrix& M, int row);
// On a short read the row is left unchanged: partial data are never used.
bool read_cmatrix_row(FILE* f, int n, CMatrix& M, int row);
// Reads rows 1..rows (1 <= rows <= n) of n elements each.
bool read_density_matrix(FILE* f, int n, int rows, CMatrix& M);
// Writes rows 1..n of M: one whole matrix of a type-0 body.
bool write_density_matrix(FILE* f, int n, const CMatrix& M);
// Writes count copies of M (count >= 0).
bool binfh_write_matrix_copies(FILE* f, int n, const CMatrix& M, int count);

// --- Files -------------------------------------------------------------------------

// Copies src to dst in chunks of 8192 bytes. The copy is written to a
// temporary file beside dst and renamed over it only when complete, so a
// failed copy leaves an existing dst untouched and copying a file onto itself
// keeps its content. False if src cannot be read or dst cannot be written.
bool copy_file_binary(const char* src_path, const char* dst_path);

// Replacing a file as a whole: binfh_replace_begin creates a temporary file
// beside dst_path (its name goes to tmp) and opens it with the write mode
// given; binfh_replace_commit closes it and renames it over dst_path, so
// dst_path either keeps its old content or gets the complete new one;
// binfh_replace_abort closes and removes the temporary. Begin returns null
// (errno set) and commit false (temporary removed) on failure.
FILE* binfh_replace_begin(const char* dst_path, const char* mode, char* tmp, std::size_t tmpsz);
bool binfh_replace_commit(FILE* out, const char* tmp, const char* dst_path);
void binfh_replace_abort(FILE* out, const char* tmp);

// True when every element of rows and columns 1..n of M is finite.
bool binfh_matrix_is_finite(int n, const CMatrix& M);

// --- "store" rewrite protocol ------------------------------------------------------

constexpr const char* BINFH_DM_FILE = "dm.bin";
constexpr const char* BINFH_STORE_FILE = "store";

// Creates store_path ("wb") and writes the header. nullptr on failure (the
// system error is printed with store_path as context, a header failure with
// the field names; a half-created store is removed).
FILE* binfh_store_begin(const char* store_path, int32_t type, int32_t num1, int32_t num2);
// The same; *header_failed tells a failed header write from a store that
// could not be created.
FILE* binfh_store_begin_checked(const char* store_path, int32_t type, int32_t num1, int32_t num2, bool* header_failed);
// Flushes the store to disk, closes it and renames it over target_path (an
// atomic replacement on POSIX file systems). On any failure the store is
// removed, target_path keeps its previous content and false is returned; a
// failed rename prints "rename(<store>-><target>)" with the system error.
bool binfh_store_commit(FILE* store, const char* store_path, const char* target_path);
// Closes an unfinished store and removes it; target untouched.
void binfh_store_abort(FILE* store, const char* store_path);

// Creates (or replaces) a type-0 file holding count copies of M, through the
// store protocol. n in 1..256, count >= 0.
binfh_status binfh_init_density_file_status(const char* path, const char* store_path, int n, int count,
                                            const CMatrix& M);

// Resizes a type-0 file to new_count matrices, all copies of its first
// matrix (read into work), through the store protocol. A file that already
// holds new_count matrices is left unchanged (BINFH_OK). A file without any
// matrix cannot be resized (BINFH_ERR_BADARG).
binfh_status binfh_resize_density_file_status(const char* path, const char* store_path, int new_count, CMatrix& work);

// Where a failed binfh_rewrite_density_file_status stopped.
enum binfh_rewrite_stage {
    BINFH_STAGE_NONE = 0,      // success
    BINFH_STAGE_OPEN_INPUT,    // target could not be opened
    BINFH_STAGE_READ_HEADER,   // header unreadable or inconsistent with the file size
    BINFH_STAGE_MISMATCH,      // header is not (0, n, count)
    BINFH_STAGE_OPEN_STORE,    // store could not be created
    BINFH_STAGE_STORE_HEADER,  // store header could not be written
    BINFH_STAGE_READ_MATRIX,   // short read of a matrix
    BINFH_STAGE_WRITE_MATRIX,  // short write to the store
    BINFH_STAGE_CALLBACK,      // the callback asked to stop
    BINFH_STAGE_COMMIT,        // flush/close/rename failed
};

// Callback of the rewrite: gets the 1-based matrix number and the matrix and
// may change it in place; returns false to abandon the rewrite.
typedef bool (*binfh_matrix_fn)(int index, int n, CMatrix& m, void* ctx);

// Applies fn to every matrix of a type-0 file in file order and replaces the
// file atomically with the result. The file must hold exactly (0, n, count).
// work is the caller's scratch matrix. On failure the file keeps its previous
// content, the store is removed and *stage (if given) tells where it failed;
// the file's header values are left in *hdr_type/num1/num2 when read (for the
// caller's mismatch message).
binfh_status binfh_rewrite_density_file_status(const char* path, const char* store_path, int n, int count,
                                               binfh_matrix_fn fn, void* ctx, CMatrix& work, binfh_rewrite_stage* stage,
                                               int32_t* hdr_type, int32_t* hdr_num1, int32_t* hdr_num2);

// Callback of the batched rewrite: matrices first..first+count-1 (1-based),
// packed (n x n, row-major, each n * n complex values one after the other),
// changed in place; returns false to abandon the rewrite.
typedef bool (*binfh_batch_fn)(int first, int count, int n, std::complex<double>* mats, void* ctx);

// binfh_rewrite_density_file_status with the matrices handed to fn in batches
// of at most `batch` (>= 1), in file order, so that the caller can move them
// together (on several threads); the same failure stages and guarantees.
binfh_status binfh_rewrite_density_file_batched_status(const char* path, const char* store_path, int n, int count,
                                                       int batch, binfh_batch_fn fn, void* ctx, CMatrix& work,
                                                       binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1,
                                                       int32_t* hdr_num2);

// True when the file behind the open stream f holds the complete body its
// header announces (a well-formed header included). The stream position is
// restored.
bool vyn_prop_body_complete(FILE* f);
