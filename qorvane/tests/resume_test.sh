#!/usr/bin/env bash
# --resume: a NIfTI-MRS MRSI job killed (-9) at a random voxel, resumed with two threads, killed
# again and resumed once more, must leave maps and tables byte-identical to an uninterrupted run;
# a torn last journal frame is dropped. --resume refuses (exit 1, journal untouched) without a
# journal, with a damaged one, and with another parameter file, mask, option or input content.
# The progress line on a terminal is redrawn in place.
# Usage: resume_test.sh QORVANE_PTHREADS REPOSITORY_ROOT
set -u
exe=$1 root=$2
ex=$root/qorvane/examples/nifti
tmp=$(mktemp -d /tmp/qorvane_resume_XXXXXX)
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail=0
check() {  # description, command...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
make=$root/scripts/qorvane-make-nifti-mrs
# 16 x 16 x 2 voxels, uncompressed (the example's lines and .par, a round mask of 416 voxels), noise SD 0.5.
"$make" "$tmp/mrsi.nii" --shape 16 16 2 512 --dwell 0.0005 --example --noise 0.5 --mask "$tmp/mask.nii.gz" \
    || { echo "FAILED: cannot write the test MRSI"; exit 1; }
# The FFT path (a few times slower than the closed form) keeps each run long enough for the kills
# below to land inside it.
run() {  # output dir, threads, extra options...
    local out=$1 threads=$2
    shift 2
    "$exe" --mode volume --input-volume "$tmp/mrsi.nii" --mask "$tmp/mask.nii.gz" --parameter-file "$ex/mrsi.par" \
        --output-dir "$out" --threads "$threads" --line-spectra fft "$@"
}
same_results() {  # dir_a dir_b: tables and every map, byte for byte
    local f
    cmp -s "$1/fit_results.tsv" "$2/fit_results.tsv" && cmp -s "$1/fit_status.tsv" "$2/fit_status.tsv" || return 1
    [ "$(cd "$1/maps" && ls)" = "$(cd "$2/maps" && ls)" ] || return 1
    for f in "$1"/maps/*.nii.gz; do cmp -s "$f" "$2/maps/${f##*/}" || return 1; done
}
# Starts a job in the background and kills it with -9 once it has finished `at` voxels.
kill_after() {  # at, output dir, threads, extra options...
    local at=$1 out=$2
    shift 2
    # emptied first: the wait below must not count the previous job's lines before this job's
    # redirection has truncated the file
    : > "$tmp/killed.out"
    run "$out" "$@" > "$tmp/killed.out" 2>> "$tmp/killed.err" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null && [ "$(grep -c '^QORVANE_PROGRESS' "$tmp/killed.out")" -lt "$at" ]; do
        sleep 0.01
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}

run "$tmp/full" 1 > /dev/null 2> "$tmp/full.err"
check "uninterrupted run" test $? -eq 0
check "a finished job leaves no journal" test ! -e "$tmp/full/job.journal"
total=$(grep -c $'\tFIT_OK\t' "$tmp/full/fit_status.tsv")
check "uninterrupted run fitted the 416 voxels of the mask" test "$total" -eq 416

first=$((RANDOM % 100 + 10))
kill_after "$first" "$tmp/out" 1
check "killed after $first voxel(s): journal left, no maps yet" \
    test -s "$tmp/out/job.journal" -a ! -e "$tmp/out/maps/status.nii.gz"
# A torn frame at the end (magic and a length, then nothing) stands for a kill during a write.
printf 'QVJ1\x40\x00\x00\x00abc' >> "$tmp/out/job.journal"
cp -r "$tmp/out" "$tmp/ref"  # a killed job's directory for the refusals below
second=$((first + RANDOM % 100 + 10))
kill_after "$second" "$tmp/out" 2 --resume
check "resumed with 2 threads and killed again" grep -q "already finished" "$tmp/killed.err"
run "$tmp/out" 1 --resume > "$tmp/resume.out" 2> "$tmp/resume.err"
check "second resume finishes" test $? -eq 0
check "the resume restored finished voxels" grep -Eq "resuming from .*: [1-9][0-9]* slot\(s\) already finished" \
    "$tmp/resume.err"
restored=$(sed -n 's/.*resuming from .*: \([0-9]*\) slot(s) already finished.*/\1/p' "$tmp/resume.err")
check "the last resume fitted only the rest ($restored restored)" \
    test "$(grep -c '^QORVANE_PROGRESS' "$tmp/resume.out")" -eq $((416 - ${restored:-0}))
