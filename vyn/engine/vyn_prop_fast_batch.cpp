// One spatial sector through the shared path: the voxel matrices in
// batches, the class propagators each batch needs (cached, or formed together
// by offset interpolation) and the rotations, one per distinct matrix.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>
#include <unordered_map>

#include "vyn_prop_fast_internal.h"

namespace {
uint64_t vps_hash_bytes(const void* p, size_t bytes) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    uint64_t h = 1469598103934665603ULL;
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t v;
        std::memcpy(&v, c + i, 8);
        h = vps_mix(h, v);
    }
    for (; i < bytes; ++i) h = vps_mix(h, c[i]);
    return h;
}

struct VPSCarry {
    uint64_t hash;
    int cls;
    std::vector<cd> in, out;
};

// How a sector is moved: its factors, its offset classes, and the bounds of a
// batch and of the propagator cache.
struct VPSMovePlan {
    int threads = 1;
    VPSStructure structure;
    bool identity = false, free_precession = false;
    int method = VYN_STEP_EXP_PADE;
    std::vector<int> class_of;
    std::vector<int> class_rep, class_last;
    std::vector<cd> static_factor;
    long long mat_bytes = 0;
    int batch = 1, cache_cap = 1, interp_mode = VYN_INTERP_OFF;
    bool may_interpolate = false;
    double norm_b = 0.0;
};

// What one batch hands to the next: the cached class propagators, the
// carried results, and the scratch of the interpolation and the rotations.
struct VPSMoveState {
    std::vector<char> in_group;
    std::vector<double> interp_offsets, interp_nodes, interp_weights;
    std::vector<VPSInterpStep> interp_plan;
    std::vector<int> src;
    std::vector<uint64_t> hashes;
    std::unordered_map<int, std::vector<cd>> cache;  // class -> propagator
    std::vector<VPSCarry> carry;                     // recent (state, class) -> result
};
constexpr int kCarry = 4;

// The structure of the operators and the step exponential; then the offset
// classes (RF sectors) with the first and last voxel of each, or for free
// precession the shared factor (each voxel later takes its summed offset).
void vps_plan_move(const VYNSpatialSector& s, VPSMovePlan& p) {
    VYNSpatialStats& stats = vyn_spatial_stats;
    const int n = s.n;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(n) * n;
    VPSStructure& structure = p.structure;
    vps_structure(s, structure);
    p.identity = s.ap < 1 || s.h == 0.0;
    p.free_precession = !p.identity && structure.izgrad_diagonal;
    for (int l = 0; l < s.ap && p.free_precession; ++l)
        if (s.xb[l] != 0.0 || s.yb[l] != 0.0) p.free_precession = false;
    int method = vyn_spatial_options.step_exp;
    if (method == VYN_STEP_EXP_AUTO)
        method =
            (structure.real_symmetric && n >= vyn_spatial_options.eig_min_n) ? VYN_STEP_EXP_EIG : VYN_STEP_EXP_PADE;
    if (method == VYN_STEP_EXP_EIG && !structure.real_symmetric) method = VYN_STEP_EXP_PADE;
    p.method = method;
    const VPSContext ctx{&s, &structure, method};
    stats.free_precession = p.free_precession ? 1 : 0;
    stats.structured = structure.real_symmetric ? 1 : 0;
    vps_prepare_workers(p.threads, n, s.ap);

    if (!p.identity && !p.free_precession) {
        p.class_of.resize(voxels);
        const int classes = vyn_spatial_offset_classes(s, p.class_of.data());
        p.class_rep.assign(classes, 0);
        p.class_last.assign(classes, 0);
        for (int v = voxels; v >= 1; --v) p.class_rep[p.class_of[v - 1]] = v;
        for (int v = 1; v <= voxels; ++v) p.class_last[p.class_of[v - 1]] = v;
        stats.classes = classes;
    } else if (p.free_precession) {
        p.static_factor.resize(nn);
        vps_static_factor(ctx, s.ap * s.h, p.static_factor.data(), *vps_workers[0]);
        stats.classes = 1;
    }
}

