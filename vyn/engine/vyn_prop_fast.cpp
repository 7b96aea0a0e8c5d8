// Spatial propagation with shared exact factorisations (see vyn_prop_fast.h).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "vyn_prop_fast_internal.h"

namespace {
void vps_add_totals(const VYNSpatialStats& s) {
    VYNSpatialStats& t = vyn_spatial_totals;
    t.voxels = s.voxels;
    t.free_precession += s.free_precession;
    t.structured += s.structured;
    t.classes += s.classes;
    t.propagators_formed += s.propagators_formed;
    t.rotations += s.rotations;
    t.peak_cached = std::max(t.peak_cached, s.peak_cached);
    t.interpolated += s.interpolated;
    t.interp_nodes += s.interp_nodes;
    t.held = s.held;
    t.seconds_plan += s.seconds_plan;
    t.seconds_read += s.seconds_read;
    t.seconds_propagators += s.seconds_propagators;
    t.seconds_rotations += s.seconds_rotations;
    t.seconds_write += s.seconds_write;
    t.seconds_commit += s.seconds_commit;
}

constexpr long long kHeaderBytes = BINFH_HEADER_BYTES;

// The voxel matrices held between the sectors of a run.
struct VPSHeld {
    bool open = false;      // between vyn_spatial_run_begin and _end
    bool lost = false;      // a sector failed half-way: the held state is gone
    bool resident = false;  // in mem; otherwise in scratch (store_path, moved in place)
    int n = 0, voxels = 0;
    std::vector<cd> mem;
    FILE* scratch = nullptr;
    std::string path, store_path;

    void release() {
        std::vector<cd>().swap(mem);
        if (scratch) binfh_store_abort(scratch, store_path.c_str());
        scratch = nullptr;
        resident = false;
        n = voxels = 0;
    }
    bool holding() const { return resident || scratch; }
};
VPSHeld vps_held;

long long vps_resident_budget() {
    const long long b = vyn_spatial_options.resident_bytes;
    if (b >= 0) return b;
    long long bound = 4LL << 30;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) bound = std::min(bound, static_cast<long long>(pages) * page / 2);
    return bound;
}

// Opens path (header (0, n, voxels)) for reading, or reports the stage.
FILE* vps_open_input(const char* path, const VYNSpatialSector& s, binfh_rewrite_stage* stage, int32_t* hdr_type,
                     int32_t* hdr_num1, int32_t* hdr_num2, binfh_status* status) {
    errno = 0;
    FILE* in = std::fopen(path, "rb");
    if (!in) {
        binfh_print_error(path);
        *stage = BINFH_STAGE_OPEN_INPUT;
        *status = BINFH_ERR_IO;
        return nullptr;
    }
    int32_t t, a, b;
    const binfh_status hs = binfh_read_header_checked_status(in, &t, &a, &b);
    if (hs != BINFH_OK) {
        std::fclose(in);
        *stage = BINFH_STAGE_READ_HEADER;
        *status = hs;
        return nullptr;
    }
    if (hdr_type) *hdr_type = t;
    if (hdr_num1) *hdr_num1 = a;
    if (hdr_num2) *hdr_num2 = b;
    if (t != BINFH_TYPE_DENSITY || a != s.n || b != s.ndx * s.ndy * s.ndz) {
        std::fclose(in);
        *stage = BINFH_STAGE_MISMATCH;
        *status = BINFH_ERR_BADARG;
        return nullptr;
    }
    return in;
}

// A sector of an open run: moves the held matrices, or on the first sector
// takes them from path (into memory, or into the scratch file).
binfh_status vps_run_sector(const char* path, const char* store_path, const VYNSpatialSector& s,
                            vyn_spatial_progress_fn progress, void* progress_ctx, binfh_rewrite_stage* stage,
                            int32_t* hdr_type, int32_t* hdr_num1, int32_t* hdr_num2) {
    VPSHeld& held = vps_held;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(s.n) * s.n;
    if (held.lost) {
        *stage = BINFH_STAGE_CALLBACK;
        return BINFH_ERR_IO;
    }
    if (held.holding()) {
        if (held.n != s.n || held.voxels != voxels) {
            if (hdr_type) *hdr_type = BINFH_TYPE_DENSITY;
            if (hdr_num1) *hdr_num1 = held.n;
            if (hdr_num2) *hdr_num2 = held.voxels;
            *stage = BINFH_STAGE_MISMATCH;
            return BINFH_ERR_BADARG;
        }
        VPSIo io;
        io.in_path = io.out_path = held.store_path.c_str();
        if (held.resident)
            io.mem = held.mem.data();
        else
            io.in = io.out = held.scratch, io.body_at = kHeaderBytes;
        if (!vps_move(s, io, progress, progress_ctx, stage)) {
            // Partly moved: neither the previous nor the new state is left.
            held.release();
            held.lost = true;
            return BINFH_ERR_IO;
        }
        vyn_spatial_stats.held = held.resident ? 1 : 2;
        vps_add_totals(vyn_spatial_stats);
        return BINFH_OK;
    }
    // First sector: path is the state before it and stays so on failure.
    binfh_status status = BINFH_OK;
    FILE* in = vps_open_input(path, s, stage, hdr_type, hdr_num1, hdr_num2, &status);
    if (!in) return status;
    held.path = path;
    held.store_path = store_path;
    const long long bytes = static_cast<long long>(voxels) * static_cast<long long>(nn * sizeof(cd));
    bool ok;
    if (bytes <= vps_resident_budget()) {
        try {
            held.mem.resize(nn * voxels);
        } catch (const std::bad_alloc&) {
            held.mem.clear();
        }
    }
    if (held.mem.size() == nn * voxels) {
        const double r0 = vps_now();
        errno = 0;
        ok = std::fread(held.mem.data(), sizeof(cd), held.mem.size(), in) == held.mem.size();
        if (!ok) {
            binfh_print_error(path);
            *stage = BINFH_STAGE_READ_MATRIX;
        }
        vyn_spatial_stats.seconds_read = vps_now() - r0;
        VPSIo io;
        io.mem = held.mem.data();
        io.in_path = path;
        ok = ok && vps_move(s, io, progress, progress_ctx, stage);
        held.resident = ok;
    } else {
        errno = 0;
        FILE* out = std::fopen(store_path, "w+b");
        if (!out) {
            binfh_print_error(store_path);
            std::fclose(in);
            *stage = BINFH_STAGE_OPEN_STORE;
            return BINFH_ERR_IO;
        }
        if (WriteBinFileHeader_status(out, BINFH_TYPE_DENSITY, s.n, voxels) != BINFH_OK) {
            binfh_print_error(store_path);
            binfh_store_abort(out, store_path);
            std::fclose(in);
            *stage = BINFH_STAGE_STORE_HEADER;
            return BINFH_ERR_IO;
        }
        VPSIo io;
        io.in = in;
        io.out = out;
        io.in_path = path;
        io.out_path = store_path;
        ok = vps_move(s, io, progress, progress_ctx, stage);
        if (ok)
            held.scratch = out;
        else
            binfh_store_abort(out, store_path);
    }
    std::fclose(in);
    if (!ok) {
        std::vector<cd>().swap(held.mem);
        return BINFH_ERR_IO;
    }
    held.n = s.n;
    held.voxels = voxels;
    vyn_spatial_stats.held = held.resident ? 1 : 2;
    vps_add_totals(vyn_spatial_stats);
    return BINFH_OK;
}
}  // namespace

