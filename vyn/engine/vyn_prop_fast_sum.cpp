// The voxel sum of a run of spatial sectors: each batch of voxels goes through
// every sector and is added to the sum before the next batch starts, so only
// one batch of matrices is held whatever the grid.
#include <algorithm>
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
        std::vector<cd> packed0(nn), buf;
        if (nsectors > 0) vps_pack(n, rho0, packed0.data());
        for (int at = first; at < first + count; at += batch) {
            const int c = std::min(batch, first + count - at);
            if (nsectors == 0) {
                for (int i = 0; i < c; ++i) CMatAdd(dim, sum, rho0, sum);
            } else {
                buf.resize(nn * c);
                for (int i = 0; i < c; ++i) std::copy(packed0.begin(), packed0.end(), buf.begin() + nn * i);
                for (VPSMover* m : list.movers) vps_mover_move(*m, buf.data(), at, c);
                vps_add_batch(n, buf.data(), c, sum);
            }
            if (progress)
                for (int i = 0; i < c; ++i) progress(at + i, progress_ctx);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Voxel sum: not enough memory for the shared propagation\n");
        return false;
    }
    return true;
}
