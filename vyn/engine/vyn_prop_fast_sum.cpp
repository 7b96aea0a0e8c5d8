// The voxel sum of a run of spatial sectors: each batch of voxels goes through
// every sector and is added to the sum before the next batch starts, so only
// one batch of matrices is held whatever the grid.
#include <algorithm>
#include <cstring>
#include <new>

#include "vyn_prop_fast_internal.h"

namespace {
struct VPSMoverList {
    std::vector<VPSMover*> movers;
    ~VPSMoverList() {
        for (VPSMover* m : movers) vps_mover_delete(m);
    }
};

// sum += the count packed matrices of buf, in voxel order.
void vps_add_batch(int n, const cd* buf, int count, CMatrix& sum) {
    const size_t nn = static_cast<size_t>(n) * n;
    for (int i = 0; i < count; ++i) {
        const cd* m = buf + nn * i;
        for (int r = 1; r <= n; ++r) {
            cd* row = &sum(r, 1);
            const cd* from = m + static_cast<size_t>(r - 1) * n;
            for (int c = 0; c < n; ++c) row[c] += from[c];
        }
    }
}
// True when every voxel of the grid has the same offsets in s (no gradient
// reaches a grid axis): the sector moves all voxels by one propagator.
bool vps_same_for_every_voxel(const VYNSpatialSector& s) {
    for (int l = 0; l < s.ap; ++l)
        if ((s.gx[l] != 0.0 && s.dx != 0.0 && s.ndx > 1) || (s.gy[l] != 0.0 && s.dy != 0.0 && s.ndy > 1) ||
            (s.gz[l] != 0.0 && s.dz != 0.0 && s.ndz > 1))
            return false;
    return true;
}

// The matrices entering the last sector that moves voxels differently, summed
// per offset class of that sector: sum_v U_c(v) rho_v U_c(v)^dagger =
// sum_c U_c (sum over the voxels of class c of rho_v) U_c^dagger, one
// rotation per class instead of one per voxel. Only when the sector has
// classes and their sums fit the propagator cache's bound.
struct VPSClassSums {
    VPSMover* mover = nullptr;
    std::vector<int> slot;  // class -> index into rep and sums, -1 when no voxel of the range has it
    std::vector<int> rep;   // first voxel of the range in each used class
    std::vector<cd> sums;   // used classes x n x n

    bool plan(VPSMover* m, int n, int first, int count) {
        const int classes = vps_mover_classes(*m);
        if (classes < 1) return false;
        slot.assign(classes, -1);
        for (int v = first; v < first + count; ++v) {
            int& s = slot[vps_mover_class_of(*m, v)];
            if (s < 0) s = static_cast<int>(rep.size()), rep.push_back(v);
        }
        const long long bytes = static_cast<long long>(rep.size()) * n * n * static_cast<long long>(sizeof(cd));
        if (bytes > vyn_spatial_options.cache_bytes) return false;
        sums.assign(rep.size() * static_cast<size_t>(n) * n, cd());
        mover = m;
        return true;
    }
    void add(int n, const cd* buf, int at, int c) {
        const size_t nn = static_cast<size_t>(n) * n;
        for (int i = 0; i < c; ++i) {
            cd* to = sums.data() + nn * slot[vps_mover_class_of(*mover, at + i)];
            const cd* from = buf + nn * i;
            for (size_t k = 0; k < nn; ++k) to[k] += from[k];
        }
    }
    // sum += every class sum moved by its class propagator, in class order.
    void finish(int n, CMatrix& sum) {
        const size_t nn = static_cast<size_t>(n) * n;
        for (size_t k = 0; k < rep.size(); ++k) vps_mover_move(*mover, sums.data() + nn * k, rep[k], 1);
        for (size_t k = 0; k < rep.size(); ++k) vps_add_batch(n, sums.data() + nn * k, 1, sum);
    }
};

// sum (packed) moved through the sectors from `from` on, as the matrix of voxel first.
void vps_move_sum(std::vector<VPSMover*>& movers, size_t from, int n, int first, CMatrix& sum) {
    if (from >= movers.size()) return;
    std::vector<cd> packed(static_cast<size_t>(n) * n);
    vps_pack(n, sum, packed.data());
    for (size_t k = from; k < movers.size(); ++k) vps_mover_move(*movers[k], packed.data(), first, 1);
    for (int r = 1; r <= n; ++r)
        std::memcpy(&sum(r, 1), packed.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
}
}  // namespace

bool vyn_spatial_voxel_sum(const VYNSpatialSector* sectors, int nsectors, const CMatrix& rho0, int first, int count,
                           vyn_spatial_progress_fn progress, void* progress_ctx, CMatrix& sum) {
    const int n = nsectors > 0 ? sectors[0].n : 0;
    std::memset(&vyn_spatial_totals, 0, sizeof vyn_spatial_totals);
    if (nsectors < 0 || first < 1 || count < 0 || (nsectors > 0 && (n < 1 || n > MATRIXMATH_DIM))) return false;
    for (int k = 0; k < nsectors; ++k) {
        const VYNSpatialSector& s = sectors[k];
        const long long voxels = static_cast<long long>(s.ndx) * s.ndy * s.ndz;
        if (s.n != n || s.ap < 0 || voxels < static_cast<long long>(first) + count - 1) return false;
    }
    const int dim = nsectors > 0 ? n : MATRIXMATH_DIM;
    CMatZero(dim, sum);
    const size_t nn = static_cast<size_t>(n) * n;
    try {
        VPSBlasSingleThread blas_guard;
        VPSMoverList list;
        const int threads = vps_thread_count();
        int batch = count > 0 ? count : 1;
        for (int k = 0; k < nsectors; ++k) {
            std::memset(&vyn_spatial_stats, 0, sizeof vyn_spatial_stats);
            list.movers.push_back(vps_mover_new(sectors[k], threads));
            batch = std::min(batch, vps_mover_batch(*list.movers.back()));
        }
        // Trailing sectors that move every voxel alike are applied once, to the
        // sum (the move is linear in the matrix).
        size_t per_voxel = list.movers.size();
        while (per_voxel > 0 && vps_same_for_every_voxel(sectors[per_voxel - 1])) --per_voxel;
        VPSClassSums classes;
        const bool by_class = per_voxel > 0 && classes.plan(list.movers[per_voxel - 1], n, first, count);
        const size_t moved = by_class ? per_voxel - 1 : per_voxel;
        std::vector<cd> packed0(nn), buf;
        if (nsectors > 0) vps_pack(n, rho0, packed0.data());
        for (int at = first; at < first + count; at += batch) {
            const int c = std::min(batch, first + count - at);
            if (nsectors == 0) {
                for (int i = 0; i < c; ++i) CMatAdd(dim, sum, rho0, sum);
            } else {
                buf.resize(nn * c);
                for (int i = 0; i < c; ++i) std::copy(packed0.begin(), packed0.end(), buf.begin() + nn * i);
                for (size_t k = 0; k < moved; ++k) vps_mover_move(*list.movers[k], buf.data(), at, c);
                if (by_class)
                    classes.add(n, buf.data(), at, c);
                else
                    vps_add_batch(n, buf.data(), c, sum);
            }
            if (progress)
                for (int i = 0; i < c; ++i) progress(at + i, progress_ctx);
        }
        if (by_class) classes.finish(n, sum);
        if (nsectors > 0 && count > 0) vps_move_sum(list.movers, per_voxel, n, first, sum);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Voxel sum: not enough memory for the shared propagation\n");
        return false;
    }
    return true;
}
