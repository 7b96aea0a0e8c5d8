// Binary result files: header and body bytes on disk, round trips, refusals
// of malformed or truncated files, and the atomic "store" replacement.
#include "binaryfilehandling.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datafiles_test_util.h"

namespace {

CMatrix A, B, C;  // 1 MiB each: static storage

using datafiles_test::slurp;
using datafiles_test::spit;
using BinFile = datafiles_test::TempDirTest;

std::vector<unsigned char> le32(int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u >> 16),
            static_cast<unsigned char>(u >> 24)};
}

std::vector<unsigned char> header_bytes(int32_t t, int32_t a, int32_t b) {
    std::vector<unsigned char> v = le32(t);
    for (auto x : {a, b}) {
        auto w = le32(x);
        v.insert(v.end(), w.begin(), w.end());
    }
    return v;
}

void fill_random(CMatrix& m, int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) m(r, c) = std::complex<double>(u(rng), u(rng));
}

bool same_block(const CMatrix& x, const CMatrix& y, int n) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            if (x(r, c) != y(r, c)) return false;
    return true;
}

// Writes a type-0 file with the given matrices (all n x n).
void write_dm(const std::string& p, int n, const std::vector<const CMatrix*>& ms) {
    FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(WriteBinFileHeader_status(f, 0, n, static_cast<int32_t>(ms.size())), BINFH_OK);
    for (const CMatrix* m : ms) ASSERT_TRUE(write_density_matrix(f, n, *m));
    std::fclose(f);
}

}  // namespace

