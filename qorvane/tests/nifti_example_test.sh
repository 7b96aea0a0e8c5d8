#!/usr/bin/env bash
# The shipped NIfTI-MRS example: its .par matches the file (else the job refuses it), every voxel
# of the round mask fits to the generator's truth within 5 Cramer-Rao SD, voxels outside stay NaN;
# the montage script draws a PNG when gnuplot is present and refuses a directory without maps.
set -euo pipefail
exe=$1
src=$2
ex=$src/qorvane/examples/nifti
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$exe" --mode volume --input-volume "$ex/mrsi.nii.gz" --mask "$ex/mask.nii.gz" \
  --parameter-file "$ex/mrsi.par" --output-dir "$tmp/out" --threads 2 > "$tmp/console.log" 2> "$tmp/messages.log"
/usr/bin/python3 - "$ex/truth.json" "$tmp/out/maps" <<'PY'
import json, sys
import nibabel as nib
import numpy as np
truth = json.load(open(sys.argv[1]))
maps = sys.argv[2]
status = np.asarray(nib.load(f"{maps}/status.nii.gz").dataobj)
bad = []
for k in (1, 2, 3):
    area = np.asarray(nib.load(f"{maps}/L{k}_area.nii.gz").dataobj)
    sd = np.asarray(nib.load(f"{maps}/L{k}_area_sd.nii.gz").dataobj)
    for v in truth["voxels"]:
        x, y, z = v["x"], v["y"], v["z"]
        if not v["mask"]:
            if status[x, y, z] != 0 or not np.isnan(area[x, y, z]):
                bad.append(f"({x},{y},{z}) outside the mask was fitted")
            continue
        want = v["lines"][k - 1]["area"]
        if status[x, y, z] != 1 or not (0 < sd[x, y, z] < 0.05 * want) or abs(area[x, y, z] - want) > 5 * sd[x, y, z]:
            bad.append(f"({x},{y},{z}) L{k}: status {status[x, y, z]} area {area[x, y, z]} +- {sd[x, y, z]}, true {want}")
assert sum(v["mask"] for v in truth["voxels"]) == 52, "the round mask of the example changed"
if bad:
    sys.exit("\n".join(bad))
PY
if command -v gnuplot >/dev/null 2>&1; then
  "$src/scripts/qorvane-maps-montage" "$tmp/out" > /dev/null
  [ "$(head -c 4 "$tmp/out/maps/areas.png" | tail -c 3)" = PNG ] || { echo "no PNG montage"; exit 1; }
fi
mkdir -p "$tmp/empty"
if "$src/scripts/qorvane-maps-montage" "$tmp/empty" 2> /dev/null; then echo "montage without maps succeeded"; exit 1; fi
echo "shipped NIfTI-MRS example: OK"
