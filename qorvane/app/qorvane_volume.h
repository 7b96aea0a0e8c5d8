// Volume mode: one job fits the selected voxels of a source of spectra (QORVVOL1) on worker
// threads and keeps the two tables fit_results.tsv / fit_status.tsv and each fitted voxel's
// result files; voxel ranges split one job across processes and the merge joins their
// tables. The job's stages and its state record are in qorvane_volume_job.h.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <cstdio>

#include "qbinary.h"
#include "qfilecopy.h"
#include "qorvane_cli.h"
#include "qorvane_volume_job.h"

// Seconds between two progress lines on standard error (the last voxel always prints one);
// each job starts with this setting.
extern double g_volume_progress_interval_s;

// Removes <stem>.<ext> for the intermediate extensions and <stem>_verbose.par; 0 or 5.
int qorvane_remove_named_outputs(const char* work_dir, const char* stem);
// Copies a voxel id for use inside a file name: '/', '\', '~' and control characters become '_'.
void qorvane_volume_file_safe_id(char* destination, size_t size, const char* voxel_id);
// Sets the file ids of slots 0..count-1: the cleaned id cut to QORVANE_FILE_ID_BASE
// characters; a slot whose cleaned id an earlier slot already has gets "~<slot + 1>" appended.
void qorvane_volume_assign_file_ids(QorvaneVolumeJob* job, uint32_t count);
// Writes text as one table field: '\' as "\\", tab "\t", newline "\n", carriage return "\r",
// other bytes below 0x20 and 0x7f as "\xHH". Cut to the destination size.
void qorvane_tsv_escape(char* destination, size_t size, const char* text);
// The whole volume job; returns the process exit code.
int qorvane_volume_run(const QorvaneCliOptions* options);
// Joins the tables of shard output directories (jobs run with --voxel-range) into the
// two tables of the whole job in options->output_dir; returns the process exit code.
int qorvane_volume_merge(const QorvaneCliOptions* options);
// The parameter maps of merged NIfTI-MRS shards (qorvane_volume_merge_maps.cpp): each voxel's
// values from the shard whose status map fitted it, into output_dir/maps. 0 (also when the
// shards hold no maps), 1 (shards with and without maps, or two fitting one voxel), 2 (a map
// unreadable or on another grid) or 5, after the message.
int qorvane_volume_merge_maps(const char* const* dirs, int n, const char* output_dir);