// Batch and cache bounds do not depend on the thread count: with offset
// interpolation they decide the groups, and so the last bits of a result.
void vps_bound_move(const VYNSpatialSector& s, VPSMovePlan& p) {
    const int n = s.n;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(n) * n;
    p.mat_bytes = static_cast<long long>(nn * sizeof(cd));
    p.batch = static_cast<int>(std::max<long long>(1, vyn_spatial_options.batch_bytes / p.mat_bytes));
    if (p.batch > voxels) p.batch = voxels;
    p.cache_cap = static_cast<int>(
        std::min<long long>(voxels, std::max<long long>(1, vyn_spatial_options.cache_bytes / p.mat_bytes)));
    p.interp_mode = vyn_spatial_options.interp;
    p.may_interpolate =
        p.interp_mode == VYN_INTERP_ON || (p.interp_mode == VYN_INTERP_AUTO && p.method == VYN_STEP_EXP_EIG);
    double norm_b = 0.0;  // ||Izgrad||_2 <= its largest absolute row sum (Hermitian)
    for (int r = 1; r <= n; ++r) {
        double sum = 0.0;
        for (int col = 1; col <= n; ++col) sum += std::abs((*s.izgrad)(r, col));
        norm_b = std::max(norm_b, sum);
    }
    p.norm_b = norm_b;
}

// The class propagators voxels first..first+count-1 need and the cache lacks:
// drops what this batch does not need when the cache is full, then forms the
// missing ones, by offset interpolation over a group where that pays.
void vps_form_missing(const VYNSpatialSector& s, const VPSContext& ctx, const VPSMovePlan& p, VPSMoveState& st,
                      int first, int count) {
    VYNSpatialStats& stats = vyn_spatial_stats;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(s.n) * s.n;
    const int threads = p.threads;
    const std::vector<int>& class_of = p.class_of;
    const std::vector<int>& class_rep = p.class_rep;
    const int cache_cap = p.cache_cap, interp_mode = p.interp_mode;
    const bool may_interpolate = p.may_interpolate;
    const double norm_b = p.norm_b;
    std::unordered_map<int, std::vector<cd>>& cache = st.cache;
    std::vector<char>& in_group = st.in_group;
    std::vector<double>& interp_offsets = st.interp_offsets;
    std::vector<double>& interp_nodes = st.interp_nodes;
    std::vector<double>& interp_weights = st.interp_weights;
    std::vector<VPSInterpStep>& interp_plan = st.interp_plan;
    std::vector<int> missing;
    for (int i = 0; i < count; ++i) {
        const int c = class_of[first + i - 1];
        if (!cache.count(c) && std::find(missing.begin(), missing.end(), c) == missing.end()) missing.push_back(c);
    }
    // Keep the cache within its bound: drop what this batch does not need.
    if (static_cast<int>(cache.size() + missing.size()) > cache_cap) {
        for (auto it = cache.begin(); it != cache.end();) {
            bool needed = false;
            for (int i = 0; i < count && !needed; ++i) needed = class_of[first + i - 1] == it->first;
            it = needed ? std::next(it) : cache.erase(it);
        }
    }
    // Offset interpolation over a group: this batch's classes and,
    // while the cache has room, the next ones in voxel order.
    bool interpolate = false;
    if (may_interpolate && !missing.empty()) {
        std::vector<int> group = missing;
        for (int c : group) in_group[c] = 1;
        int room = cache_cap - static_cast<int>(cache.size() + group.size());
        for (int v = first + count; v <= voxels && room > 0; ++v) {
            const int c = class_of[v - 1];
            if (in_group[c] || cache.count(c)) continue;
            in_group[c] = 1;
            group.push_back(c);
            --room;
        }
        for (int c : group) in_group[c] = 0;
        const int g = static_cast<int>(group.size());
        if (g >= 2) {
            interp_offsets.resize(static_cast<size_t>(g) * s.ap);
            for (int k = 0; k < g; ++k) {
                double x, y, z;
                vps_position(s, class_rep[group[k]], &x, &y, &z);
                for (int l = 0; l < s.ap; ++l)
                    interp_offsets[static_cast<size_t>(k) * s.ap + l] = vps_offset(s, l, x, y, z);
            }
            const long node_count = vps_interp_plan(s, norm_b, interp_offsets, g, interp_plan);
            interpolate =
                node_count > 0 && (interp_mode == VYN_INTERP_ON || 2 * node_count <= static_cast<long>(g) * s.ap);
            if (interpolate) {
                missing.swap(group);
                stats.interpolated += g;
                stats.interp_nodes += static_cast<int>(node_count);
            }
        }
    }
    std::vector<std::vector<cd>*> slots;
    for (int c : missing) {
        std::vector<cd>& slot = cache[c];
        slot.resize(nn);
        slots.push_back(&slot);
    }
    if (interpolate) {
        vps_form_interpolated(ctx, interp_offsets, interp_plan, slots, threads, interp_nodes, interp_weights);
    } else {
        vps_parallel(static_cast<int>(missing.size()), threads, [&](int i, int worker) {
            VPSWorker& wk = *vps_workers[worker];
            double x, y, z;
            vps_position(s, class_rep[missing[i]], &x, &y, &z);
            for (int l = 0; l < s.ap; ++l) wk.offsets[l] = vps_offset(s, l, x, y, z);
            vps_propagator(ctx, wk.offsets.data(), slots[i]->data(), wk);
        });
    }
    stats.propagators_formed += static_cast<int>(missing.size());
    stats.peak_cached = std::max(stats.peak_cached, static_cast<int>(cache.size()));
}

