// The volume job as a pipeline: a source of voxel spectra, a fit stage on the workers and
// sinks for what is kept, with one job record passed to every stage.
//
//   source (QorvaneVoxelSource)  ->  scan: selection into slots, the results table
//                                ->  fit stage: each slot's spectrum fitted on a worker
//   sinks  (QorvaneVolumeSink)   <-  per record of the scan, per fitted voxel, at the end
//
// A new input format is a new QorvaneVoxelSource (qorvane_volume_read.cpp has QORVVOL1);
// a new output is a new QorvaneVolumeSink added to the job's sink list
// (qorvane_volume_tables.cpp, qorvane_volume_files.cpp).
#pragma once
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

// One selected voxel of the job; a worker writes only its own slot's status and message.
struct QorvaneVolumeSlot {
    char voxel_id[QORVANE_VOXEL_ID_SIZE];
    char input_name[QORVANE_INPUT_NAME_SIZE];
    char status[QORVANE_STATUS_WORD_SIZE];
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    // The id under which the slot's result files are named (voxel_<file id>.<ext>), unique per job.
    char file_id[QORVANE_FILE_ID_SIZE];
    // Index of the source's voxel that holds the slot's spectrum.
    unsigned long long record;
    // The slot's spectrum was written to the work directory by this job.
    unsigned char extracted;
};

// A source of voxel spectra. Each spectrum is `points` complex values as 8 * points bytes
// (little-endian float pairs). The job reads the voxels once in order (scan), then the fits
// read the selected ones again by index from any worker (read_spectrum).
struct QorvaneVoxelSource {
    void* state;
    uint32_t points;
    unsigned long long voxels;
    // Reads and checks the source's header: sets points and voxels. 0, or 2 after the message.
    int (*open_header)(QorvaneVoxelSource* source);
    // Prepares the scan (buffers); 0, or 6 after the message.
    int (*begin_scan)(QorvaneVoxelSource* source);
    // Voxel r (r = 0, 1, ... in order): its voxel id (cut to id_size - 1 characters), whether
    // it is selected for fitting, and its spectrum. 0, or 2 after the read error.
    int (*scan_next)(QorvaneVoxelSource* source, unsigned long long r, char* voxel_id, size_t id_size, bool* selected,
                     unsigned char* samples);
    // After the scan: keeps what read_spectrum needs (fits_read: the fits will call it) and
    // frees the rest. 0, or 6 after the message.
    int (*end_scan)(QorvaneVoxelSource* source, bool fits_read);
    // Spectrum of voxel `index` into `samples` (8 * points bytes); safe on several threads
    // at once. 0, or 2 on a read error.
    int (*read_spectrum)(const QorvaneVoxelSource* source, unsigned long long index, unsigned char* samples);
    // Releases everything; safe after a failed open and more than once.
    void (*close)(QorvaneVoxelSource* source);
};

struct QorvaneVolumeJob;
struct QorvaneMemoryFiles;

// What one fitted voxel leaves for the sinks: its files are `stem`.<ext>, in `memory` when
// the fit kept them there, else in the work directory.
struct QorvaneVoxelResults {
    uint32_t slot;
    const char* stem;
    const QorvaneMemoryFiles* memory;
};

// A sink of what the job keeps. Every hook may be null; each returns 0 or the job status
// that the failure carries (after its message).
struct QorvaneVolumeSink {
    void* state;
    // Before the scan.
    int (*begin)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job);
    // Each voxel of the scan, selected or not (linear index r).
    void (*scanned)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, unsigned long long r, const char* voxel_id,
                    bool selected);
    // After the scan, also when it failed.
    int (*end_scan)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job);
    // A fitted voxel whose fit left finite results; called on the worker that fitted it.
    int (*voxel)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, const QorvaneVoxelResults* results);
    // After the fit of slots first .. end-1 and the clean-up.
    int (*finish)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t first, uint32_t end);
    // Frees what the sink holds without writing anything; the job calls it on every path.
    void (*release)(QorvaneVolumeSink* sink);
    // For the job journal (--resume): appends what the sink keeps of a finished slot to `blob`
    // (called on the worker that finished it), and puts such bytes back into a resumed job.
    void (*journal_save)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t slot, std::string* blob);
    void (*journal_load)(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t slot, const char* data, size_t size);
};

enum { QORVANE_VOLUME_MAX_SINKS = 8 };

