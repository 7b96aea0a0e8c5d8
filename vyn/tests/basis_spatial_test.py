#!/usr/bin/python3
"""vyn --basis-set on a spatially resolved model: the voxel sum, --voxel-range parts and --basis-merge.

usage: basis_spatial_test.py VYN_EXECUTABLE REPOSITORY_ROOT
"""
import glob
import os
import struct
import shutil
import subprocess
import sys
import tempfile
import unittest

import nibabel as nib
import numpy as np

VYN = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "build/vyn"
ROOT = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else "."
SPIN = os.path.join(ROOT, "spin-systems", "metabolites", "aspartate.vynspin")  # 3 coupled spins, 8 states
GRID = (4, 3, 2)
VOXELS = GRID[0] * GRID[1] * GRID[2]
TWO_PI = 2.0 * np.pi


def put(path, text):
    with open(path, "w") as f:
        f.write(text)


def get(path):
    with open(path) as f:
        return f.read()


def pulse(path, ap, duration, area=0.0, g=(0.0, 0.0, 0.0)):
    """A Hann-shaped x pulse of flip angle area (rad) under constant gradients g (Hz/cm)."""
    h = duration / ap
    shape = np.sin(np.pi * (np.arange(ap) + 0.5) / ap) ** 2
    xb = shape * (area / (shape.sum() * h)) if area else np.zeros(ap)
    blocks = [xb, np.zeros(ap)] + [np.full(ap, TWO_PI * gi) for gi in g]
    np.concatenate(blocks).astype("<f8").tofile(path)


def write_model(d, name="asp-spatial", field=True):
    """Excitation under x, crushers on all axes, refocusing under y and z, a delay, acquisition (the voxel
    sum then adds the matrices per class of the refocusing pulse and moves the sum through the delay)."""
    sectors = [
        ("excitation under x", 16, 1e-3, np.pi / 2, (900.0, 0.0, 0.0)),
        ("crusher", 4, 1e-3, 0.0, (400.0, 300.0, 500.0)),
        ("refocusing under y and z", 16, 2e-3, np.pi, (0.0, 700.0, 250.0)),
        ("delay", 4, 1e-3, 0.0, (0.0, 0.0, 0.0)),
        ("ADC receiver window", 256, 0.256, 0.0, (0.0, 0.0, 0.0)),
    ]
    seq = ["format_version: 1", "sequence_name: spatial-test", "sequence_type: 1",
           "number_of_sectors: %d" % len(sectors)]
    for i, (remark, ap, dur, area, g) in enumerate(sectors, 1):
        wave = os.path.join(d, "s%d.bin" % i)
        pulse(wave, ap, dur, area, g)
        seq += ["sector_type: %d 1" % i, "sector_timepoints: %d %d" % (i, ap), "sector_evolpoints: %d 1" % i,
                "sector_duration_s: %d %.17g" % (i, dur), "sector_pulsefile: %d %s" % (i, wave),
                "sector_statoff_hz: %d 0" % i, "sector_remark: %d %s" % (i, remark)]
    put(os.path.join(d, "spatial-test.vynseq"), "\n".join(seq) + "\n")
    head = "# vyn_gui_b0_tesla: 3\n# vyn_gui_receiver_carrier_ppm: 4.7\n" if field else ""
    grid = {"ndx": GRID[0], "ndy": GRID[1], "ndz": GRID[2], "x0_cm": -0.3, "y0_cm": -0.2, "z0_cm": -0.1,
            "dx_cm": 0.2, "dy_cm": 0.2, "dz_cm": 0.2}
    model = os.path.join(d, name + ".vynmodel")
    put(model, "format_version: 1\nmodel_name: %s\n%sspin_system_file: %s\nsequence_file: %s\n%sresult_file: %s\n"
        % (name, head, SPIN, os.path.join(d, "spatial-test.vynseq"),
           "".join("%s: %s\n" % kv for kv in grid.items()), os.path.join(d, name + "-dm.bin")))
    return model