// Rotates the batch buf (voxels first..first+count-1) by their propagators.
// Voxels holding the same matrix and moved by the same propagator are
// rotated once, within the batch and across the last few of the previous one.
void vps_rotate_batch(const VYNSpatialSector& s, const VPSMovePlan& p, VPSMoveState& st, cd* buf, int first,
                      int count) {
    VYNSpatialStats& stats = vyn_spatial_stats;
    const int n = s.n;
    const size_t nn = static_cast<size_t>(n) * n;
    const int threads = p.threads;
    const bool free_precession = p.free_precession;
    const std::vector<int>& class_of = p.class_of;
    const std::vector<cd>& static_factor = p.static_factor;
    std::unordered_map<int, std::vector<cd>>& cache = st.cache;
    std::vector<VPSCarry>& carry = st.carry;
    std::vector<int>& src = st.src;
    std::vector<uint64_t>& hashes = st.hashes;
    // Voxels holding the same matrix and moved by the same
    // propagator are rotated once: src[i] = i computes, j < i
    // copies voxel j's result, -1 - k takes carried entry k.
    std::unordered_map<uint64_t, std::vector<int>> seen;
    std::vector<int> todo;
    for (int i = 0; i < count; ++i) {
        const int c = free_precession ? 0 : class_of[first + i - 1];
        const cd* rho = buf + nn * i;
        const uint64_t h = vps_mix(vps_hash_bytes(rho, nn * sizeof(cd)), static_cast<uint64_t>(c));
        hashes[i] = h;
        src[i] = i;
        for (int j : seen[h])
            if ((free_precession || class_of[first + j - 1] == c) &&
                std::memcmp(buf + nn * j, rho, nn * sizeof(cd)) == 0) {
                src[i] = j;
                break;
            }
        if (src[i] == i)
            for (size_t k = 0; k < carry.size(); ++k)
                if (carry[k].hash == h && carry[k].cls == c &&
                    std::memcmp(carry[k].in.data(), rho, nn * sizeof(cd)) == 0) {
                    src[i] = -1 - static_cast<int>(k);
                    break;
                }
        if (src[i] == i) {
            seen[h].push_back(i);
            todo.push_back(i);
        }
    }
    // Carried inputs must be saved before the batch is overwritten.
    std::vector<VPSCarry> next_carry;
    std::vector<int> next_carry_index;
    for (int k = static_cast<int>(todo.size()) - 1; k >= 0 && static_cast<int>(next_carry.size()) < kCarry; --k) {
        const int i = todo[k];
        VPSCarry e;
        e.hash = hashes[i];
        e.cls = free_precession ? 0 : class_of[first + i - 1];
        e.in.assign(buf + nn * i, buf + nn * (i + 1));
        next_carry.push_back(std::move(e));
        next_carry_index.push_back(i);
    }
    std::vector<const cd*> props(todo.size(), static_factor.data());
    if (!free_precession)
        for (size_t k = 0; k < todo.size(); ++k) props[k] = cache.find(class_of[first + todo[k] - 1])->second.data();
    vps_parallel(static_cast<int>(todo.size()), threads, [&](int k, int worker) {
        matrixmath_packed_rotate(n, props[k], buf + nn * todo[k], vps_workers[worker]->x.data());
    });
    stats.rotations += static_cast<int>(todo.size());
    for (size_t k = 0; k < next_carry.size(); ++k) {
        const int i = next_carry_index[k];
        next_carry[k].out.assign(buf + nn * i, buf + nn * (i + 1));
    }
    for (int i = 0; i < count; ++i) {
        if (src[i] == i) continue;
        const cd* from = src[i] >= 0 ? buf + nn * src[i] : carry[-1 - src[i]].out.data();
        std::memcpy(buf + nn * i, from, nn * sizeof(cd));
    }
    carry.swap(next_carry);
}
}  // namespace

struct VPSMover {
    const VYNSpatialSector* s = nullptr;
    VPSMovePlan plan;
    VPSMoveState st;
};

