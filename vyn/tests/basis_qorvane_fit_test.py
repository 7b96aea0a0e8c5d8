#!/usr/bin/python3
"""A vyn basis pattern (.bin) fitted by qorvane_pthreads: a spectrum made from the
basis FID with factor 0.7, shift 2 Hz and phase 10 degrees gives them back.

usage: basis_qorvane_fit_test.py VYN QORVANE REPOSITORY_ROOT
"""
import os
import subprocess
import sys
import tempfile

import nibabel as nib
import numpy as np

VYN, QORVANE, ROOT = (os.path.abspath(a) for a in sys.argv[1:4])
N, DWELL = 1024, 0.512 / 1024
HZPP = 1.0 / (N * DWELL)


def model(t):
    text = ("format_version: 1\nmodel_name: cr\n# vyn_gui_b0_tesla: 3\n# vyn_gui_receiver_carrier_ppm: 4.7\n"
            "spin_system_file: %s\nsequence_file: %s\nresult_file: %s\n"
            % (os.path.join(ROOT, "spin-systems", "metabolites", "creatine.vynspin"),
               os.path.join(ROOT, "sequences", "pulse-acquire", "pulse-acquire.vynseq"), os.path.join(t, "cr.sig")))
    text += "".join("%s: %s\n" % (k, v) for k, v in [("ndx", 1), ("ndy", 1), ("ndz", 1), ("x0_cm", 0),
                                                      ("y0_cm", 0), ("z0_cm", 0), ("dx_cm", 0), ("dy_cm", 0),
                                                      ("dz_cm", 0)])
    path = os.path.join(t, "cr.vynmodel")
    with open(path, "w") as f:
        f.write(text)
    return path


def par(pattern, start):
    lines = ["version_3", "n_pnts %d" % N, "noistr 0", "noistp 0", "nLines 0", "lsfcfs 0", "phi__1 0",
             "Hz_p_p %.12e" % HZPP, "f__tol 1e-10", "fit_mo 1", "verbos 0", "showli 1", "clcerr 0", "sg_idl none",
             "ranges 1", "ignore 0", "pattrn 1", pattern,
             "   algor trunc  ampli  frequ  width  phase  voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max",
             "@ 2 %d 1 1 0 1 0 0 1 0 200 2 1 2 %d" % (N, N - 3),
             "number       area          frequency      gausswidth        phase        lorentzwidth",
             "1\t%.10e\t%.10e\t0\t%.10e\t0\t" % start, "#1 lsffit 0"]
    spans = [0.5, 10.0, 1.0, 40.0, 1.0]
    for v, s in zip([start[0], start[1], 0.0, start[2], 0.0], spans):
        lines.append("4\t0\t%.10e\t%.10e\t%.10e" % (v, v - s, v + s))
    lines += ["lsf_coefs", "end_of_lsf"]
    return "\n".join(lines) + "\n"


def main():
    with tempfile.TemporaryDirectory() as t:
        out = os.path.join(t, "basis")
        r = subprocess.run([VYN, "--basis-set", out, model(t)], stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        fid = np.asarray(nib.load(os.path.join(out, "cr.nii.gz")).dataobj).reshape(-1).astype(complex)
        # The data: 0.7 x the basis FID moved by +2 Hz and turned by 10 degrees, as the fitter
        # forms a spectrum (first point halved, forward FFT, zero frequency at point N/2).
        k = np.arange(N)
        x = 0.7 * fid * np.exp(2j * np.pi * 2.0 * k * DWELL) * np.exp(1j * np.radians(10.0))
        x[0] *= 0.5
        spectrum = np.roll(np.fft.fft(x), N // 2)
        data = np.empty(2 * N, "<f4")
        data[0::2], data[1::2] = spectrum.real, spectrum.imag
        data.tofile(os.path.join(t, "data.bin"))
        # Starting values (factor, shift Hz, phase deg) on both sides of the truth. The basis lines
        # are undamped (about 2 Hz wide here), so starts lie within half a line width in frequency.
        ok = True
        for start in [(0.6, 1.5, 5.0), (0.8, 2.5, 15.0)]:
            with open(os.path.join(t, "start.par"), "w") as f:
                f.write(par(os.path.join(out, "cr.bin"), start))
            r = subprocess.run([QORVANE, t, "data.bin", os.path.join(t, "start.par")], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=120)
            assert r.returncode == 0, r.stdout[-2000:] + r.stderr
            with open(os.path.join(t, "data.mat")) as f:
                row = [float(v) for v in f.read().split()[:5]]
            good = abs(row[0] - 0.7) < 1e-4 and abs(row[1] - 2.0) < 1e-3 and abs(row[3] - 10.0) < 1e-2
            print("start", start, "fitted area, frequency, width1, phase, width2:", row, "OK" if good else "FAIL")
            ok = ok and good
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