TEST_F(BinFile, HeaderIsThreeLittleEndianInt32OnDisk) {
    FILE* f = std::fopen(path("h.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 1, 1024, -2), BINFH_OK);
    std::fclose(f);
    const std::vector<unsigned char> expect = {1, 0, 0, 0, 0x00, 0x04, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(slurp(path("h.bin")), expect);

    f = std::fopen(path("h.bin").c_str(), "rb");
    int32_t t = 9, a = 9, b = 9;
    EXPECT_EQ(ReadBinFileHeader_status(f, &t, &a, &b), BINFH_OK);
    EXPECT_EQ(binfh_last_status, BINFH_OK);
    EXPECT_EQ(t, 1);
    EXPECT_EQ(a, 1024);
    EXPECT_EQ(b, -2);
    EXPECT_EQ(std::ftell(f), 12);
    std::fclose(f);

    // The by-pointer and by-value writers produce the same bytes.
    const int32_t vt = 0, va = 2, vb = 1;
    f = std::fopen(path("p.bin").c_str(), "wb");
    WriteBinFileHeader(f, &vt, &va, &vb);
    EXPECT_EQ(binfh_last_status, BINFH_OK);
    std::fclose(f);
    f = std::fopen(path("i.bin").c_str(), "wb");
    WriteBinFileHeaderI(f, 0, 2, 1);
    std::fclose(f);
    EXPECT_EQ(slurp(path("p.bin")), header_bytes(0, 2, 1));
    EXPECT_EQ(slurp(path("i.bin")), header_bytes(0, 2, 1));
}

TEST_F(BinFile, ShortHeaderIsNeverPartlyUsed) {
    std::vector<unsigned char> eight = header_bytes(0, 4, 7);
    eight.resize(8);
    spit(path("short.bin"), eight);

    FILE* f = std::fopen(path("short.bin").c_str(), "rb");
    int32_t t = 11, a = 22, b = 33;
    EXPECT_EQ(ReadBinFileHeader_status(f, &t, &a, &b), BINFH_ERR_IO);
    EXPECT_EQ(binfh_last_status, BINFH_ERR_IO);
    EXPECT_EQ(t, 11);
    EXPECT_EQ(a, 22);
    EXPECT_EQ(b, 33);
    std::rewind(f);
    ReadBinFileHeader(f, &t, &a, &b);  // plain form clears its outputs first
    EXPECT_EQ(binfh_last_status, BINFH_ERR_IO);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    std::fclose(f);

    EXPECT_EQ(ReadBinFileHeader_status(nullptr, &t, &a, &b), BINFH_ERR_NULLPTR);
    EXPECT_EQ(WriteBinFileHeader_status(nullptr, 0, 1, 1), BINFH_ERR_NULLPTR);
    WriteBinFileHeader(nullptr, &t, &a, &b);
    EXPECT_EQ(binfh_last_status, BINFH_ERR_NULLPTR);
}

TEST_F(BinFile, RowsAreRealImaginaryLittleEndianDoubles) {
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 2; ++c) A(r, c) = 0.0;
    A(1, 1) = std::complex<double>(1.0, -2.0);
    A(2, 2) = std::complex<double>(0.5, 0.0);
    // A 1-spin, 1-voxel dm.bin: header (0, 2, 1) and 4 complex elements = 76 bytes.
    FILE* f = std::fopen(path("dm.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 0, 2, 1), BINFH_OK);
    ASSERT_TRUE(write_density_matrix(f, 2, A));
    std::fclose(f);
    const auto bytes = slurp(path("dm.bin"));
    ASSERT_EQ(bytes.size(), 76u);
    // 1.0 = 0x3FF0000000000000, -2.0 = 0xC000000000000000, 0.5 = 0x3FE0000000000000.
    const std::vector<unsigned char> one = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    const std::vector<unsigned char> mtwo = {0, 0, 0, 0, 0, 0, 0x00, 0xC0};
    const std::vector<unsigned char> half = {0, 0, 0, 0, 0, 0, 0xE0, 0x3F};
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 12, bytes.begin() + 20), one);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 20, bytes.begin() + 28), mtwo);
    // Element (2,2) is the fourth complex value: real part at 12 + 3*16.
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 60, bytes.begin() + 68), half);
    for (int i = 28; i < 60; ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST_F(BinFile, MatrixRoundTripTouchesOnlyActiveBlock) {
    for (int n : {1, 7, 256}) {
        fill_random(A, n, 100 + n);
        const std::string p = path("m.bin");
        FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_TRUE(write_density_matrix(f, n, A));
        std::fclose(f);
        EXPECT_EQ(slurp(p).size(), 16u * n * n);

        // Sentinel outside the active block must survive the read.
        fill_random(B, MATRIXMATH_DIM, 5);
        const std::complex<double> outside = n < MATRIXMATH_DIM ? B(n + 1, 1) : 0.0;
        const std::complex<double> outside2 = n < MATRIXMATH_DIM ? B(1, n + 1) : 0.0;
        f = std::fopen(p.c_str(), "rb");
        ASSERT_TRUE(read_density_matrix(f, n, n, B));
        std::fclose(f);
        EXPECT_TRUE(same_block(A, B, n)) << "n=" << n;
        if (n < MATRIXMATH_DIM) {
            EXPECT_EQ(B(n + 1, 1), outside);
            EXPECT_EQ(B(1, n + 1), outside2);
        }
    }
}

TEST_F(BinFile, RowCodecRefusesOutOfRangeArguments) {
    fill_random(A, 4, 3);
    FILE* f = std::fopen(path("r.bin").c_str(), "wb+");
    EXPECT_FALSE(write_cmatrix_row(f, 257, A, 1));
    EXPECT_FALSE(write_cmatrix_row(f, 0, A, 1));
    EXPECT_FALSE(write_cmatrix_row(f, -3, A, 1));
    EXPECT_FALSE(write_cmatrix_row(f, 4, A, 0));
    EXPECT_FALSE(write_cmatrix_row(f, 4, A, 5));
    EXPECT_FALSE(write_cmatrix_row(nullptr, 4, A, 1));
    EXPECT_FALSE(write_density_matrix(f, 300, A));
    EXPECT_FALSE(binfh_write_matrix_copies(f, 4, A, -1));
    std::fflush(f);
    EXPECT_EQ(std::ftell(f), 0);  // nothing written
    ASSERT_TRUE(write_cmatrix_row(f, 4, A, 4));
    std::rewind(f);
    EXPECT_FALSE(read_cmatrix_row(f, 257, B, 1));
    EXPECT_FALSE(read_cmatrix_row(f, 4, B, 0));
    EXPECT_FALSE(read_cmatrix_row(f, 4, B, 5));
    EXPECT_FALSE(read_density_matrix(f, 4, 5, B));
    EXPECT_FALSE(read_density_matrix(f, 4, 0, B));
    EXPECT_FALSE(read_density_matrix(f, 257, 1, B));
    EXPECT_EQ(std::ftell(f), 0);  // nothing consumed
    ASSERT_TRUE(read_cmatrix_row(f, 4, B, 2));
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(B(2, c), A(4, c));
    std::fclose(f);
}

TEST_F(BinFile, ShortRowReadLeavesRowUnchanged) {
    const int n = 8;
    fill_random(A, n, 21);
    FILE* f = std::fopen(path("r.bin").c_str(), "wb");
    ASSERT_TRUE(write_cmatrix_row(f, n, A, 1));
    std::fclose(f);
    ASSERT_EQ(truncate(path("r.bin").c_str(), 16 * n - 8), 0);

    fill_random(B, n, 22);
    std::vector<std::complex<double>> before;
    for (int c = 1; c <= n; ++c) before.push_back(B(3, c));
    f = std::fopen(path("r.bin").c_str(), "rb");
    EXPECT_FALSE(read_cmatrix_row(f, n, B, 3));
    std::fclose(f);
    for (int c = 1; c <= n; ++c) EXPECT_EQ(B(3, c), before[c - 1]);

    // A whole matrix whose last row is short fails as well.
    f = std::fopen(path("m.bin").c_str(), "wb");
    ASSERT_TRUE(write_density_matrix(f, n, A));
    std::fclose(f);
    ASSERT_EQ(truncate(path("m.bin").c_str(), 16 * n * n - 1), 0);
    f = std::fopen(path("m.bin").c_str(), "rb");
    EXPECT_FALSE(read_density_matrix(f, n, n, B));
    std::fclose(f);
}

TEST_F(BinFile, BodySizeOfHeaders) {
    EXPECT_EQ(binfh_body_bytes(0, 2, 1), 64);
    EXPECT_EQ(binfh_body_bytes(0, 256, 3), 16LL * 256 * 256 * 3);
    EXPECT_EQ(binfh_body_bytes(0, 4, 0), 0);
    EXPECT_EQ(binfh_body_bytes(1, 1024, 8), 16LL * 1024 * 8);
    EXPECT_EQ(binfh_body_bytes(0, 257, 1), -1);
    EXPECT_EQ(binfh_body_bytes(0, 0, 1), -1);
    EXPECT_EQ(binfh_body_bytes(0, 2, -1), -1);
    EXPECT_EQ(binfh_body_bytes(2, 2, 1), -1);
    EXPECT_EQ(binfh_body_bytes(-1, 2, 1), -1);
    EXPECT_EQ(binfh_body_bytes(1, -5, 1), -1);
    // 16 * (2^31-1)^2 does not fit in 63 bits: refused, not wrapped.
    EXPECT_EQ(binfh_body_bytes(1, INT32_MAX, INT32_MAX), -1);
    EXPECT_GT(binfh_body_bytes(0, 256, INT32_MAX), 0);
}

TEST_F(BinFile, CheckedHeaderRefusesTruncatedAndMalformedFiles) {
    fill_random(A, 3, 4);
    const std::string p = path("dm.bin");
    write_dm(p, 3, {&A, &A});
    int32_t t = -7, a = -7, b = -7;
    FILE* f = binfh_open_checked(p.c_str(), &t, &a, &b);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(std::ftell(f), 12);
    std::fclose(f);

    // One byte missing from the second matrix.
    ASSERT_EQ(truncate(p.c_str(), 12 + 2 * 16 * 9 - 1), 0);
    t = a = b = -7;
    EXPECT_EQ(binfh_open_checked(p.c_str(), &t, &a, &b), nullptr);
    EXPECT_EQ(binfh_last_status, BINFH_ERR_BADARG);
    EXPECT_EQ(t, -7);

    // Headers outside the data model, each with an ample body behind it.
    std::vector<unsigned char> body(16 * 300, 0);
    const int32_t bad[][3] = {{0, 257, 1}, {0, 0, 1}, {0, 2, -1}, {5, 2, 1}, {1, 1 << 30, 1 << 30}};
    for (const auto& h : bad) {
        auto bytes = header_bytes(h[0], h[1], h[2]);
        bytes.insert(bytes.end(), body.begin(), body.end());
        spit(p, bytes);
        EXPECT_EQ(binfh_open_checked(p.c_str(), &t, &a, &b), nullptr) << h[0] << " " << h[1] << " " << h[2];
        EXPECT_EQ(binfh_last_status, BINFH_ERR_BADARG);
    }

    // A well-formed empty body and a long signal trace are accepted.
    spit(p, header_bytes(0, 4, 0));
    f = binfh_open_checked(p.c_str(), &t, &a, &b);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(b, 0);
    std::fclose(f);
    auto sig = header_bytes(1, 300, 1);
    sig.insert(sig.end(), body.begin(), body.end());
    spit(p, sig);
    f = binfh_open_checked(p.c_str(), &t, &a, &b);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(a, 300);
    std::fclose(f);

    EXPECT_EQ(binfh_open_checked(path("missing.bin").c_str(), &t, &a, &b), nullptr);
    EXPECT_EQ(binfh_last_status, BINFH_ERR_IO);
}

TEST_F(BinFile, CopyFileBinaryIsCompleteAndSafe) {
    // Content larger than one chunk and not a multiple of it.
    std::vector<unsigned char> data(8192 * 3 + 123);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>((i * 131) ^ (i >> 7));
    spit(path("src.bin"), data);
    ASSERT_TRUE(copy_file_binary(path("src.bin").c_str(), path("dst.bin").c_str()));
    EXPECT_EQ(slurp(path("dst.bin")), data);

    // Empty file.
    spit(path("empty.bin"), {});
    ASSERT_TRUE(copy_file_binary(path("empty.bin").c_str(), path("e2.bin").c_str()));
    EXPECT_TRUE(slurp(path("e2.bin")).empty());

    // Missing source: destination keeps its content.
    EXPECT_FALSE(copy_file_binary(path("nope.bin").c_str(), path("dst.bin").c_str()));
    EXPECT_EQ(slurp(path("dst.bin")), data);

    // Copy onto itself keeps the content.
    ASSERT_TRUE(copy_file_binary(path("src.bin").c_str(), path("src.bin").c_str()));
    EXPECT_EQ(slurp(path("src.bin")), data);

    // Unwritable destination.
    EXPECT_FALSE(copy_file_binary(path("src.bin").c_str(), path("no/such/dir.bin").c_str()));
    EXPECT_FALSE(copy_file_binary(nullptr, path("x").c_str()));
    // Destination that cannot be replaced (a directory): the finished
    // temporary copy is removed again.
    ASSERT_EQ(mkdir(path("adir").c_str(), 0700), 0);
    EXPECT_FALSE(copy_file_binary(path("src.bin").c_str(), path("adir").c_str()));

    // No temporary files left behind.
    auto names = entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"adir", "dst.bin", "e2.bin", "empty.bin", "src.bin"}));
}

