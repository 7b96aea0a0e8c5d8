// Planning of a spatial sector: the structure of the operators, voxel
// positions and the offset classes of the voxels.
#include <cmath>
#include <unordered_map>

#include "vyn_prop_fast_internal.h"

// Voxel v (1-based, z fastest, x slowest) and its position, as the literal
// propagator computes it.
void vps_position(const VYNSpatialSector& s, int v, double* x, double* y, double* z) {
    const int k = v - 1;
    const int kz = k % s.ndz;
    const int ky = (k / s.ndz) % s.ndy;
    const int kx = k / (s.ndz * s.ndy);
    *x = s.x0 + kx * s.dx;
    *y = s.y0 + ky * s.dy;
    *z = s.z0 + kz * s.dz;
}

void vps_structure(const VYNSpatialSector& s, VPSStructure& st) {
    const int n = s.n;
    st.m.assign(n, 0.0);
    double scale = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            scale = std::fmax(scale, std::fmax(std::abs((*s.hc)(r, c)),
                                               std::fmax(std::abs((*s.ixtot)(r, c)), std::abs((*s.iytot)(r, c)))));
    const double tol = 1e-13 * (scale > 0.0 ? scale : 1.0);
    bool diag = true, hc_block = true, sym = true;
    for (int r = 1; r <= n; ++r) {
        st.m[r - 1] = (*s.izgrad)(r, r).real();
        if ((*s.izgrad)(r, r).imag() != 0.0) diag = false;
        for (int c = 1; c <= n; ++c)
            if (r != c && (*s.izgrad)(r, c) != cd(0.0, 0.0)) diag = false;
    }
    if (diag) {
        for (int r = 1; r <= n && hc_block; ++r)
            for (int c = 1; c <= n; ++c)
                if (st.m[r - 1] != st.m[c - 1] && std::abs((*s.hc)(r, c)) > tol) {
                    hc_block = false;
                    break;
                }
    }
    for (int r = 1; r <= n && sym; ++r)
        for (int c = 1; c <= n; ++c) {
            const cd hv = (*s.hc)(r, c), xv = (*s.ixtot)(r, c), yv = (*s.iytot)(r, c);
            const double dm = diag ? st.m[r - 1] - st.m[c - 1] : 0.0;
            const bool ok = std::fabs(hv.imag()) <= tol && std::fabs(hv.real() - (*s.hc)(c, r).real()) <= tol &&
                            std::fabs(xv.imag()) <= tol && std::fabs(xv.real() - (*s.ixtot)(c, r).real()) <= tol &&
                            (std::fabs(xv.real()) <= tol || std::fabs(std::fabs(dm) - 1.0) <= 1e-12) &&
                            std::abs(yv - cd(0.0, -dm) * xv) <= tol;
            if (!ok) {
                sym = false;
                break;
            }
        }
    st.izgrad_diagonal = diag && hc_block;
    st.real_symmetric = st.izgrad_diagonal && sym;
}

int vyn_spatial_offset_classes(const VYNSpatialSector& s, int* class_of) {
    const int voxels = s.ndx * s.ndy * s.ndz;
    std::unordered_map<uint64_t, std::vector<int>> by_hash;  // hash -> classes
    std::vector<int> rep;                                    // class -> representative voxel
    int classes = 0;
    for (int v = 1; v <= voxels; ++v) {
        double x, y, z;
        vps_position(s, v, &x, &y, &z);
        uint64_t h = 0x12345;
        for (int l = 0; l < s.ap; ++l) h = vps_mix(h, vps_bits(vps_offset(s, l, x, y, z)));
        std::vector<int>& cands = by_hash[h];
        int found = -1;
        for (int c : cands) {
            double rx, ry, rz;
            vps_position(s, rep[c], &rx, &ry, &rz);
            bool same = true;
            for (int l = 0; l < s.ap && same; ++l) same = vps_offset(s, l, x, y, z) == vps_offset(s, l, rx, ry, rz);
            if (same) {
                found = c;
                break;
            }
        }
        if (found < 0) {
            found = classes++;
            rep.push_back(v);
            cands.push_back(found);
        }
        class_of[v - 1] = found;
    }
    return classes;
}
