#!/usr/bin/python3
"""NumPy/SciPy simulation of the localisation sequence of bench/vyn_spatial.cpp.

An independent implementation of the same physics, written the plain way:
for every voxel, every sector and every sample one scipy.linalg.expm of
-i H dt, the products in NumPy, and rho <- P^H rho P per sector.

    /usr/bin/python3 bench/vyn_spatial_numpy.py --spins 6 --grid 4 [--compare loc-6-4.bin]

--compare reads a dm.bin kept by bench_vyn_spatial (VYN_BENCH_DM_DIR) and
prints the largest deviation from it; --dm-diff A B only compares two kept
files (the slice runs with and without offset interpolation).
"""
import argparse
import struct
import time

import numpy as np
import scipy.linalg

TWO_PI = 2.0 * np.pi


def spin_operators(nspins):
    """Ix, Iy, Iz of each spin-1/2 on the product basis (spin 1 slowest, m = +1/2 first)."""
    sx = np.array([[0, 0.5], [0.5, 0]], dtype=complex)
    sy = np.array([[0, -0.5j], [0.5j, 0]], dtype=complex)
    sz = np.array([[0.5, 0], [0, -0.5]], dtype=complex)
    ops = []
    for s in range(nspins):
        per = []
        for single in (sx, sy, sz):
            m = np.array([[1.0 + 0j]])
            for k in range(nspins):
                m = np.kron(m, single if k == s else np.eye(2))
            per.append(m)
        ops.append(per)
    return ops


def system(nspins):
    ops = spin_operators(nspins)
    n = 2 ** nspins
    hc = np.zeros((n, n), dtype=complex)
    rho = np.zeros((n, n), dtype=complex)
    for i in range(nspins):
        ix, iy, iz = ops[i]
        hc += TWO_PI * (-200.0 + 75.0 * (i + 1)) * iz
        rho += iz / np.linalg.norm(iz)
        for k in range(i + 1, nspins):
            j = TWO_PI * (3.0 + (i + 1) + 0.5 * (k + 1))
            for a in range(3):
                hc += j * ops[i][a] @ ops[k][a]
    fx = sum(o[0] for o in ops)
    fy = sum(o[1] for o in ops)
    fz = sum(o[2] for o in ops)
    return hc, fx, fy, fz, rho


def sinc(l, quarter_turns):
    u = (l - 32 + 0.5) / 8.0
    return quarter_turns * TWO_PI * 1500.0 * np.sin(np.pi * u) / (np.pi * u) * np.exp(-u * u / 16)


def sectors():
    """(dt, xb, yb, gx, gy, gz) per sector, as the C++ benchmark writes them."""
    out = []
    ap = 64
    for axis in range(3):
        xb = np.zeros(ap)
        yb = np.zeros(ap)
        g = [np.zeros(ap), np.zeros(ap), np.zeros(ap)]
        for l in range(ap):
            if axis == 0:
                xb[l] = sinc(l, 1.0)
            else:
                yb[l] = sinc(l, 2.0)
            g[axis][l] = TWO_PI * 500.0
        out.append((2e-3 / ap, xb, yb, g[0], g[1], g[2]))
        c = np.full(16, TWO_PI * 2000.0)
        out.append((1e-3 / 16, np.zeros(16), np.zeros(16), c, c, c))
    return out


def simulate(nspins, grid):
    hc, fx, fy, fz, rho0 = system(nspins)
    d = 2.0 / grid
    coords = -1.0 + d * np.arange(grid)
    seq = sectors()
    result = []
    for x in coords:  # x slowest, z fastest, as in dm.bin
        for y in coords:
            for z in coords:
                rho = rho0.copy()
                for dt, xb, yb, gx, gy, gz in seq:
                    p = np.eye(hc.shape[0], dtype=complex)
                    for l in range(len(xb)):
                        w = gx[l] * x + gy[l] * y + gz[l] * z
                        h = hc + w * fz + xb[l] * fx + yb[l] * fy
                        p = p @ scipy.linalg.expm(-1j * h * dt)
                    rho = p.conj().T @ rho @ p
                result.append(rho)
    return result


def read_dm(path):
    with open(path, "rb") as f:
        typ, n, count = struct.unpack("<3i", f.read(12))
        body = np.frombuffer(f.read(), dtype="<f8")
    assert typ == 0 and body.size == 2 * n * n * count, "not a complete type-0 file"
    return (body[0::2] + 1j * body[1::2]).reshape(count, n, n)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--spins", type=int, default=6)
    ap.add_argument("--grid", type=int, default=4)
    ap.add_argument("--compare", help="dm.bin of the same case from bench_vyn_spatial")
    ap.add_argument("--dm-diff", nargs=2, metavar=("A", "B"),
                    help="only print the largest deviation between two dm.bin files of the same grid")
    args = ap.parse_args()
    if args.dm_diff:
        a, b = (read_dm(p) for p in args.dm_diff)
        assert a.shape == b.shape, "different grids or sizes"
        print(f"max deviation {args.dm_diff[0]} - {args.dm_diff[1]}: {np.abs(a - b).max():.3g}")
        return
    t0 = time.perf_counter()
    result = simulate(args.spins, args.grid)
    t1 = time.perf_counter()
    print(f"numpy/scipy localisation: spins={args.spins} n={2 ** args.spins} grid={args.grid}^3 "
          f"voxels={len(result)} wall={t1 - t0:.3f} s")
    if args.compare:
        dm = read_dm(args.compare)
        dev = max(np.abs(dm[k] - result[k]).max() for k in range(len(result)))
        print(f"max deviation from {args.compare}: {dev:.3g}")


if __name__ == "__main__":
    main()