check "maps and tables equal the uninterrupted run's" same_results "$tmp/full" "$tmp/out"
check "the resumed job removed its journal" test ! -e "$tmp/out/job.journal"

# On a terminal (script(1) gives the job a pseudo-terminal) the progress line is redrawn in place:
# no newline between two redraws, at most four a second, a newline after the last (all 416 done).
# (The FFT path keeps the job long enough for several redraws here too.)
if command -v script >/dev/null 2>&1; then
    script -qec "$(printf '%q ' "$exe" --mode volume --input-volume "$tmp/mrsi.nii" --mask "$tmp/mask.nii.gz" \
        --parameter-file "$ex/mrsi.par" --output-dir "$tmp/tty" --threads 1 --line-spectra fft) \
        > /dev/null" /dev/null > "$tmp/tty.log" 2>&1
    check "progress redrawn in place on a terminal" /usr/bin/python3 - "$tmp/tty.log" <<'PY'
import re, sys
raw = open(sys.argv[1], "rb").read()
draws = [m.start() for m in re.finditer(rb"\rVolume progress: \d+ of 416 voxel\(s\) done, [0-9.]+ voxel\(s\)/s, ", raw)]
seconds = float(re.findall(rb"(\d+)s elapsed", raw)[-1]) + 1
assert 2 <= len(draws) <= 4 * seconds + 2, (len(draws), seconds)
assert all(b"\n" not in raw[a:b] for a, b in zip(draws, draws[1:])), "a newline between two redraws"
assert re.match(rb"\rVolume progress: 416 of 416 [^\r\n]*\r?\n", raw[draws[-1]:]), "no newline after the last"
PY
fi

# Refusals: each leaves the journal of a killed job as it was.
cp "$tmp/ref/job.journal" "$tmp/journal.saved"
cp "$ex/mrsi.par" "$tmp/other.par" && sed -i 's/^f__tol .*/f__tol 1.0e-06/' "$tmp/other.par"
"$make" "$tmp/other_mask_src.nii.gz" --shape 16 16 2 512 --dwell 0.0005 --mask "$tmp/other_mask.nii.gz"
"$make" "$tmp/reseeded.nii" --shape 16 16 2 512 --dwell 0.0005 --example --noise 0.5 --seed 8
refuse() {  # description, expected message part, command...
    local what=$1 text=$2
    shift 2
    "$@" > /dev/null 2> "$tmp/refuse.err"
    local rc=$?
    check "refused: $what" test "$rc" -eq 1
    check "refusal names it: $what" grep -q -- "$text" "$tmp/refuse.err"
    check "journal kept: $what" cmp -s "$tmp/ref/job.journal" "$tmp/journal.saved"
}
vol=(--mode volume --output-dir "$tmp/ref" --threads 1 --resume --line-spectra fft)
refuse "another parameter file" "parameter_file: journal" \
    "$exe" "${vol[@]}" --input-volume "$tmp/mrsi.nii" --mask "$tmp/mask.nii.gz" --parameter-file "$tmp/other.par"
refuse "another mask" "mask: journal" \
    "$exe" "${vol[@]}" --input-volume "$tmp/mrsi.nii" --mask "$tmp/other_mask.nii.gz" --parameter-file "$ex/mrsi.par"
refuse "another --max-voxels" "max_voxels: journal" \
    "$exe" "${vol[@]}" --input-volume "$tmp/mrsi.nii" --mask "$tmp/mask.nii.gz" --parameter-file "$ex/mrsi.par" \
    --max-voxels 100
refuse "another --line-spectra" "line_spectra: journal" \
    "$exe" "${vol[@]}" --input-volume "$tmp/mrsi.nii" --mask "$tmp/mask.nii.gz" --parameter-file "$ex/mrsi.par" \
    --line-spectra analytic
refuse "another input of the same size" "scan: journal" \
    "$exe" "${vol[@]}" --input-volume "$tmp/reseeded.nii" --mask "$tmp/mask.nii.gz" --parameter-file "$ex/mrsi.par"
refuse "no journal" "no journal" run "$tmp/none" 1 --resume
check "no output directory made for a refused resume" test ! -e "$tmp/none"
refuse "a finished job" "no journal" run "$tmp/full" 1 --resume
printf 'not a journal' > "$tmp/ref/job.journal"
cp "$tmp/ref/job.journal" "$tmp/journal.saved"
refuse "a damaged journal" "not a readable job journal" run "$tmp/ref" 1 --resume
exit $fail
