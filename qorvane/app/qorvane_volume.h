// Volume mode: QORVVOL1 reading, voxel extraction, per-voxel fits on worker threads,
// result copying, the two tables fit_results.tsv / fit_status.tsv, voxel ranges
// (one job split across processes) and the merge of their tables.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "qbinary.h"
#include "qfilecopy.h"
#include "qorvane_cli.h"

enum {
    QORVANE_VOLUME_SLOTS = 65536,
    QORVANE_VOXEL_ID_SIZE = 512,
    QORVANE_INPUT_NAME_SIZE = 128,
    QORVANE_STATUS_WORD_SIZE = 64,
    QORVANE_STATUS_MESSAGE_SIZE = 256,
    // File-name form of a voxel id: at most 200 characters of the cleaned id plus "~<slot>".
    QORVANE_FILE_ID_BASE = 200,
    QORVANE_FILE_ID_SIZE = 224,
};

// Per-slot tables; a worker writes only its own slot's status and message.
extern char g_volume_selected_voxel_ids[QORVANE_VOLUME_SLOTS][QORVANE_VOXEL_ID_SIZE];
extern char g_volume_selected_input_names[QORVANE_VOLUME_SLOTS][QORVANE_INPUT_NAME_SIZE];
extern char g_volume_fit_status[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_WORD_SIZE];
extern char g_volume_fit_message[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_MESSAGE_SIZE];
// The id under which a slot's result files are named (voxel_<file id>.<ext>), unique per job.
extern char g_volume_file_ids[QORVANE_VOLUME_SLOTS][QORVANE_FILE_ID_SIZE];
extern uint32_t g_volume_selected_voxel_count;
extern uint32_t g_volume_requested_max_voxels;
extern std::atomic<unsigned> g_volume_numerical_failure_count;
// Seconds between two progress lines on standard error (the last voxel always prints one).
extern double g_volume_progress_interval_s;

struct QorvaneVolumeWorkQueue {
    const QorvaneCliOptions* options;
    uint32_t next_slot;
    uint32_t end_slot;  // one past the last slot to fit
    uint32_t total;     // slots this job fits (the progress lines count to it)
    int error;
    uint32_t completed;
    pthread_mutex_t mutex;
};

// Fits one extracted slot; 0 also for skipped and numerically failed voxels, else 1, 2, 5 or 6.
int qorvane_fit_one_extracted_voxel(const QorvaneCliOptions* options, uint32_t slot);
void* qorvane_volume_worker_main(void* queue);
// Removes <stem>.<ext> for the intermediate extensions and <stem>_verbose.par; 0 or 5.
int qorvane_remove_named_outputs(const char* work_dir, const char* stem);
// Copies a voxel id for use inside a file name: '/', '\', '~' and control characters become '_'.
void qorvane_volume_file_safe_id(char* destination, size_t size, const char* voxel_id);
// Fills g_volume_file_ids for slots 0..count-1: the cleaned id cut to QORVANE_FILE_ID_BASE
// characters; a slot whose cleaned id an earlier slot already has gets "~<slot + 1>" appended.
void qorvane_volume_assign_file_ids(uint32_t count);
// Writes text as one table field: '\' as "\\", tab "\t", newline "\n", carriage return "\r",
// other bytes below 0x20 and 0x7f as "\xHH". Cut to the destination size.
void qorvane_tsv_escape(char* destination, size_t size, const char* text);
// The whole volume job; returns the process exit code.
int qorvane_volume_run(const QorvaneCliOptions* options);
// Joins the tables of shard output directories (jobs run with --voxel-range) into the
// two tables of the whole job in options->output_dir; returns the process exit code.
int qorvane_volume_merge(const QorvaneCliOptions* options);
