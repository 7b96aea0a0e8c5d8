#!/usr/bin/env bash
# One volume job split into three shards run at the same time (GNU parallel, or xargs -P
# without it), then merged, must give the tables of one run byte for byte; the merge must
# refuse a missing shard; the Slurm array script, run as plain bash once per array index,
# must give the same result; NIfTI-MRS shards merged give the maps of one run.
# Usage: shards_test.sh QORVANE_PTHREADS REPOSITORY_ROOT
set -u
exe=$1 root=$2
vol=$root/qorvane/examples/volume/example.qorvvol
par=$root/qorvane/examples/volume/voxel.par
tmp=$(mktemp -d /tmp/qorvane_shards_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail=0
check() {  # description, command...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
same_tables() {  # dir_a dir_b
    cmp "$1/fit_results.tsv" "$2/fit_results.tsv" && cmp "$1/fit_status.tsv" "$2/fit_status.tsv"
}

"$exe" --mode volume --input-volume "$vol" --parameter-file "$par" --output-dir "$tmp/full" \
    --work-dir "$tmp/work-full" --threads 1 >/dev/null 2>"$tmp/full.log"
check "single run" test $? -eq 0
check "single run fitted all 15 selected voxels" test "$(grep -c $'\tFIT_OK\t' "$tmp/full/fit_status.tsv")" -eq 15

# Three shards of five voxels at once, sharing one work directory (names differ per slot).
mkdir -p "$tmp/shards"
shard_cmd=("$exe" --mode volume --input-volume "$vol" --parameter-file "$par" --work-dir "$tmp/work" --threads 1)
if command -v parallel >/dev/null 2>&1; then
    runner=parallel
    seq 0 2 | parallel --will-cite -j 3 "${shard_cmd[@]}" --output-dir "$tmp/shards/{}" \
        --voxel-range '{= $_ *= 5 =}:5' >/dev/null 2>"$tmp/shards.log"
else
    runner="xargs -P"
    printf '%s\n' 0 1 2 | OUTS=$tmp/shards xargs -P 3 -I{} bash -c \
        'i=$1; shift; exec "$@" --output-dir "$OUTS/$i" --voxel-range "$((i * 5)):5"' _ {} "${shard_cmd[@]}" \
        >/dev/null 2>"$tmp/shards.log"
fi
check "three concurrent shards ($runner)" test $? -eq 0
"$exe" --mode merge --output-dir "$tmp/merged" "$tmp"/shards/* >/dev/null 2>"$tmp/merge.log"
check "merge of the three shards" test $? -eq 0
check "merged tables equal the single run's" same_tables "$tmp/full" "$tmp/merged"
check "merged result files equal the single run's" diff <(ls "$tmp/full") <(ls "$tmp/merged")

shards=("$tmp"/shards/*)
"$exe" --mode merge --output-dir "$tmp/partial" "${shards[0]}" "${shards[2]}" >/dev/null 2>"$tmp/partial.log"
check "merge refuses a missing shard" test $? -ne 0
check "the refusal names the missing voxels" grep -q "voxels 5:5 are in no shard given" "$tmp/partial.log"
check "a refused merge writes no tables" test ! -e "$tmp/partial/fit_status.tsv"

# The Slurm array script as plain bash, one array index after the other (indices 1..3).
for i in 1 2 3; do
    SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_MIN=1 TMPDIR=$tmp QORVANE_PTHREADS=$exe \
        bash "$root/scripts/qorvane-slurm-array.sh" "$vol" "$par" "$tmp/slurm" 5 >/dev/null 2>>"$tmp/slurm.log"
    check "Slurm array task $i" test $? -eq 0
done
check "Slurm tasks leave no work directory" test -z "$(find "$tmp" -maxdepth 1 -name 'qorvane-task*')"
"$exe" --mode merge --output-dir "$tmp/slurm/merged" "$tmp"/slurm/shard-* >/dev/null 2>"$tmp/slurm-merge.log"
check "merge of the Slurm shards" test $? -eq 0
check "Slurm result equals the single run's" same_tables "$tmp/full" "$tmp/slurm/merged"

# sbatch runs a spooled copy of the script: it must find the build beside the submit directory.
mkdir -p "$tmp/spool" "$tmp/submit/build"
cp "$root/scripts/qorvane-slurm-array.sh" "$tmp/spool/slurm_script"
ln -s "$exe" "$tmp/submit/build/qorvane_pthreads"
(cd "$tmp" && env -u QORVANE_PTHREADS PATH=/usr/bin:/bin SLURM_ARRAY_TASK_ID=0 SLURM_SUBMIT_DIR="$tmp/submit" \
    TMPDIR=$tmp bash "$tmp/spool/slurm_script" "$vol" "$par" "$tmp/spooled" 5 >/dev/null 2>>"$tmp/spooled.log")
check "a spooled copy of the Slurm script finds the build of the submit directory" \
    test -s "$tmp/spooled/shard-0/fit_status.tsv"

# NIfTI-MRS input with a mask: two ranges (the second cut at the end) through the Slurm script,
# merged, give the tables and every parameter map of one run byte for byte.
nii=$root/qorvane/examples/nifti
same_maps() {  # dir_a dir_b
    local f
    [ "$(cd "$1/maps" && ls)" = "$(cd "$2/maps" && ls)" ] || return 1
    for f in "$1"/maps/*.nii.gz; do cmp -s "$f" "$2/maps/${f##*/}" || return 1; done
}
"$exe" --mode volume --input-volume "$nii/mrsi.nii.gz" --mask "$nii/mask.nii.gz" --parameter-file "$nii/mrsi.par" \
    --output-dir "$tmp/nfull" --threads 2 >/dev/null 2>"$tmp/nfull.log"
check "NIfTI-MRS single run" test $? -eq 0
for i in 0 1; do
    SLURM_ARRAY_TASK_ID=$i TMPDIR=$tmp QORVANE_PTHREADS=$exe bash "$root/scripts/qorvane-slurm-array.sh" \
        "$nii/mrsi.nii.gz" "$nii/mrsi.par" "$tmp/nslurm" 30 "$nii/mask.nii.gz" >/dev/null 2>>"$tmp/nslurm.log"
    check "NIfTI-MRS Slurm array task $i" test $? -eq 0
done
check "a NIfTI-MRS shard's maps hold its range only" \
    test "$(cmp -s "$tmp/nfull/maps/L1_area.nii.gz" "$tmp/nslurm/shard-0/maps/L1_area.nii.gz"; echo $?)" -eq 1
"$exe" --mode merge --output-dir "$tmp/nslurm/merged" "$tmp"/nslurm/shard-* >/dev/null 2>"$tmp/nmerge.log"
check "merge of the NIfTI-MRS shards" test $? -eq 0
check "merged NIfTI-MRS tables equal the single run's" same_tables "$tmp/nfull" "$tmp/nslurm/merged"
check "merged maps equal the single run's" same_maps "$tmp/nfull" "$tmp/nslurm/merged"
rm "$tmp/nslurm/shard-1/maps/chi2.nii.gz"
"$exe" --mode merge --output-dir "$tmp/nbad" "$tmp"/nslurm/shard-* >/dev/null 2>"$tmp/nbad.log"
check "merge refuses shards whose maps differ" test $? -eq 1
check "a refused map merge writes no tables" test ! -e "$tmp/nbad/fit_status.tsv"
exit $fail
