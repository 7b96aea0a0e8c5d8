#!/usr/bin/python3
"""Writes the data of bench/run-qorvane-nifti into DIR (nibabel and numpy):

  mrsi.nii.gz    NX x NY x NZ x N complex64 NIfTI-MRS MRSI (NIfTI-2, ecode-44 header), four
                 Lorentzian lines per voxel whose areas vary across the plane, complex noise
  mask.nii.gz    a round in-plane mask (a disc per plane) of about 60 % of the voxels
  start.par      the matching fit-control file (n_pnts N, Hz_p_p 1/(N dwell), four lines)
  volume.qorvvol the same voxels as QORVVOL1: each voxel's spectrum made by the fitter's rule
                 (first FID point halved, forward FFT, rotation by N/2), id "x<i>_y<j>_z<k>|f"
                 with f the mask flag, so that both jobs fit exactly the same spectra

  qorvane_nifti_bench_data.py DIR [--shape NX NY NZ N] [--dwell S] [--noise SD] [--seed N]
"""
import argparse
import json
import os
import struct

import nibabel as nib
import numpy as np

LINES = [  # nu (Hz), width (Hz), phase (deg), area at the plane's centre
    (-400.0, 6.0, 10.0, 100.0),
    (-100.0, 8.0, 10.0, 60.0),
    (150.0, 7.0, 10.0, 80.0),
    (450.0, 10.0, 10.0, 40.0),
]


def write_par(path, n, dwell):
    sw = 1.0 / dwell
    rows = []
    for k, (nu, width, phase, area) in enumerate(LINES, 1):
        f = nu + 0.5 * sw
        # starts off the truth, as a real fit's would be
        rows.append((k, 1.2 * area, f + 2.0, width + 0.5, phase - 5.0))
    text = [
        "version_3", f"n_pnts {n}", "noistr 20", "noistp 100", f"nLines {len(LINES)}", "lsfcfs 0",
        "phi__1 0.0000000000e+00", f"Hz_p_p {sw / n:.10g}", "f__tol 1.0000000000e-07", "fit_mo 1", "verbos 0",
        "showli 1", "clcerr 1", "sg_idl none", "ranges 1", "ignore 0", "pattrn 0",
        "   algor trunc  ampli  frequ  width  phase  voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max",
        f"@ 2 {n} 1 1 1 1 0 0 1 0 300 2 1 1 {n - 1}",
        "number       area          frequency      gausswidth        phase        lorentzwidth ",
    ]
    for k, area, f, width, phase in rows:
        text.append(f"{k}\t{area:.10e}\t{f:.10e}\t{width:.10e}\t{phase:.10e}\t{0.0:.10e}\t")
    for k, area, f, width, phase in rows:
        text.append(f"#{k} lsffit 0")
        for v, lo, hi in ((area, 0.3 * area, 3.0 * area), (f, f - 10.0, f + 10.0), (width, 0.5 * width, 2.5 * width),
                          (phase, phase - 45.0, phase + 45.0), (0.0, -1e-8, 1e-8)):
            text.append(f"2\t0\t{v:.10e}\t{lo:.10e}\t{hi:.10e}")
    text += ["lsf_coefs", "end_of_lsf"]
    with open(path, "w") as out:
        out.write("\n".join(text) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--shape", type=int, nargs=4, default=[64, 64, 16, 1024])
    ap.add_argument("--dwell", type=float, default=0.0005)
    ap.add_argument("--noise", type=float, default=0.5)
    ap.add_argument("--seed", type=int, default=11)
    a = ap.parse_args()
    nx, ny, nz, n = a.shape
    os.makedirs(a.dir, exist_ok=True)
    rng = np.random.default_rng(a.seed)
    t = np.arange(n) * a.dwell
    x, y = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    fx, fy = x / max(nx - 1, 1), y / max(ny - 1, 1)
    # a disc of 60 % of the plane's area, centred
    r2 = 0.6 * nx * ny / np.pi
    disc = ((x - 0.5 * (nx - 1)) ** 2 + (y - 0.5 * (ny - 1)) ** 2 <= r2).astype(np.uint8)
    data = np.empty((nx, ny, nz, n), dtype=np.complex64)
    for z in range(nz):
        plane = np.zeros((nx, ny, n), dtype=np.complex128)
        for k, (nu, width, phase, area) in enumerate(LINES):
            scale = area * (0.75 + 0.5 * (fx if k % 2 == 0 else fy)) * (1.0 + 0.01 * z)
            line = np.exp(1j * np.deg2rad(phase)) * np.exp(2j * np.pi * nu * t - np.pi * width * t)
            plane += scale[:, :, None] * line[None, None, :]
        plane += a.noise * (rng.standard_normal(plane.shape) + 1j * rng.standard_normal(plane.shape))
        data[:, :, z, :] = plane
    mask = np.repeat(disc[:, :, None], nz, axis=2)
    affine = np.array([[-4.0, 0, 0, 128.0], [0, 4.0, 0, -128.0], [0, 0, 8.0, -60.0], [0, 0, 0, 1]])
    img = nib.Nifti2Image(data, affine)
    hdr = img.header
    hdr.set_qform(affine, code=1)
    hdr.set_sform(affine, code=2)
    hdr.set_xyzt_units("mm", "sec")
    pix = hdr["pixdim"]
    pix[4] = a.dwell
    hdr["pixdim"] = pix
    hdr["intent_name"] = b"mrs_v0_3"
    meta = {"SpectrometerFrequency": [123.2], "ResonantNucleus": ["1H"]}
    hdr.extensions.append(nib.nifti1.Nifti1Extension(44, json.dumps(meta).encode()))
    nib.save(img, os.path.join(a.dir, "mrsi.nii.gz"))
    mimg = nib.Nifti1Image(mask, affine)
    mimg.header.set_qform(affine, code=1)
    mimg.header.set_sform(affine, code=2)
    nib.save(mimg, os.path.join(a.dir, "mask.nii.gz"))
    write_par(os.path.join(a.dir, "start.par"), n, a.dwell)

    # QORVVOL1: linear order x fastest, the fitter's spectrum of the stored (complex64) FID.
    id_bytes = 32
    with open(os.path.join(a.dir, "volume.qorvvol"), "wb") as out:
        out.write(b"QORVVOL1" + struct.pack("<6I", n, nx, ny, nz, id_bytes, 1))
        for z in range(nz):
            fid = data[:, :, z, :].astype(np.complex128)
            fid[:, :, 0] *= 0.5
            spectra = np.fft.fftshift(np.fft.fft(fid, axis=2), axes=2).astype(np.complex64)
            for yy in range(ny):
                for xx in range(nx):
                    vid = f"x{xx}_y{yy}_z{z}|{int(mask[xx, yy, z])}".encode()
                    out.write(vid.ljust(id_bytes, b"\0"))
                    out.write(spectra[xx, yy].tobytes())
    print(f"{nx} x {ny} x {nz} x {n}: {int(mask.sum())} of {mask.size} voxels in the mask "
          f"({100.0 * mask.sum() / mask.size:.1f} %), files in {a.dir}")


if __name__ == "__main__":
    main()
