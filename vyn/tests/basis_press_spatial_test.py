#!/usr/bin/python3
"""The shipped spatial PRESS basis (models/basis/spatial) against a finer grid and the 1D form.

The voxel sum of a model's density matrices (all voxels evolve alike after the last sector) is
written as a one-voxel dm.bin and turned into a signal by vyn --voxel-signal. For creatine the
16 x 16 sum must lie within 10 % (relative L2 over the FID) of a 48 x 48 grid over the same 2.5 cm
with the same waveforms, and its CH3 singlet must have the 1D form's phase (the transmitter offset
turns whole cycles before the acquisition in both engines).

usage: basis_press_spatial_test.py VYN REPOSITORY_ROOT
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

import nibabel as nib
import numpy as np

VYN = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "build/vyn"
ROOT = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else "."


def run(*args):
    r = subprocess.run([VYN] + list(args), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout[-1500:] + r.stderr
    return r


def variant(t, name, grid, result):
    """The shipped spatial creatine model with another grid and result file, paths made absolute."""
    with open(os.path.join(ROOT, "models", "basis", "spatial", "creatine.vynmodel")) as f:
        text = f.read()
    text = text.replace("../../../", ROOT + "/")
    for k, v in grid.items():
        text = re.sub(r"^%s: .*$" % k, "%s: %.10g" % (k, v), text, flags=re.M)
    text = re.sub(r"^result_file: .*$", "result_file: " + result, text, flags=re.M)
    path = os.path.join(t, name + ".vynmodel")
    with open(path, "w") as f:
        f.write(text)
    return path


def summed_signal(t, dm_path):
    with open(dm_path, "rb") as f:
        raw = f.read()
    typ, n, count = struct.unpack("<iii", raw[:12])
    assert typ == 0
    rho = np.frombuffer(raw[12:12 + 16 * n * n * count], "<f8").reshape(count, n, n, 2).sum(0)
    one = variant(t, "one", {"ndx": 1, "ndy": 1, "dx_cm": 0, "dy_cm": 0, "x0_cm": 0, "y0_cm": 0},
                  os.path.join(t, "one-dm.bin"))
    with open(os.path.join(t, "sum.bin"), "wb") as f:
        f.write(struct.pack("<iii", 0, n, 1) + rho.astype("<f8").tobytes())
    run("--voxel-signal", one, os.path.join(t, "sum.bin"), "1", os.path.join(t, "sum.sig"))
    with open(os.path.join(t, "sum.sig"), "rb") as f:
        raw = f.read()
    typ, k, traces = struct.unpack("<iii", raw[:12])
    d = np.frombuffer(raw[12:12 + 16 * k], "<f8")
    return (d[0::2] + 1j * d[1::2]) / count


class SpatialBasis(unittest.TestCase):
    def test_creatine_grid_and_phase(self):
        with tempfile.TemporaryDirectory() as t:
            sums = {}
            for nd in (16, 48):
                d = 2.5 / nd
                grid = {"ndx": nd, "ndy": nd, "dx_cm": d, "dy_cm": d, "x0_cm": -1.25 + d / 2, "y0_cm": -1.25 + d / 2}
                dm = os.path.join(t, "g%d-dm.bin" % nd)
                run("--run-model", variant(t, "g%d" % nd, grid, dm))
                sums[nd] = summed_signal(t, dm)  # mean over the voxels: same area, comparable
                os.remove(dm)
            rel = np.linalg.norm(sums[16] - sums[48]) / np.linalg.norm(sums[48])
            self.assertLess(rel, 0.10, "16 x 16 voxel sum against 48 x 48")
            out = os.path.join(t, "b1")
            run("--basis-set", out, os.path.join(ROOT, "models", "basis", "1d", "creatine.vynmodel"))
            one_d = np.conj(np.asarray(nib.load(os.path.join(out, "creatine.nii.gz")).dataobj).reshape(-1))
            a, b = np.fft.fft(sums[16]), np.fft.fft(one_d)
            k = np.argmax(np.abs(b))
            self.assertLess(abs(np.degrees(np.angle(a[k] / b[k]))), 20.0, "CH3 phase, spatial sum against 1D")
            print("16 x 16 against 48 x 48: %.3f; CH3 phase against 1D %.1f deg" % (rel, np.degrees(np.angle(a[k] / b[k]))))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
