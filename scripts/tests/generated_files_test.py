#!/usr/bin/python3
"""The committed metabolite library, PRESS waveforms, sequences and basis models are what their
generators write: scripts/make-metabolite-library, scripts/vyn-make-waveforms and
scripts/make-basis-models run in a scratch copy of the repository must reproduce every file.

usage: generated_files_test.py REPOSITORY_ROOT
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "."
GENERATED = ["spin-systems/metabolites", "rf-output", "sequences/press-te30", "sequences/press-te30-spatial",
             "models/basis/1d", "models/basis/spatial"]


def files(top):
    out = set()
    for d, _, names in os.walk(top):
        out |= {os.path.relpath(os.path.join(d, n), top) for n in names}
    return out


def main():
    with tempfile.TemporaryDirectory() as t:
        shutil.copytree(os.path.join(ROOT, "scripts"), os.path.join(t, "scripts"))
        os.makedirs(os.path.join(t, "spin-systems"))
        for cmd in (["make-metabolite-library"], ["vyn-make-waveforms"], ["make-basis-models"]):
            r = subprocess.run([sys.executable, os.path.join(t, "scripts", cmd[0])], cwd=t, capture_output=True,
                               text=True, timeout=60)
            assert r.returncode == 0, cmd[0] + ": " + r.stdout + r.stderr
        bad = []
        for g in GENERATED:
            ours, theirs = os.path.join(ROOT, g), os.path.join(t, g)
            written = files(theirs)
            shipped = {f for f in files(ours) if not f.endswith(".md")}
            bad += ["%s/%s: not written by the generators" % (g, f) for f in sorted(shipped - written)]
            bad += ["%s/%s: written but not in the repository" % (g, f) for f in sorted(written - shipped)]
            bad += ["%s/%s: differs from the generator's" % (g, f) for f in sorted(written & shipped)
                    if not filecmp.cmp(os.path.join(ours, f), os.path.join(theirs, f), shallow=False)]
        for line in bad:
            print(line)
        return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
