#!/usr/bin/python3
"""The basis-fit pipeline of the demo on five metabolites of models/basis/1d: vyn --basis-set, a mixed
spectrum with known concentrations, a qorvane_pthreads fit with the .bin patterns. Every fitted
concentration must lie within 3 Cramer-Rao SD of its truth; with glutamate's pattern replaced by
glutamine's the same check must fail. The bounds must be honest, not merely wide: over twelve noise
seeds the fitted creatine factors scatter as the reported SD says (ratio 0.6 to 1.5; a noise level
measured on the lines' tails made it 0.4).

usage: basis_fit_pipeline_test.py VYN QORVANE REPOSITORY_ROOT
"""
import os
import shutil
import subprocess
import sys
import tempfile

VYN, QORVANE, ROOT = (os.path.abspath(a) for a in sys.argv[1:4])
NAMES = ["naa", "creatine", "myo-inositol", "lactate", "glutamate"]


def fit(basis, out, names=NAMES, seed=29):
    return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "scripts", "vyn-basis-fit"), QORVANE, basis, out,
                           "--only", ",".join(names), "--seed", str(seed), "--check"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120)


def first_value(path):
    with open(path) as f:
        return float(f.readline().split()[0])


def scatter_against_bound(basis, t):
    values, sds = [], []
    for seed in range(1, 13):
        out = os.path.join(t, "seed%d" % seed)
        r = fit(basis, out, ["creatine"], seed)
        assert r.returncode == 0, r.stdout + r.stderr
        values.append(first_value(os.path.join(out, "data.mat")))
        sds.append(first_value(os.path.join(out, "data.err")) / 2.0)  # the .err bounds are 2 SD
    mean = sum(values) / len(values)
    scatter = (sum((v - mean) ** 2 for v in values) / (len(values) - 1)) ** 0.5
    return scatter / (sum(sds) / len(sds))


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
        ratio = scatter_against_bound(basis, t)
        print("creatine: scatter over 12 seeds / reported SD = %.2f" % ratio)
        assert 0.6 < ratio < 1.5, "Cramer-Rao SD does not match the scatter (ratio %.2f)" % ratio
        # the data are mixed from the NIfTI FIDs, the fit uses the .bin patterns: a wrong pattern must show
        shutil.copyfile(os.path.join(basis, "glutamine.bin"), os.path.join(basis, "glutamate.bin"))
        bad = fit(basis, os.path.join(t, "bad"))
        print(bad.stdout)
        assert bad.returncode == 1, "a fit with glutamine's pattern for glutamate passed the check"
    return 0


if __name__ == "__main__":
    sys.exit(main())
