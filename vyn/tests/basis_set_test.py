#!/usr/bin/python3
"""vyn --basis-set end to end, checked with independent readers (nibabel, numpy).

usage: basis_set_test.py VYN_EXECUTABLE REPOSITORY_ROOT
"""
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import nibabel as nib
import numpy as np

VYN = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "build/vyn"
ROOT = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else "."
GAMMA = 42.57747892
SEQ = os.path.join(ROOT, "sequences", "pulse-acquire", "pulse-acquire.vynseq")
LIBDIR = os.path.join(ROOT, "spin-systems", "metabolites")


def put(path, text):
    with open(path, "w") as f:
        f.write(text)


def get(path):
    with open(path) as f:
        return f.read()


def model_text(name, spin_file, result, field=True):
    head = "# vyn_gui_b0_tesla: 3\n# vyn_gui_receiver_carrier_ppm: 4.7\n" if field else ""
    grid = "".join("%s: %s\n" % (k, v) for k, v in [("ndx", 1), ("ndy", 1), ("ndz", 1), ("x0_cm", 0), ("y0_cm", 0),
                                                    ("z0_cm", 0), ("dx_cm", 0), ("dy_cm", 0), ("dz_cm", 0)])
    return ("format_version: 1\nmodel_name: %s\n%sspin_system_file: %s\nsequence_file: %s\n%sresult_file: %s\n"
            % (name, head, spin_file, SEQ, grid, result))


def read_type1(path):
    with open(path, "rb") as f:
        raw = f.read()
    typ, n, traces = struct.unpack("<iii", raw[:12])
    assert typ == 1 and traces == 1
    d = np.frombuffer(raw[12:12 + 16 * n], "<f8")
    return d[0::2] + 1j * d[1::2]


def read_raw(path):
    text = get(path)
    head, body = text.split("$NMID", 1)
    nmid, data = body.split("$END", 1)
    vals = np.array([float(v) for v in data.split()])
    return nmid, vals[0::2] + 1j * vals[1::2]


