#!/usr/bin/python3
"""Benchmark of texel-maps (rates per CPU second, since the machines it runs on are often shared) against scikit-image on the same masked volume (called by
bench/run-texel-maps-compare): texel-maps on 1 and 2 threads (CPU path), then scikit-image
per voxel on a random sample of the mask's voxels, whose features are also compared with
the maps."""
import re
import subprocess
import sys
import time

import nibabel as nib
import numpy as np
from skimage.feature import graycomatrix, graycoprops

X, Y, Z, P, Q, L = 256, 256, 64, 2, 2, 32


def make_volume(path):
    rng = np.random.default_rng(30)
    x, y, z = np.meshgrid(np.arange(X), np.arange(Y), np.arange(Z), indexing="ij")
    img = (400 + 150 * np.sin(x / 9.0) * np.cos(y / 13.0) + 3 * z + rng.normal(0, 40, (X, Y, Z))).astype(np.float32)
    # semi-axes 0.83 of the half sizes: pi/6 * 0.83^3 = 30 % of the voxels
    mask = (((x - 127.5) / 106.0) ** 2 + ((y - 127.5) / 106.0) ** 2 + ((z - 31.5) / 26.5) ** 2 <= 1).astype(np.uint8)
    aff = np.diag([0.9, 0.9, 2.0, 1.0])
    nib.save(nib.Nifti1Image(img, aff), f"{path}/img.nii.gz")
    nib.save(nib.Nifti1Image(mask, aff), f"{path}/mask.nii.gz")
    return img, mask


def run_maps(exe, path, threads):
    t0 = time.perf_counter()
    p = subprocess.run([exe, f"{path}/img.nii.gz", f"{path}/out{threads}", "--window", f"{P},{Q}", "--levels",
                        str(L), "--mask", f"{path}/mask.nii.gz", "--threads", str(threads), "--gpu", "off"],
                       capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if p.returncode != 0:
        sys.exit(f"texel-maps failed:\n{p.stdout}{p.stderr}")
    m = re.search(r"(\d+) voxels in ([0-9.]+) s \((\d+) voxels/s\).*; ([0-9.]+) s of CPU time", p.stdout)
    return int(m.group(1)), float(m.group(2)), float(m.group(4)), wall


def skimage_voxel(win, ins):
    w = np.where(ins, win, L).astype(np.uint8)
    g = graycomatrix(w, [1], [0, np.pi / 4, np.pi / 2, 3 * np.pi / 4], levels=L + 1, symmetric=True)
    g = np.ascontiguousarray(g[:L, :L])
    i = np.arange(L)[:, None]
    out, used = np.zeros(10), 0
    for a in range(4):
        m = g[:, :, 0, a].astype(np.float64)
        if m.sum() == 0:
            continue
        used += 1
        p = m / m.sum()
        props = [graycoprops(g[:, :, :, a:a + 1], k)[0, 0] for k in
                 ("contrast", "dissimilarity", "homogeneity", "ASM", "energy")]
        mu = (i * p).sum()
        nz = p[p > 0]
        out += props + [p.max(), -(nz * np.log(nz)).sum(), mu,
                        graycoprops(g[:, :, :, a:a + 1], "correlation")[0, 0], ((i - mu) ** 2 * p).sum()]
    return out / used


def main():
    exe, path, sample = sys.argv[1], sys.argv[2], int(sys.argv[3])
    img, mask = make_volume(path)
    inside = mask != 0
    print(f"volume {X} x {Y} x {Z}, mask {inside.sum()} voxels ({100 * inside.mean():.1f} %), "
          f"P = Q = {P}, L = {L}")
    rates = {}
    for threads in (1, 2):
        n, secs, cpu, wall = run_maps(exe, path, threads)
        rates[threads] = n / cpu
        print(f"texel-maps, {threads} thread(s): {n} masked voxels in {secs:.2f} s wall = {n / secs / 1e3:.0f} k "
              f"voxels/s; {cpu:.2f} s CPU = {n / cpu / 1e3:.0f} k voxels per CPU second; whole run with I/O "
              f"{wall:.2f} s")
    # scikit-image on a sample, with the same discretisation and mask rule
    lo, hi = img[inside].astype(np.float64).min(), img[inside].astype(np.float64).max()
    lev = np.where(inside, np.minimum(L - 1, np.floor(L * (img.astype(np.float64) - lo) / (hi - lo))), 0).astype(int)
    fits = np.zeros(inside.shape, bool)
    fits[P:X - P, Q:Y - Q, :] = True
    cand = np.argwhere(inside & fits)
    pick = cand[np.random.default_rng(1).choice(len(cand), sample, replace=False)]
    maps = [nib.load(f"{path}/out1/{n}.nii.gz").get_fdata(dtype=np.float64) for n in
            ("contrast", "dissimilarity", "homogeneity", "asm", "energy", "max_probability", "entropy",
             "glcm_mean", "correlation", "glcm_variance")]
    t0 = time.process_time()
    feats = [skimage_voxel(lev[x - P:x + P + 1, y - Q:y + Q + 1, z].T, inside[x - P:x + P + 1, y - Q:y + Q + 1, z].T)
             for x, y, z in pick]
    secs = time.process_time() - t0
    sk = sample / secs
    worst = 0.0
    for (x, y, z), f in zip(pick, feats):
        got = np.array([m[x, y, z] for m in maps])
        scale = np.maximum(np.abs(f), [0, 0, 0, 0, 0, 0, 0, 0, 1, 0])
        ok = np.isfinite(got) & np.isfinite(f)
        worst = max(worst, float((np.abs(got - f)[ok] / np.where(scale > 0, scale, 1)[ok]).max()))
    print(f"scikit-image {sys.modules['skimage'].__version__}, 1 thread: {sample} sampled masked voxels in {secs:.2f} s CPU "
          f"= {sk:.0f} voxels per CPU second; worst relative difference to the maps {worst:.1e}")
    print(f"ratio texel-maps / scikit-image per CPU second: {rates[1] / sk:.0f}x on one thread, "
          f"{rates[2] / sk:.0f}x with 2 threads (goal: 250 k masked voxels per CPU second)")


if __name__ == "__main__":
    main()