TEST_F(BinFile, StoreCommitReplacesTargetAndAbortKeepsIt) {
    const std::string dm = path("dm.bin"), store = path("store");
    fill_random(A, 2, 1);
    fill_random(B, 2, 2);
    write_dm(dm, 2, {&A});
    const auto old_bytes = slurp(dm);

    FILE* s = binfh_store_begin(store.c_str(), 0, 2, 1);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(write_density_matrix(s, 2, B));
    binfh_store_abort(s, store.c_str());
    EXPECT_EQ(slurp(dm), old_bytes);
    EXPECT_NE(access(store.c_str(), F_OK), 0);

    s = binfh_store_begin(store.c_str(), 0, 2, 1);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(write_density_matrix(s, 2, B));
    ASSERT_TRUE(binfh_store_commit(s, store.c_str(), dm.c_str()));
    EXPECT_NE(access(store.c_str(), F_OK), 0);
    FILE* f = std::fopen(dm.c_str(), "rb");
    int32_t t, a, b;
    ASSERT_EQ(binfh_read_header_checked_status(f, &t, &a, &b), BINFH_OK);
    ASSERT_TRUE(read_density_matrix(f, 2, 2, C));
    std::fclose(f);
    EXPECT_TRUE(same_block(B, C, 2));

    // A rename that cannot happen (target is a directory) reports failure and
    // removes the store.
    ASSERT_EQ(mkdir(path("adir").c_str(), 0700), 0);
    s = binfh_store_begin(store.c_str(), 0, 2, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(binfh_store_commit(s, store.c_str(), path("adir").c_str()));
    EXPECT_NE(access(store.c_str(), F_OK), 0);

    EXPECT_EQ(binfh_store_begin(path("no/dir/store").c_str(), 0, 2, 1), nullptr);
    EXPECT_EQ(binfh_last_status, BINFH_ERR_IO);
}

TEST_F(BinFile, InitAndResizeDensityFile) {
    const std::string dm = path("dm.bin"), store = path("store");
    fill_random(A, 2, 8);
    ASSERT_EQ(binfh_init_density_file_status(dm.c_str(), store.c_str(), 2, 1, A), BINFH_OK);
    EXPECT_EQ(slurp(dm).size(), 76u);

    fill_random(B, 5, 9);
    fill_random(C, 5, 10);
    write_dm(dm, 5, {&B, &C, &C});
    ASSERT_EQ(binfh_resize_density_file_status(dm.c_str(), store.c_str(), 4, A), BINFH_OK);
    EXPECT_EQ(slurp(dm).size(), 12u + 4 * 16 * 25);
    int32_t t, a, b;
    FILE* f = binfh_open_checked(dm.c_str(), &t, &a, &b);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 4);
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(read_density_matrix(f, 5, 5, C));
        EXPECT_TRUE(same_block(B, C, 5)) << "matrix " << k + 1;
    }
    std::fclose(f);

    // Same count: file untouched.
    const auto bytes = slurp(dm);
    ASSERT_EQ(binfh_resize_density_file_status(dm.c_str(), store.c_str(), 4, A), BINFH_OK);
    EXPECT_EQ(slurp(dm), bytes);

    // Nothing to copy from, or a truncated file: refused, file untouched.
    spit(path("empty.bin"), header_bytes(0, 3, 0));
    EXPECT_EQ(binfh_resize_density_file_status(path("empty.bin").c_str(), store.c_str(), 2, A), BINFH_ERR_BADARG);
    ASSERT_EQ(truncate(dm.c_str(), 100), 0);
    const auto cut = slurp(dm);
    EXPECT_NE(binfh_resize_density_file_status(dm.c_str(), store.c_str(), 2, A), BINFH_OK);
    EXPECT_EQ(slurp(dm), cut);
    EXPECT_NE(access(store.c_str(), F_OK), 0);
    EXPECT_EQ(binfh_init_density_file_status(dm.c_str(), store.c_str(), 257, 1, A), BINFH_ERR_BADARG);
}