def run_vyn(*args):
    return subprocess.run([VYN] + list(args), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


def get_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_type1(path):
    raw = get_bytes(path)
    typ, n, traces = struct.unpack("<iii", raw[:12])
    assert typ == 1 and traces == 1
    d = np.frombuffer(raw[12:12 + 16 * n], "<f8")
    return d[0::2] + 1j * d[1::2]


def read_dm(path):
    raw = get_bytes(path)
    typ, n, count = struct.unpack("<iii", raw[:12])
    assert typ == 0
    d = np.frombuffer(raw[12:12 + 16 * n * n * count], "<f8")
    return (d[0::2] + 1j * d[1::2]).reshape(count, n, n)


def read_part(path):
    lines = get(path).split("\n")
    head = dict(line.split(" ", 1) for line in lines[:7])
    n = int(head["states"])
    vals = np.array([[float(v) for v in line.split()] for line in lines[7:7 + n * n]])
    assert lines[7 + n * n] == "end"
    return head, (vals[:, 0] + 1j * vals[:, 1]).reshape(n, n)


def read_raw(path):
    body = get(path).split("$NMID", 1)[1].split("$END", 1)[1]
    vals = np.array([float(v) for v in body.split()])
    return vals[0::2] + 1j * vals[1::2]


def rel(a, b):
    return np.max(np.abs(a - b)) / np.max(np.abs(b))


class SpatialBasis(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.d = cls.tmp.name
        cls.model = write_model(cls.d)
        # Reference: every voxel's matrix from --run-model, every voxel's signal from --voxel-signal.
        r = run_vyn("--run-model", cls.model)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.dm = read_dm(os.path.join(cls.d, "asp-spatial-dm.bin"))
        cls.signal_sum = 0
        for v in range(1, VOXELS + 1):
            out = os.path.join(cls.d, "v%d.bin" % v)
            r = run_vyn("--voxel-signal", cls.model, os.path.join(cls.d, "asp-spatial-dm.bin"), str(v), out)
            assert r.returncode == 0, r.stdout + r.stderr
            cls.signal_sum = cls.signal_sum + read_type1(out)
        cls.out = os.path.join(cls.d, "set")
        cls.res = run_vyn("--basis-set", cls.out, cls.model)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_voxel_sum_signal_equals_the_sum_of_voxel_signals(self):
        self.assertEqual(self.res.returncode, 0, self.res.stdout + self.res.stderr)
        self.assertEqual(len(self.dm), VOXELS)
        self.assertEqual(glob.glob(os.path.join(self.out, "*dm.bin")), [])
        expected = np.conj(self.signal_sum)  # the files follow the standard's rotation sense
        self.assertGreater(np.max(np.abs(expected)), 0.1)
        # .RAW holds 10 significant digits, NIfTI-MRS complex64
        self.assertLess(rel(read_raw(os.path.join(self.out, "asp-spatial.RAW")), expected), 1e-8)
        fid = np.asarray(nib.load(os.path.join(self.out, "asp-spatial.nii.gz")).dataobj).reshape(-1)
        self.assertLess(rel(fid, expected), 1e-6)
        rows = get(os.path.join(self.out, "basis.tsv")).splitlines()
        self.assertEqual(rows[1].split("\t")[:5], ["asp-spatial", "asp-spatial.nii.gz", "asp-spatial.RAW",
                                                   "asp-spatial.bin", "256"])

    def parts(self, out, ranges):
        for first, count in ranges:
            r = run_vyn("--basis-set", "--voxel-range", "%d:%d" % (first, count), out, self.model)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return [os.path.join(out, "asp-spatial.part-%d-%d.vynsum" % rc) for rc in ranges]

    def test_partial_sums_are_the_sums_of_the_voxel_matrices(self):
        out = os.path.join(self.d, "parts-direct")
        ranges = [(1, VOXELS), (5, 7), (VOXELS, 1)]
        for path, (first, count) in zip(self.parts(out, ranges), ranges):
            head, m = read_part(path)
            self.assertEqual((head["grid"], head["range"], head["states"]),
                             ("%d %d %d" % GRID, "%d %d" % (first, count), "8"))
            expected = self.dm[first - 1:first - 1 + count].sum(axis=0)
            self.assertLess(np.linalg.norm(m - expected) / np.linalg.norm(expected), 1e-12)
        self.assertFalse(os.path.exists(os.path.join(out, "basis.tsv")))

    def test_merged_parts_equal_one_process(self):
        out = os.path.join(self.d, "parts-merge")
        paths = self.parts(out, [(1, VOXELS), (1, 5), (6, 10), (16, 9)])
        merged = os.path.join(self.d, "merged")
        r = run_vyn("--basis-merge", merged, paths[3], paths[1], paths[2])  # any order
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        _, whole = read_part(paths[0])
        _, total = read_part(os.path.join(merged, "asp-spatial.part-1-%d.vynsum" % VOXELS))
        self.assertLess(np.linalg.norm(total - whole) / np.linalg.norm(whole), 1e-12)
        self.assertLess(rel(read_raw(os.path.join(merged, "asp-spatial.RAW")),
                            read_raw(os.path.join(self.out, "asp-spatial.RAW"))), 1e-8)
        self.assertTrue(os.path.exists(os.path.join(merged, "asp-spatial.nii.gz")))

    def test_slurm_array_recipe_tasks_merge_to_one_process(self):
        out = os.path.join(self.d, "slurm")
        script = os.path.join(ROOT, "scripts", "vyn-basis-slurm-array.sh")
        for task in range(4, 10):  # 5 voxels per task: tasks 4..8 cover 24 voxels, task 9 none
            env = dict(os.environ, SLURM_ARRAY_TASK_ID=str(task), SLURM_ARRAY_TASK_MIN="4", VYN=VYN)
            r = subprocess.run(["bash", script, out, self.model, "5"], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        parts = sorted(glob.glob(os.path.join(out, "parts", "*.vynsum")))
        self.assertEqual(len(parts), 5)
        r = run_vyn("--basis-merge", out, *parts)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertLess(rel(read_raw(os.path.join(out, "asp-spatial.RAW")),
                            read_raw(os.path.join(self.out, "asp-spatial.RAW"))), 1e-8)

    def test_slurm_spooled_copy_finds_the_build_of_the_submit_directory(self):
        # sbatch runs a copy of the script from its spool directory, far from the repository.
        spool = os.path.join(self.d, "spool")
        submit = os.path.join(self.d, "submit")
        os.makedirs(spool)
        os.makedirs(os.path.join(submit, "build"))
        shutil.copy(os.path.join(ROOT, "scripts", "vyn-basis-slurm-array.sh"), os.path.join(spool, "slurm_script"))
        os.symlink(VYN, os.path.join(submit, "build", "vyn"))
        out = os.path.join(self.d, "spooled")
        env = {k: v for k, v in os.environ.items() if k != "VYN"}
        env.update(SLURM_ARRAY_TASK_ID="0", SLURM_SUBMIT_DIR=submit, PATH="/usr/bin:/bin")
        r = subprocess.run(["bash", os.path.join(spool, "slurm_script"), out, self.model, str(VOXELS)], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120, cwd=self.d)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(os.path.exists(os.path.join(out, "parts", "asp-spatial.part-1-%d.vynsum" % VOXELS)))

    def test_merge_refuses_parts_that_do_not_tile_the_grid(self):
        out = os.path.join(self.d, "parts-bad")
        p = dict(zip(["all", "a", "b", "c", "gap"],
                     self.parts(out, [(1, VOXELS), (1, 8), (6, 19), (9, 16), (10, 15)])))
        other = os.path.join(self.d, "other")
        os.mkdir(other)
        r = run_vyn("--basis-set", "--voxel-range", "9:16", other, write_model(other))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        foreign = os.path.join(other, "asp-spatial.part-9-16.vynsum")
        cases = [("overlap", [p["a"], p["b"]], "overlaps"), ("gap", [p["a"], p["gap"]], "are in no part"),
                 ("missing end", [p["a"]], "are in no part"), ("twice", [p["all"], p["all"]], "overlaps"),
                 ("other model", [p["a"], foreign], "is not of the model")]
        for label, parts, message in cases:
            with self.subTest(label):
                merged = os.path.join(self.d, "refused-" + label.replace(" ", "-"))
                r = run_vyn("--basis-merge", merged, *parts)
                self.assertEqual(r.returncode, 1, label)
                self.assertIn(message, r.stderr)
                self.assertEqual(glob.glob(os.path.join(merged, "*")), [], label)

    def test_bad_ranges_and_parts_are_refused(self):
        out = os.path.join(self.d, "range-refused")
        truncated = os.path.join(self.d, "truncated.vynsum")
        good = self.parts(os.path.join(self.d, "range-good"), [(1, VOXELS)])[0]
        put(truncated, get(good)[:-200])
        cases = [(["--basis-set", "--voxel-range", "0:3", out, self.model], "FIRST:COUNT"),
                 (["--basis-set", "--voxel-range", "3", out, self.model], "FIRST:COUNT"),
                 (["--basis-set", "--voxel-range", "20:6", out, self.model], "outside its grid"),
                 (["--basis-set", out, "--voxel-range", "1:3", self.model], "comes right after"),
                 (["--basis-set", "--voxel-range", "1:1", out,
                   os.path.join(ROOT, "models", "basis-fid", "lactate.vynmodel")], "not spatially resolved"),
                 (["--basis-merge", out, truncated], "truncated.vynsum"),
                 (["--basis-merge", out, self.model], "vyn-voxel-sum")]
        for args, message in cases:
            with self.subTest(" ".join(args[:3])):
                r = run_vyn(*args)
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
        self.assertEqual(glob.glob(os.path.join(out, "*")), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
