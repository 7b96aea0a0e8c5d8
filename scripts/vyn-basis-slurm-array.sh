#!/usr/bin/env bash
# One spatially resolved basis run split over a Slurm job array: array task i sums the
# voxels i*PER_TASK+1 .. i*PER_TASK+PER_TASK of the model's grid into
# OUT/parts/<model_name>.part-FIRST-COUNT.vynsum; a merge afterwards adds the parts and
# writes the basis files (NIfTI-MRS, LCModel .RAW, qorvane .bin, basis.tsv).
#
#   jid=$(sbatch --parsable --array=0-7 --cpus-per-task=4 \
#         scripts/vyn-basis-slurm-array.sh OUT MODEL.vynmodel 4096)
#   sbatch --dependency=afterok:$jid --wrap "build/vyn --basis-merge OUT OUT/parts/*.vynsum"
#
# Use ceil(voxels / PER_TASK) array tasks (voxels = ndx * ndy * ndz of the model); tasks
# past the end sum nothing; a task that did not finish leaves a gap the merge refuses.
# Every task reads the same model files, which must stay unchanged until the merge (the
# parts carry their hash). Without Slurm the script runs as plain bash when
# SLURM_ARRAY_TASK_ID is set (SLURM_ARRAY_TASK_MIN defaults to 0). The engine's threads
# follow the cores the task may use. VYN names the program (default: build/vyn beside this
# script or beside the submit directory, then vyn on PATH).
#SBATCH --job-name=vyn-basis
#SBATCH --output=vyn-basis-%A_%a.log
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OUT_DIR MODEL.vynmodel VOXELS_PER_TASK (as a Slurm array task)" >&2
    exit 1
fi
out=$1 model=$2 per_task=$3
case $per_task in '' | *[!0-9]* | 0) echo "$0: VOXELS_PER_TASK must be a positive integer" >&2; exit 1 ;; esac
: "${SLURM_ARRAY_TASK_ID:?$0: SLURM_ARRAY_TASK_ID is not set (run it as a Slurm array task)}"
task=$((SLURM_ARRAY_TASK_ID - ${SLURM_ARRAY_TASK_MIN:-0}))
[ "$task" -ge 0 ] || { echo "$0: array task id below SLURM_ARRAY_TASK_MIN" >&2; exit 1; }
[ -r "$model" ] || { echo "$0: cannot read $model" >&2; exit 1; }

exe=${VYN:-}
if [ -z "$exe" ]; then
    # sbatch runs a copy of this script from its spool directory, so the build is looked
    # for beside the script and beside the directory the job was submitted from.
    for here in "$(cd "$(dirname "$0")/.." && pwd)" "${SLURM_SUBMIT_DIR:-}"; do
        if [ -n "$here" ] && [ -x "$here/build/vyn" ]; then exe=$here/build/vyn; break; fi
    done
    exe=${exe:-vyn}
fi

# The grid of the model: the product of its ndx, ndy and ndz lines.
voxels=$(awk -F: '/^nd[xyz]:/ { gsub(/[ \t\r]/, "", $2); n = n == "" ? $2 : n * $2 } END { print n }' "$model")
case $voxels in '' | *[!0-9]* | 0) echo "$0: $model has no ndx, ndy and ndz lines" >&2; exit 1 ;; esac
first=$((task * per_task + 1))
if [ "$first" -gt "$voxels" ]; then
    echo "$0: task $SLURM_ARRAY_TASK_ID starts past the $voxels voxels of $model: nothing to sum"
    exit 0
fi
count=$((voxels - first + 1 < per_task ? voxels - first + 1 : per_task))

mkdir -p "$out/parts"
OPENBLAS_NUM_THREADS=1 "$exe" --basis-set --voxel-range "$first:$count" "$out/parts" "$model"
