// Volume mode: QORVVOL1 reading, voxel extraction, per-voxel fits on worker threads,
// result copying and the two tables fit_results.tsv / fit_status.tsv.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "qorvane_cli.h"

enum {
    QORVANE_VOLUME_SLOTS = 65536,
    QORVANE_VOXEL_ID_SIZE = 512,
    QORVANE_INPUT_NAME_SIZE = 128,
    QORVANE_STATUS_WORD_SIZE = 64,
    QORVANE_STATUS_MESSAGE_SIZE = 256,
};

// Per-slot tables; a worker writes only its own slot's status and message.
extern char g_volume_selected_voxel_ids[QORVANE_VOLUME_SLOTS][QORVANE_VOXEL_ID_SIZE];
extern char g_volume_selected_input_names[QORVANE_VOLUME_SLOTS][QORVANE_INPUT_NAME_SIZE];
extern char g_volume_fit_status[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_WORD_SIZE];
extern char g_volume_fit_message[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_MESSAGE_SIZE];
extern uint32_t g_volume_selected_voxel_count;
extern uint32_t g_volume_requested_max_voxels;
extern std::atomic<unsigned> g_volume_numerical_failure_count;

struct QorvaneVolumeWorkQueue {
    const QorvaneCliOptions* options;
    uint32_t next_slot;
    int error;
    uint32_t completed;
    pthread_mutex_t mutex;
};

// 0, or -1 when fewer than 4 bytes could be read.
int qorvvol_read_u32_le(FILE* stream, uint32_t* value);
// Fits one extracted slot; 0 also for skipped and numerically failed voxels, else 1, 2, 5 or 6.
int qorvane_fit_one_extracted_voxel(const QorvaneCliOptions* options, uint32_t slot);
void* qorvane_volume_worker_main(void* queue);
// 0, 2 (source) or 5 (destination).
int qorvane_copy_file_binary(const char* source, const char* destination);
int qorvane_remove_named_outputs(const char* work_dir, const char* stem);
// Copies a voxel id for use inside a file name: every '/' and '\' becomes '_'.
void qorvane_volume_file_safe_id(char* destination, size_t size, const char* voxel_id);
// The whole volume job; returns the process exit code.
int qorvane_volume_run(const QorvaneCliOptions* options);
