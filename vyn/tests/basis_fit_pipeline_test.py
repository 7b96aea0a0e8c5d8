#!/usr/bin/python3
"""The basis-fit pipeline of the demo on five metabolites of models/basis/1d: vyn --basis-set, a mixed
spectrum with known concentrations, a qorvane_pthreads fit with the .bin patterns. Every fitted
concentration must lie within 3 Cramer-Rao SD of its truth; with glutamate's pattern replaced by
glutamine's the same check must fail.

usage: basis_fit_pipeline_test.py VYN QORVANE REPOSITORY_ROOT
"""
import os
import shutil
import subprocess
import sys
import tempfile

VYN, QORVANE, ROOT = (os.path.abspath(a) for a in sys.argv[1:4])
NAMES = ["naa", "creatine", "myo-inositol", "lactate", "glutamate"]


def fit(basis, out):
    return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "scripts", "vyn-basis-fit"), QORVANE, basis, out,
                           "--only", ",".join(NAMES), "--check"], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=120)


def main():
    with tempfile.TemporaryDirectory() as t:
        basis = os.path.join(t, "basis")
        models = [os.path.join(ROOT, "models", "basis", "1d", m + ".vynmodel") for m in NAMES + ["glutamine"]]
        r = subprocess.run([VYN, "--basis-set", basis] + models, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=120)
        assert r.returncode == 0, r.stderr[-2000:]
        good = fit(basis, os.path.join(t, "good"))
        print(good.stdout)
        assert good.returncode == 0, good.stdout + good.stderr
        for m in NAMES:
            assert any(line.startswith(m + " ") for line in good.stdout.splitlines()), m
        # the data are mixed from the NIfTI FIDs, the fit uses the .bin patterns: a wrong pattern must show
        shutil.copyfile(os.path.join(basis, "glutamine.bin"), os.path.join(basis, "glutamate.bin"))
        bad = fit(basis, os.path.join(t, "bad"))
        print(bad.stdout)
        assert bad.returncode == 1, "a fit with glutamine's pattern for glutamate passed the check"
    return 0


if __name__ == "__main__":
    sys.exit(main())