// The progress line on standard error (qorvane_volume_progress.cpp).
struct QorvaneVolumeProgress {
    struct timespec start;
    double last;
    double interval_s;  // between two lines in a log; a terminal's line is redrawn every 0.25 s at most
    uint32_t base;      // voxels finished before this run (a resumed job's)
    int shown;          // characters of the line on the terminal, 0 when none
    bool terminal;      // standard error is a terminal
};

struct QorvaneVolumeJournal;

// The state of one volume job, passed to each of its stages.
struct QorvaneVolumeJob {
    const QorvaneCliOptions* options;
    QorvaneVoxelSource* source;
    QorvaneVolumeSink* sinks[QORVANE_VOLUME_MAX_SINKS];
    int sink_count;
    // Selected voxels up to the requested maximum, in the order of the source.
    std::vector<QorvaneVolumeSlot> slots;
    uint32_t requested_max_voxels;
    std::atomic<unsigned> numerical_failure_count;
    QorvaneVolumeProgress progress;
    // Path of the results table (set by its sink when it opens the table).
    char results_path[1024];
    // Name of the input format in the scan summary ("QORVVOL", "NIfTI-MRS").
    const char* input_format;
    // The job writes per-voxel result files (a key of its journal).
    bool per_voxel_files;
    // CRC-32 and byte count of every scanned voxel's id, selection flag and spectrum.
    unsigned long scan_crc;
    unsigned long long scan_bytes;
    // The journal, and per slot whether it finished before (restored from the journal) or in
    // this run; `restored` counts the restored ones.
    QorvaneVolumeJournal* journal;
    std::vector<unsigned char> finished;
    uint32_t restored;

    QorvaneVolumeJob()
        : options(nullptr),
          source(nullptr),
          sinks(),
          sink_count(0),
          requested_max_voxels(0),
          input_format("QORVVOL"),
          per_voxel_files(true),
          scan_crc(0),
          scan_bytes(0),
          journal(nullptr),
          restored(0) {
        numerical_failure_count.store(0);
        progress = QorvaneVolumeProgress();
        results_path[0] = '\0';
    }
    QorvaneVolumeJob(const QorvaneVolumeJob&) = delete;
    QorvaneVolumeJob& operator=(const QorvaneVolumeJob&) = delete;
    uint32_t slot_count() const { return (uint32_t)slots.size(); }
};

inline void qorvane_volume_set_status(QorvaneVolumeJob* job, uint32_t slot, const char* word, const char* message) {
    snprintf(job->slots[slot].status, QORVANE_STATUS_WORD_SIZE, "%s", word);
    snprintf(job->slots[slot].message, QORVANE_STATUS_MESSAGE_SIZE, "%s", message);
}

inline const char* qorvane_status_or_unknown(const QorvaneVolumeJob* job, uint32_t slot) {
    return job->slots[slot].status[0] != '\0' ? job->slots[slot].status : "UNKNOWN";
}

// ---- the job (qorvane_volume.cpp) -------------------------------------------------------

// Runs a job whose options, opened source and sinks are set (progress.interval_s too):
// directories, the sinks' begin, the scan, the fit of the job's range, clean-up, the sinks'
// finish. Returns the process exit code; the caller then calls qorvane_volume_job_close.
int qorvane_volume_run_job(QorvaneVolumeJob* job);
// Releases the sinks and closes the source.
void qorvane_volume_job_close(QorvaneVolumeJob* job);

// ---- journal (qorvane_volume_journal.cpp) -----------------------------------------------

extern const char kQorvaneJournalFile[];
// One finished slot as a journal records it; `end` is the byte just after its frame.
struct QorvaneJournalRecord {
    uint32_t slot = 0;
    unsigned long long record = 0;
    std::string status, message;
    std::vector<std::string> blobs;  // one per sink of the job that wrote it
    size_t end = 0;
};
// Reads a journal's bytes: false when they do not start with a journal header; else its keys,
// the records of the whole frames that follow, up to the first torn or damaged one, and the
// header's bytes (*header_bytes).
bool qorvane_journal_parse(const std::string& text, std::vector<std::pair<std::string, std::string>>* keys,
                           std::vector<QorvaneJournalRecord>* records, size_t* header_bytes);
// Before anything is written: sets up the journal; with --resume reads the one in the output
// directory and checks what can be checked before the scan. 0, 1 (no journal, not a journal,
// another job's) or 5, after the message.
int qorvane_journal_open(QorvaneVolumeJob* job);
// After the scan, before the fit: with --resume checks the scan's checksum, marks the journal's
// finished slots (status, message, the sinks' journal_load) in job->finished and continues the
// file after its last valid frame; otherwise writes a new journal's header. 0, 1 or 5.
int qorvane_journal_start(QorvaneVolumeJob* job);
// A slot whose final status is set: appends its frame (thread-safe). A failed write is
// reported once; the job goes on without journal.
void qorvane_journal_slot_done(QorvaneVolumeJob* job, uint32_t slot);
// Closes the journal; removes the file when the job completed.
void qorvane_journal_close(QorvaneVolumeJob* job, bool job_complete);