VPSMover* vps_mover_new(const VYNSpatialSector& s, int threads) {
    std::unique_ptr<VPSMover> m(new VPSMover);
    m->s = &s;
    m->plan.threads = threads;
    VPSBlasSingleThread blas_guard;
    vps_plan_move(s, m->plan);
    vps_bound_move(s, m->plan);
    m->st.in_group.assign(m->plan.class_rep.size(), 0);
    m->st.src.resize(m->plan.batch);
    m->st.hashes.resize(m->plan.batch);
    return m.release();
}

void vps_mover_delete(VPSMover* m) { delete m; }

int vps_mover_batch(const VPSMover& m) { return m.plan.batch; }

int vps_mover_classes(const VPSMover& m) {
    return m.plan.identity || m.plan.free_precession ? 0 : static_cast<int>(m.plan.class_rep.size());
}

int vps_mover_class_of(const VPSMover& m, int v) { return m.plan.class_of[v - 1]; }

void vps_mover_move(VPSMover& m, cd* buf, int first, int count) {
    const VYNSpatialSector& s = *m.s;
    VPSMovePlan& plan = m.plan;
    VPSMoveState& st = m.st;
    VYNSpatialStats& stats = vyn_spatial_stats;
    if (plan.identity) return;
    // The workers' scratch follows the sector (movers of several sectors take turns).
    vps_prepare_workers(plan.threads, s.n, s.ap);
    const VPSContext ctx{&s, &plan.structure, plan.method};
    const double r1 = vps_now();
    if (!plan.free_precession) vps_form_missing(s, ctx, plan, st, first, count);
    const double r2 = vps_now();
    stats.seconds_propagators += r2 - r1;
    vps_rotate_batch(s, plan, st, buf, first, count);
    if (plan.free_precession) vps_free_precession_phases(s, plan.structure, plan.threads, buf, first, count);
    stats.seconds_rotations += vps_now() - r2;
    // Propagators no later voxel needs.
    for (auto it = st.cache.begin(); it != st.cache.end();)
        it = plan.class_last[it->first] < first + count ? st.cache.erase(it) : std::next(it);
}

bool vps_move(const VYNSpatialSector& s, VPSIo& io, vyn_spatial_progress_fn progress, void* progress_ctx,
              binfh_rewrite_stage* stage) {
    VYNSpatialStats& stats = vyn_spatial_stats;
    const int n = s.n;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(n) * n;
    bool failed = false;
    try {
        double t0 = vps_now();
        VPSBlasSingleThread blas_guard;
        std::unique_ptr<VPSMover, void (*)(VPSMover*)> mover(vps_mover_new(s, vps_thread_count()), vps_mover_delete);
        stats.seconds_plan = vps_now() - t0;
        const int batch = mover->plan.batch;
        const long long mat_bytes = mover->plan.mat_bytes;
        std::vector<cd> file_buf(io.mem ? 0 : nn * batch);
        const bool in_place = io.in && io.out == io.in;
        const long long body_start = io.body_at >= 0 ? io.body_at : io.in ? static_cast<long long>(ftello(io.in)) : 0;

        for (int first = 1; first <= voxels && !failed; first += batch) {
            const int count = std::min(batch, voxels - first + 1);
            double r0 = vps_now();
            const size_t want = nn * count;
            cd* buf = io.mem ? io.mem + nn * (first - 1) : file_buf.data();
            const long long at = body_start + static_cast<long long>(first - 1) * mat_bytes;
            if (io.in) {
                errno = 0;
                // An update stream needs a seek between writing and reading.
                if ((in_place && fseeko(io.in, at, SEEK_SET) != 0) ||
                    std::fread(buf, sizeof(cd), want, io.in) != want) {
                    binfh_print_error(io.in_path);
                    *stage = BINFH_STAGE_READ_MATRIX;
                    failed = true;
                    break;
                }
            }
            stats.seconds_read += vps_now() - r0;
            vps_mover_move(*mover, buf, first, count);
            double w0 = vps_now();
            if (io.out) {
                errno = 0;
                if ((in_place && fseeko(io.out, at, SEEK_SET) != 0) ||
                    std::fwrite(buf, sizeof(cd), want, io.out) != want) {
                    binfh_print_error(io.out_path);
                    *stage = BINFH_STAGE_WRITE_MATRIX;
                    failed = true;
                    break;
                }
            }
            stats.seconds_write += vps_now() - w0;
            if (progress)
                for (int i = 0; i < count; ++i) progress(first + i, progress_ctx);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Rotate3D: not enough memory for the shared propagation\n");
        *stage = BINFH_STAGE_CALLBACK;
        failed = true;
    }
    return !failed;
}