def qorvane_pattern_time_signal(path, n):
    """The fitter's pattern loader: conjugate, rotate by N/2, forward FFT, conjugate."""
    s = np.fromfile(path, "<f4").astype(np.float64)
    s = s[0::2] + 1j * s[1::2]
    assert len(s) == n
    return np.conj(np.fft.fft(np.conj(np.roll(s, -n // 2))))


def peak_hz(fid, dwell):
    spectrum = np.fft.fftshift(np.fft.fft(fid))
    f = np.fft.fftshift(np.fft.fftfreq(len(fid), dwell))
    return f[np.argmax(np.abs(spectrum))], f, spectrum


def run_vyn(*args):
    return subprocess.run([VYN] + list(args), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


class BasisSet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        t = cls.tmp.name
        # one spin at +50 Hz, and every metabolite of the library, pulse-acquire at 3 T
        put(os.path.join(t, "one.vynmodel"), 
            model_text("one", os.path.join(ROOT, "spin-systems", "pulse-acquire.vynspin"), os.path.join(t, "one.sig")))
        cls.metabolites = sorted(os.path.basename(p)[:-8] for p in glob.glob(os.path.join(LIBDIR, "*.vynspin")))
        for m in cls.metabolites:
            put(os.path.join(t, m + ".vynmodel"), 
                model_text(m, os.path.join(LIBDIR, m + ".vynspin"), os.path.join(t, m + ".sig")))
        cls.out = os.path.join(t, "out")
        models = [os.path.join(t, "one.vynmodel")] + [os.path.join(t, m + ".vynmodel") for m in cls.metabolites]
        cls.res = run_vyn("--basis-set", cls.out, *models)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_all_written(self):
        self.assertEqual(self.res.returncode, 0, self.res.stderr)
        self.assertGreaterEqual(len(self.metabolites), 12)
        rows = get(os.path.join(self.out, "basis.tsv")).splitlines()
        self.assertEqual(rows[0].split("\t")[:5], ["name", "nifti", "raw", "pattern", "points"])
        self.assertEqual(sorted(r.split("\t")[0] for r in rows[1:]), sorted(["one"] + self.metabolites))
        self.assertEqual([f for f in os.listdir(self.out) if f.startswith(".")], [])
        if shutil.which("gnuplot"):
            with open(os.path.join(self.out, "basis.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_nifti_mrs_equals_receiver_signal(self):
        img = nib.load(os.path.join(self.out, "one.nii.gz"))
        hdr = img.header
        self.assertEqual(img.shape, (1, 1, 1, 1024))
        self.assertEqual(hdr.get_data_dtype(), np.complex64)
        self.assertAlmostEqual(float(hdr["pixdim"][4]), 0.512 / 1024, delta=1e-9)  # float32 header field
        self.assertEqual(hdr.get_xyzt_units()[1], "sec")
        self.assertEqual(int(hdr["qform_code"]), 0)
        self.assertTrue(bytes(hdr["intent_name"]).startswith(b"mrs_v"))
        ext = [e for e in hdr.extensions if e.get_code() == 44]
        self.assertEqual(len(ext), 1)
        import json
        meta = json.loads(ext[0].get_content().decode().rstrip("\0 "))
        self.assertEqual(meta["ResonantNucleus"], ["1H"])
        self.assertAlmostEqual(meta["SpectrometerFrequency"][0], 3 * GAMMA, places=6)
        fid = np.asarray(img.dataobj).reshape(-1)
        vyn = np.conj(read_type1(os.path.join(self.tmp.name, "one.sig")))
        self.assertLess(np.max(np.abs(fid - vyn)) / np.max(np.abs(vyn)), 1e-6)

    def test_positive_offset_is_positive_frequency(self):
        fid = np.asarray(nib.load(os.path.join(self.out, "one.nii.gz")).dataobj).reshape(-1)
        f, _, _ = peak_hz(fid, 0.512 / 1024)
        self.assertLess(abs(f - 50.0), 1.0 / 0.512)

    def test_raw_and_pattern_give_back_the_fid(self):
        for m in ["one", "glutamate", "naa"]:
            fid = np.asarray(nib.load(os.path.join(self.out, m + ".nii.gz")).dataobj).reshape(-1).astype(complex)
            nmid, raw = read_raw(os.path.join(self.out, m + ".RAW"))
            self.assertIn("ID='%s'" % m, nmid)
            self.assertLess(np.max(np.abs(raw - fid)) / np.max(np.abs(fid)), 1e-6, m)
            pat = qorvane_pattern_time_signal(os.path.join(self.out, m + ".bin"), len(fid))
            self.assertLess(np.max(np.abs(pat - fid)) / np.max(np.abs(fid)), 1e-5, m)

    def test_library_lines_at_literature_shifts(self):
        # (metabolite, shift of its strongest line in ppm) for the singlets and the lactate doublet
        table = [("naa", 2.008), ("creatine", 3.027), ("phosphocreatine", 3.029), ("choline", 3.185),
                 ("scyllo-inositol", 3.340), ("lactate", 1.314), ("phosphocholine", 3.208),
                 ("glycerophosphocholine", 3.212)]
        for m, ppm in table:
            fid = np.asarray(nib.load(os.path.join(self.out, m + ".nii.gz")).dataobj).reshape(-1)
            f, _, _ = peak_hz(fid, 0.512 / 1024)
            self.assertLess(abs(4.7 + f / (3 * GAMMA) - ppm), 0.06, m)
        # weakly coupled doublets: (metabolite, centre ppm, J Hz); the two strongest lines near the
        # centre (spectrum zero-filled 16 times) lie at centre -+ J/2
        doublets = [("lactate", 1.3142, 6.933), ("alanine", 1.4667, 7.234), ("glucose", 4.6300, 8.0)]
        for m, ppm, j in doublets:
            fid = np.asarray(nib.load(os.path.join(self.out, m + ".nii.gz")).dataobj).reshape(-1)
            fid = np.concatenate([fid, np.zeros(15 * len(fid), fid.dtype)])
            _, f, spectrum = peak_hz(fid, 0.512 / 1024)
            ppm_axis = 4.7 + f / (3 * GAMMA)
            a = np.abs(spectrum)
            near = np.abs(ppm_axis - ppm) < 0.08
            peaks = [k for k in np.flatnonzero(near)[1:-1] if a[k] >= a[k - 1] and a[k] >= a[k + 1]]
            two = sorted(sorted(peaks, key=lambda k: -a[k])[:2], key=lambda k: f[k])
            self.assertEqual(len(two), 2, m)
            self.assertAlmostEqual(f[two[1]] - f[two[0]], j, delta=0.5, msg=m)
            self.assertAlmostEqual((ppm_axis[two[0]] + ppm_axis[two[1]]) / 2, ppm, delta=0.004, msg=m)
        # every file: its subgroup shifts match its offsets at 3 T / 4.7 ppm
        for m in self.metabolites:
            text = get(os.path.join(LIBDIR, m + ".vynspin"))
            self.assertIn("Govindaraju", text, m)
            offs = [float(v) for v in re.search(r"^resonance_offsets_hz:(.*)$", text, re.M).group(1).split()]
            self.assertLessEqual(len(offs), 8)
            for spins, ppm in re.findall(r"spins=(\S+) ppm=(\S+)", text):
                for s in spins.split(","):
                    self.assertAlmostEqual(4.7 + offs[int(s) - 1] / (3 * GAMMA), float(ppm), places=5, msg=m)
            # the simulated spectrum has its strongest line within the subgroups' shifts
            fid = np.asarray(nib.load(os.path.join(self.out, m + ".nii.gz")).dataobj).reshape(-1)
            f, _, _ = peak_hz(fid, 0.512 / 1024)
            shifts = [float(p) for _, p in re.findall(r"spins=(\S+) ppm=(\S+)", text)]
            self.assertLess(min(abs(4.7 + f / (3 * GAMMA) - p) for p in shifts), 0.1, m)


class ShippedBasisModels(unittest.TestCase):
    def test_echo_refocuses_singlets(self):
        # The TE 30 ms double spin echo refocuses chemical shift: a singlet's FID equals its
        # pulse-acquire FID up to one constant phase (sequence timings from pulse centre to centre).
        with tempfile.TemporaryDirectory() as t:
            fids = {}
            for kind in ["basis-fid", "basis-press-hard"]:
                models = [os.path.join(ROOT, "models", kind, m + ".vynmodel") for m in ["scyllo-inositol", "naa"]]
                res = run_vyn("--basis-set", os.path.join(t, kind), *models)
                self.assertEqual(res.returncode, 0, res.stderr)
                for m in ["scyllo-inositol", "naa"]:
                    img = nib.load(os.path.join(t, kind, m + ".nii.gz"))
                    fids[kind, m] = np.asarray(img.dataobj).reshape(-1).astype(complex)
            ratio = fids["basis-press-hard", "scyllo-inositol"] / fids["basis-fid", "scyllo-inositol"]
            self.assertLess(np.max(np.abs(ratio - ratio[0])), 1e-3)
            self.assertLess(abs(abs(ratio[0]) - 1.0), 1e-3)
            # NAA's coupled aspartyl protons are J-modulated by the echo: not a constant ratio
            ratio = fids["basis-press-hard", "naa"] / fids["basis-fid", "naa"]
            self.assertGreater(np.max(np.abs(ratio - ratio[0])), 0.05)

    def test_shaped_press_keeps_the_hard_echo_phase(self):
        # models/basis/1d: shaped pulses with the transmitter at 2.93 ppm. Near the transmitter a
        # singlet's echo must match the hard-pulse echo in size and phase (the transmitter offset
        # turns whole cycles before the acquisition); (metabolite, largest |1 - shaped/hard| of its
        # strongest line) for creatine 3.03 ppm and scyllo-inositol 3.34 ppm.
        table = [("creatine", 0.03), ("scyllo-inositol", 0.03)]
        with tempfile.TemporaryDirectory() as t:
            spectra = {}
            for kind in ["basis/1d", "basis-press-hard"]:
                models = [os.path.join(ROOT, "models", kind, m + ".vynmodel") for m, _ in table]
                out = os.path.join(t, kind.replace("/", "-"))
                res = run_vyn("--basis-set", out, *models)
                self.assertEqual(res.returncode, 0, res.stderr)
                for m, _ in table:
                    fid = np.asarray(nib.load(os.path.join(out, m + ".nii.gz")).dataobj).reshape(-1)
                    spectra[kind, m] = np.fft.fft(fid.astype(complex))
            for m, tol in table:
                hard, shaped = spectra["basis-press-hard", m], spectra["basis/1d", m]
                k = np.argmax(np.abs(hard))
                self.assertLess(abs(1 - shaped[k] / hard[k]), tol, m)


class Failures(unittest.TestCase):
    def test_broken_model_leaves_the_others(self):
        with tempfile.TemporaryDirectory() as t:
            good = os.path.join(t, "good.vynmodel")
            put(good, model_text("good", os.path.join(LIBDIR, "creatine.vynspin"), os.path.join(t, "g")))
            broken = os.path.join(t, "broken.vynmodel")
            put(broken, model_text("broken", os.path.join(t, "missing.vynspin"), os.path.join(t, "b")))
            nofield = os.path.join(t, "nofield.vynmodel")
            put(nofield, 
                model_text("nofield", os.path.join(LIBDIR, "creatine.vynspin"), os.path.join(t, "n"), field=False))
            out = os.path.join(t, "out")
            res = run_vyn("--basis-set", out, broken, good, nofield)
            self.assertNotEqual(res.returncode, 0)
            self.assertIn("vyn_gui_b0_tesla", res.stderr)
            self.assertIn("nofield", res.stderr)
            self.assertIn("broken", res.stderr)
            written = sorted(f for f in os.listdir(out) if f != "basis.png")
            self.assertEqual(written, ["basis.tsv", "good.RAW", "good.bin", "good.nii.gz"])
            rows = get(os.path.join(out, "basis.tsv")).splitlines()
            self.assertEqual([r.split("\t")[0] for r in rows[1:]], ["good"])

    def test_all_failed_keeps_the_earlier_table(self):
        with tempfile.TemporaryDirectory() as t:
            broken = os.path.join(t, "broken.vynmodel")
            put(broken, model_text("broken", os.path.join(t, "missing.vynspin"), os.path.join(t, "b")))
            put(os.path.join(t, "basis.tsv"), "earlier\n")
            res = run_vyn("--basis-set", t, broken)
            self.assertNotEqual(res.returncode, 0)
            self.assertIn("Load failed", res.stderr)
            self.assertEqual(get(os.path.join(t, "basis.tsv")), "earlier\n")
            self.assertEqual(sorted(os.listdir(t)), ["basis.tsv", "broken.vynmodel"])

    def test_output_that_is_an_input_is_refused(self):
        with tempfile.TemporaryDirectory() as t:
            model = os.path.join(t, "clash.vynmodel")
            spin = os.path.join(t, "clash.RAW")
            put(spin, get(os.path.join(LIBDIR, "creatine.vynspin")))
            put(model, model_text("clash", spin, os.path.join(t, "c")))
            before = get(spin)
            res = run_vyn("--basis-set", t, model)
            self.assertNotEqual(res.returncode, 0)
            self.assertIn("one of the command's inputs", res.stderr)
            self.assertEqual(get(spin), before)
            self.assertFalse(os.path.exists(os.path.join(t, "clash.nii.gz")))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