// ---- source: QORVVOL1 (qorvane_volume_read.cpp) -----------------------------------------

// Opens `path` as a QORVVOL1 volume ("Opening QORVVOL input" line); 0, or 2 after the
// message. `source` is set up either way and must be closed.
int qorvane_volume_source_open_qorvvol(QorvaneVoxelSource* source, const char* path);

// ---- source: NIfTI-MRS (qorvane_volume_nifti.cpp) ---------------------------------------

// Sets up the NIfTI-MRS source of options->input (with options->mask when given); the header
// is read and checked against the parameter file by open_header. 0; `source` must be closed.
int qorvane_volume_source_open_nifti(QorvaneVoxelSource* source, const QorvaneCliOptions* o);
// Bytes of FID (held as doubles) one slab of the NIfTI-MRS source may take; at least one
// z plane is read at a time. Default 64 MiB.
extern double g_qorvane_nifti_slab_bytes;

// ---- fit stage (qorvane_volume_fit.cpp) -------------------------------------------------

struct QorvaneVolumeWorkQueue {
    QorvaneVolumeJob* job;
    uint32_t next_slot;
    uint32_t end_slot;  // one past the last slot to fit
    uint32_t total;     // slots this job fits (the progress lines count to it)
    int error;
    uint32_t completed;
    pthread_mutex_t mutex;
};

// Fits one selected slot; 0 also for skipped and numerically failed voxels, else 1, 2, 5 or 6.
int qorvane_fit_one_extracted_voxel(QorvaneVolumeJob* job, uint32_t slot);
void* qorvane_volume_worker_main(void* queue);
// Fits slots first .. end-1 (sequentially or on options->threads workers); returns 0 or the
// status that stopped the job.
int qorvane_volume_fit_slots(QorvaneVolumeJob* job, uint32_t first, uint32_t end);
// Result stem of a slot's input name (the name less ".bin").
void qorvane_result_stem(char* stem, size_t size, const char* input);
// Reads the parameter file once, as each voxel's fit will, and checks it against the
// source: readable, consistent, plain spectra, points per spectrum. 0, or 3 with the
// reason in `reason` (6 when no fit context can be allocated).
int qorvane_volume_check_parameter_file(const char* path, uint32_t ap, char* reason, size_t size);

// ---- progress (qorvane_volume_progress.cpp) ----------------------------------------------

// Starts the clock; `already_done` voxels of the total were finished before this run.
void qorvane_volume_progress_start(QorvaneVolumeProgress* progress, uint32_t already_done);
// Called with the queue's mutex held (or from the only fitting thread).
void qorvane_volume_progress_note(QorvaneVolumeProgress* progress, uint32_t done, uint32_t total);
// Ends a line drawn on a terminal with its newline.
void qorvane_volume_progress_end(QorvaneVolumeProgress* progress);

// ---- sinks: tables (qorvane_volume_tables.cpp), per-voxel files (qorvane_volume_files.cpp)

// fit_results.tsv: one row per voxel of the scan.
void qorvane_volume_results_table_sink(QorvaneVolumeSink* sink);
// fit_status.tsv: one row per fitted slot, written after the fit.
void qorvane_volume_status_table_sink(QorvaneVolumeSink* sink);
// voxel_<file id>.<ext> in the output directory: the kept result files of each fitted voxel.
void qorvane_volume_voxel_files_sink(QorvaneVolumeSink* sink);

// maps/*.nii.gz of a NIfTI-MRS job (qorvane_volume_maps.cpp): parameter maps on the input's grid.
void qorvane_volume_maps_sink(QorvaneVolumeSink* sink, const QorvaneCliOptions* o);

// A slot whose results were copied: FIT_OK, or FIT_NOT_CONVERGED (written, but its fit
// stopped at the iteration limit).
bool qorvane_volume_results_written(const QorvaneVolumeJob* job, uint32_t s);
// The range record of a --voxel-range job; 0 or 5.
int qorvane_volume_write_shard_record(const QorvaneVolumeJob* job, uint32_t first, uint32_t end,
                                      unsigned long long records, int complete, int exit_code);
extern const char kQorvaneShardFile[];