binfh_status vyn_spatial_rewrite_status(const char* path, const char* store_path, const VYNSpatialSector& s,
                                        vyn_spatial_progress_fn progress, void* progress_ctx,
                                        binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1,
                                        int32_t* hdr_num2) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    VYNSpatialStats& stats = vyn_spatial_stats;
    std::memset(&stats, 0, sizeof stats);
    const int n = s.n;
    if (!path || !store_path) return BINFH_ERR_NULLPTR;
    if (n < 1 || n > MATRIXMATH_DIM || s.ndx < 1 || s.ndy < 1 || s.ndz < 1 || s.ap < 0) return BINFH_ERR_BADARG;
    const int voxels = s.ndx * s.ndy * s.ndz;
    stats.voxels = voxels;
    if (vps_held.open)
        return vps_run_sector(path, store_path, s, progress, progress_ctx, stage, hdr_type, hdr_num1, hdr_num2);

    binfh_status status = BINFH_OK;
    FILE* in = vps_open_input(path, s, stage, hdr_type, hdr_num1, hdr_num2, &status);
    if (!in) return status;
    bool header_failed = false;
    FILE* st_file = binfh_store_begin_checked(store_path, BINFH_TYPE_DENSITY, n, voxels, &header_failed);
    if (!st_file) {
        std::fclose(in);
        *stage = header_failed ? BINFH_STAGE_STORE_HEADER : BINFH_STAGE_OPEN_STORE;
        return BINFH_ERR_IO;
    }
    VPSIo io;
    io.in = in;
    io.out = st_file;
    io.in_path = path;
    io.out_path = store_path;
    const bool ok = vps_move(s, io, progress, progress_ctx, stage);
    std::fclose(in);
    if (!ok) {
        binfh_store_abort(st_file, store_path);
        return BINFH_ERR_IO;
    }
    const double c0 = vps_now();
    if (!binfh_store_commit(st_file, store_path, path)) {
        *stage = BINFH_STAGE_COMMIT;
        return BINFH_ERR_IO;
    }
    stats.seconds_commit = vps_now() - c0;
    vps_add_totals(stats);
    return BINFH_OK;
}

void vyn_spatial_run_begin() {
    vps_held.release();
    vps_held.lost = false;
    vps_held.open = true;
}

bool vyn_spatial_run_end(binfh_rewrite_stage* stage) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    VPSHeld& held = vps_held;
    const bool was_open = held.open, lost = held.lost;
    held.open = false;
    held.lost = false;
    if (!was_open || lost) {
        held.release();
        return !lost;
    }
    if (!held.holding()) return true;
    const double c0 = vps_now();
    bool ok = true;
    const char* store_path = held.store_path.c_str();
    if (held.resident) {
        bool header_failed = false;
        FILE* st = binfh_store_begin_checked(store_path, BINFH_TYPE_DENSITY, held.n, held.voxels, &header_failed);
        if (!st) {
            *stage = header_failed ? BINFH_STAGE_STORE_HEADER : BINFH_STAGE_OPEN_STORE;
            ok = false;
        } else {
            errno = 0;
            if (std::fwrite(held.mem.data(), sizeof(cd), held.mem.size(), st) != held.mem.size()) {
                binfh_print_error(store_path);
                binfh_store_abort(st, store_path);
                *stage = BINFH_STAGE_WRITE_MATRIX;
                ok = false;
            } else if (!binfh_store_commit(st, store_path, held.path.c_str())) {
                *stage = BINFH_STAGE_COMMIT;
                ok = false;
            }
        }
    } else {
        FILE* st = held.scratch;
        held.scratch = nullptr;
        if (!binfh_store_commit(st, store_path, held.path.c_str())) {
            *stage = BINFH_STAGE_COMMIT;
            ok = false;
        }
    }
    held.release();
    vyn_spatial_totals.seconds_commit += vps_now() - c0;
    return ok;
}
