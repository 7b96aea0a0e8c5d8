#!/usr/bin/env bash
# One qorvane volume job split over a Slurm job array: array task i fits the selected
# voxels i*PER_TASK .. i*PER_TASK+PER_TASK-1 into OUT/shard-<i>; a merge afterwards joins
# the shards into the tables of the whole job (and, for NIfTI-MRS input, its parameter maps).
#
#   jid=$(sbatch --parsable --array=0-7 --cpus-per-task=4 \
#         scripts/qorvane-slurm-array.sh in.qorvvol start.par OUT 500)
#   (NIfTI-MRS: scripts/qorvane-slurm-array.sh mrsi.nii.gz start.par OUT 500 [mask.nii.gz])
#   sbatch --dependency=afterok:$jid --wrap \
#         "build/qorvane_pthreads --mode merge --output-dir OUT/merged OUT/shard-*"
#
# Use ceil(selected voxels / PER_TASK) array tasks; tasks past the end fit nothing and
# merge as empty shards; a task that did not finish makes the merge refuse its range.
# Each task works in a private directory under $TMPDIR (node-local on most clusters),
# removed when the task ends. Without Slurm the script runs as plain bash when
# SLURM_ARRAY_TASK_ID is set (SLURM_ARRAY_TASK_MIN defaults to 0, the thread count to
# SLURM_CPUS_PER_TASK or 1). QORVANE_PTHREADS names the program (default: build/ beside
# this script or beside the submit directory, then qorvane_pthreads on PATH).
#SBATCH --job-name=qorvane-volume
#SBATCH --output=qorvane-%A_%a.log
set -euo pipefail

if [ $# -ne 4 ] && [ $# -ne 5 ]; then
    echo "usage: $0 VOLUME PARAMETER_FILE OUT_DIR VOXELS_PER_TASK [MASK] (as a Slurm array task)" >&2
    exit 1
fi
volume=$1 par=$2 out=$3 per_task=$4
mask=()
if [ $# -eq 5 ]; then mask=(--mask "$5"); fi
case $per_task in '' | *[!0-9]* | 0) echo "$0: VOXELS_PER_TASK must be a positive integer" >&2; exit 1 ;; esac
: "${SLURM_ARRAY_TASK_ID:?$0: SLURM_ARRAY_TASK_ID is not set (run it as a Slurm array task)}"
task=$((SLURM_ARRAY_TASK_ID - ${SLURM_ARRAY_TASK_MIN:-0}))
[ "$task" -ge 0 ] || { echo "$0: array task id below SLURM_ARRAY_TASK_MIN" >&2; exit 1; }

exe=${QORVANE_PTHREADS:-}
if [ -z "$exe" ]; then
    # sbatch runs a copy of this script from its spool directory, so the build is looked
    # for beside the script and beside the directory the job was submitted from.
    for here in "$(cd "$(dirname "$0")/.." && pwd)" "${SLURM_SUBMIT_DIR:-}"; do
        if [ -n "$here" ] && [ -x "$here/build/qorvane_pthreads" ]; then exe=$here/build/qorvane_pthreads; break; fi
    done
    exe=${exe:-qorvane_pthreads}
fi

mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/qorvane-task${SLURM_ARRAY_TASK_ID}.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$exe" --mode volume --input-volume "$volume" --parameter-file "$par" \
    --output-dir "$out/shard-$SLURM_ARRAY_TASK_ID" --work-dir "$work" \
    --threads "${SLURM_CPUS_PER_TASK:-1}" --voxel-range "$((task * per_task)):$per_task" ${mask[@]+"${mask[@]}"}