namespace {

struct ScaleCtx {
    int fail_at;
    int calls;
};

// Multiplies matrix k by k; stops at ctx->fail_at.
bool scale_by_index(int index, int n, CMatrix& m, void* p) {
    auto* ctx = static_cast<ScaleCtx*>(p);
    ++ctx->calls;
    if (index == ctx->fail_at) return false;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) m(r, c) *= double(index);
    return true;
}

}  // namespace

TEST_F(BinFile, RewriteAppliesToEveryMatrixOrLeavesFileIntact) {
    const std::string dm = path("dm.bin"), store = path("store");
    const int n = 3;
    fill_random(A, n, 31);
    write_dm(dm, n, {&A, &A, &A});
    const auto before = slurp(dm);

    binfh_rewrite_stage stage;
    int32_t t = -1, a = -1, b = -1;
    ScaleCtx fail{2, 0};
    EXPECT_NE(binfh_rewrite_density_file_status(dm.c_str(), store.c_str(), n, 3, scale_by_index, &fail, B, &stage, &t,
                                                &a, &b),
              BINFH_OK);
    EXPECT_EQ(stage, BINFH_STAGE_CALLBACK);
    EXPECT_EQ(slurp(dm), before);
    EXPECT_NE(access(store.c_str(), F_OK), 0);

    EXPECT_EQ(binfh_rewrite_density_file_status(dm.c_str(), store.c_str(), n, 4, scale_by_index, &fail, B, &stage, &t,
                                                &a, &b),
              BINFH_ERR_BADARG);
    EXPECT_EQ(stage, BINFH_STAGE_MISMATCH);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(a, n);
    EXPECT_EQ(b, 3);
    EXPECT_EQ(slurp(dm), before);

    ScaleCtx ok{0, 0};
    ASSERT_EQ(binfh_rewrite_density_file_status(dm.c_str(), store.c_str(), n, 3, scale_by_index, &ok, B, &stage,
                                                nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_EQ(stage, BINFH_STAGE_NONE);
    EXPECT_EQ(ok.calls, 3);
    EXPECT_NE(access(store.c_str(), F_OK), 0);
    FILE* f = binfh_open_checked(dm.c_str(), &t, &a, &b);
    ASSERT_NE(f, nullptr);
    for (int k = 1; k <= 3; ++k) {
        ASSERT_TRUE(read_density_matrix(f, n, n, C));
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) EXPECT_EQ(C(r, c), A(r, c) * double(k));
    }
    std::fclose(f);

    // Truncated input: refused at the header check, nothing rewritten.
    ASSERT_EQ(truncate(dm.c_str(), 12 + 16 * 9 * 2 + 5), 0);
    const auto cut = slurp(dm);
    EXPECT_NE(binfh_rewrite_density_file_status(dm.c_str(), store.c_str(), n, 3, scale_by_index, &ok, B, &stage,
                                                nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_EQ(stage, BINFH_STAGE_READ_HEADER);
    EXPECT_EQ(slurp(dm), cut);

    EXPECT_NE(binfh_rewrite_density_file_status(path("none.bin").c_str(), store.c_str(), n, 3, scale_by_index, &ok, B,
                                                &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_EQ(stage, BINFH_STAGE_OPEN_INPUT);
}

TEST(BinFileCodec, DoubleCodecRoundTripsSpecialValues) {
    const double vals[] = {0.0, -0.0, 1.0, -2.5, 1e-300, 1.7976931348623157e308, 4.9e-324};
    unsigned char bytes[8 * 7];
    double back[7];
    binfh_encode_doubles_le(vals, 7, bytes);
    binfh_decode_doubles_le(bytes, 7, back);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(std::memcmp(&vals[i], &back[i], 8), 0) << i;
    // Sign bit of -0.0 is the top bit of the last byte.
    EXPECT_EQ(bytes[15], 0x80);
    unsigned char b[4];
    binfh_encode_i32_le(INT32_MIN, b);
    EXPECT_EQ(b[3], 0x80);
    EXPECT_EQ(binfh_decode_i32_le(b), INT32_MIN);
}

TEST(BinFileCodec, StreamedDoublesAreLittleEndianAndShortReadsFail) {
    // 300 values: more than one internal chunk of the byte-swapping path.
    std::vector<double> vals(300);
    for (size_t i = 0; i < vals.size(); ++i) vals[i] = (i % 2 ? -1.0 : 1.0) * (0.5 + static_cast<double>(i));
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(binfh_fwrite_doubles_le(vals.data(), vals.size(), f));
    ASSERT_EQ(std::ftell(f), static_cast<long>(8 * vals.size()));
    std::rewind(f);
    std::vector<unsigned char> raw(8 * vals.size());
    ASSERT_EQ(std::fread(raw.data(), 1, raw.size(), f), raw.size());
    std::vector<double> decoded(vals.size());
    binfh_decode_doubles_le(raw.data(), vals.size(), decoded.data());
    EXPECT_EQ(decoded, vals);
    // -1.5: sign bit in the top bit of the value's last byte.
    EXPECT_EQ(raw[8 * 1 + 7] & 0x80, 0x80);

    std::rewind(f);
    std::vector<double> back(vals.size());
    ASSERT_TRUE(binfh_fread_doubles_le(back.data(), back.size(), f));
    EXPECT_EQ(back, vals);
    // Asking for more than the file holds reports failure.
    std::rewind(f);
    std::vector<double> more(vals.size() + 1);
    EXPECT_FALSE(binfh_fread_doubles_le(more.data(), more.size(), f));
    std::fclose(f);
}

namespace {
struct BatchCtx {
    int fail_first;           // a batch starting here asks to stop
    std::vector<int> firsts;  // the batches seen
};

// Multiplies matrix k (packed) by k.
bool scale_batch(int first, int count, int n, std::complex<double>* mats, void* p) {
    auto* ctx = static_cast<BatchCtx*>(p);
    ctx->firsts.push_back(first);
    if (first == ctx->fail_first) return false;
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < n * n; ++k) mats[static_cast<size_t>(i) * n * n + k] *= double(first + i);
    return true;
}
}  // namespace

// The batched rewrite gives the bytes of the per-matrix rewrite for every
// batch size, hands the matrices over in file order, and a failure leaves the
// file as it was (callback, truncated body).
TEST_F(BinFile, BatchedRewriteMatchesThePerMatrixRewrite) {
    const std::string dm = path("dm.bin"), store = path("store"), ref = path("ref.bin");
    const int n = 3, count = 5;
    fill_random(A, n, 41);
    write_dm(dm, n, {&A, &A, &A, &A, &A});
    write_dm(ref, n, {&A, &A, &A, &A, &A});
    ScaleCtx all{0, 0};
    ASSERT_EQ(binfh_rewrite_density_file_status(ref.c_str(), store.c_str(), n, count, scale_by_index, &all, B, nullptr,
                                                nullptr, nullptr, nullptr),
              BINFH_OK);
    const auto original = slurp(dm);
    binfh_rewrite_stage stage;
    for (int batch : {1, 2, 5, 9}) {
        SCOPED_TRACE(batch);
        BatchCtx ctx{0, {}};
        ASSERT_EQ(binfh_rewrite_density_file_batched_status(dm.c_str(), store.c_str(), n, count, batch, scale_batch,
                                                            &ctx, B, &stage, nullptr, nullptr, nullptr),
                  BINFH_OK);
        EXPECT_EQ(stage, BINFH_STAGE_NONE);
        EXPECT_EQ(slurp(dm), slurp(ref));
        EXPECT_EQ(ctx.firsts.size(), static_cast<size_t>((count + batch - 1) / batch));
        for (size_t i = 0; i < ctx.firsts.size(); ++i) EXPECT_EQ(ctx.firsts[i], 1 + static_cast<int>(i) * batch);
        EXPECT_NE(access(store.c_str(), F_OK), 0);
        write_dm(dm, n, {&A, &A, &A, &A, &A});
    }
    BatchCtx stop{3, {}};
    EXPECT_NE(binfh_rewrite_density_file_batched_status(dm.c_str(), store.c_str(), n, count, 2, scale_batch, &stop, B,
                                                        &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_EQ(stage, BINFH_STAGE_CALLBACK);
    EXPECT_EQ(slurp(dm), original);
    EXPECT_NE(access(store.c_str(), F_OK), 0);
    // A body cut short inside the second batch: nothing replaced.
    ASSERT_EQ(truncate(dm.c_str(), 12 + 16 * 9 * 3), 0);
    const auto cut = slurp(dm);
    BatchCtx ctx{0, {}};
    EXPECT_NE(binfh_rewrite_density_file_batched_status(dm.c_str(), store.c_str(), n, count, 2, scale_batch, &ctx, B,
                                                        &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_EQ(slurp(dm), cut);
    EXPECT_NE(access(store.c_str(), F_OK), 0);
    EXPECT_EQ(binfh_rewrite_density_file_batched_status(dm.c_str(), store.c_str(), n, count, 0, scale_batch, &ctx, B,
                                                        &stage, nullptr, nullptr, nullptr),
              BINFH_ERR_BADARG);
}
