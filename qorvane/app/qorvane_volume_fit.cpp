// Volume mode: the fit stage. Each selected slot's spectrum is checked, fitted as a single
// spectrum, its fitted spectrum checked, and what it leaves handed to the job's sinks;
// slots are fitted in order on the calling thread or taken from a queue by workers.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fitcontrol_new.h"
#include "qmemfile.h"
#include "qorvane_context.h"
#include "qorvane_minimize.h"
#include "qorvane_single.h"
#include "qorvane_volume.h"
#include "qorvane_volume_job.h"
#include "qpath.h"

// Counts the 32-bit little-endian floats of `bytes` (whole floats only), the ±0 ones and
// the non-finite ones, adding to the counters.
static void qorvane_count_floats(const unsigned char* buf, size_t bytes, unsigned long long* count,
                                 unsigned long long* zeros, unsigned long long* nonfinite) {
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        uint32_t bits = (uint32_t)buf[i] | ((uint32_t)buf[i + 1] << 8) | ((uint32_t)buf[i + 2] << 16) |
                        ((uint32_t)buf[i + 3] << 24);
        ++*count;
        if ((bits & 0x7fffffffu) == 0) ++*zeros;
        if ((bits & 0x7f800000u) == 0x7f800000u) ++*nonfinite;
    }
}

// Reads a file as 32-bit floats; counts them, the ±0 ones and the non-finite ones.
// Returns 0 or 2 (cannot open / read error).
static int qorvane_scan_floats(const char* path, unsigned long long* count, unsigned long long* zeros,
                               unsigned long long* nonfinite, bool report_open_as_input) {
    *count = *zeros = *nonfinite = 0;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        if (report_open_as_input)
            fprintf(stderr, "Volume fit validation error: cannot open extracted voxel input: %s\n", path);
        else
            fprintf(stderr, "Volume fit validation error: cannot open fitted spectrum: %s\n", path);
        return 2;
    }
    unsigned char buf[4096];
    int rc = 0;
    for (;;) {
        size_t got = fread(buf, 1, sizeof buf, f);
        qorvane_count_floats(buf, got, count, zeros, nonfinite);
        if (got < sizeof buf) {
            if (ferror(f)) rc = 2;
            break;
        }
    }
    fclose(f);
    return rc;
}

void qorvane_result_stem(char* stem, size_t size, const char* input) {
    snprintf(stem, size, "%s", input);
    size_t l = strlen(stem);
    if (l > 4 && strcmp(stem + l - 4, ".bin") == 0) stem[l - 4] = '\0';
}

// A worker's kept spectrum buffer and result-file store (one per thread, reused by its fits).
struct QorvaneVoxelMemory {
    std::vector<unsigned char> samples;
    QorvaneMemoryFiles outputs;
};
static thread_local QorvaneVoxelMemory t_voxel_memory;

// Why a step of a voxel's fit ends the voxel: `done` is set and the return value is the
// voxel's status code.
struct QorvaneVoxelStep {
    bool done;
    int rc;
};

// Reads and checks the slot's input spectrum (from the source in memory, else from the work
// directory); an all-zero or non-finite spectrum ends the voxel without a fit.
static QorvaneVoxelStep qorvane_voxel_check_input(QorvaneVolumeJob* job, uint32_t slot, bool in_memory,
                                                  QorvaneVoxelMemory& mem) {
    const QorvaneCliOptions& local = *job->options;
    const char* voxel_id = job->slots[slot].voxel_id;
    const char* input_name = job->slots[slot].input_name;
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    int vrc = 0;
    char path[1024];
    unsigned long long count = 0, zeros = 0, nonfinite = 0;
    if (local.work_dir[0] == '\0' || input_name[0] == '\0') {
        vrc = 6;
    } else if (qorvane_join_path(path, local.work_dir, input_name) != 0) {
        vrc = 5;
    } else if (in_memory) {
        mem.samples.resize((size_t)8 * job->source->points);
        vrc = job->source->read_spectrum(job->source, job->slots[slot].record, mem.samples.data());
        if (vrc != 0)
            fprintf(stderr, "Volume fit validation error: cannot read the spectrum of slot %u from the volume.\n",
                    slot);
        else
            qorvane_count_floats(mem.samples.data(), mem.samples.size(), &count, &zeros, &nonfinite);
    } else {
        vrc = qorvane_scan_floats(path, &count, &zeros, &nonfinite, true);
    }
    if (vrc != 0) {
        snprintf(message, sizeof message, "input validation returned status=%d", vrc);
        qorvane_volume_set_status(job, slot, "FIT_VALIDATION_ERROR", message);
        fprintf(stderr, "Volume fit validation error: input validation failed for slot=%u voxel_id=%s status=%d.\n",
                slot, voxel_id, vrc);
        return {true, vrc};
    }
    if (count > 0 && zeros == count) {
        qorvane_volume_set_status(job, slot, "FIT_SKIPPED_ZERO_INPUT",
                                  "not fitted: input spectrum contains only zero-valued samples");
        fprintf(stderr, "Volume fit skipped: slot=%u voxel_id=%s has an all-zero input spectrum.\n", slot, voxel_id);
        return {true, 0};
    }
    if (nonfinite > 0) {
        snprintf(message, sizeof message, "%llu non-finite input float(s)", nonfinite);
        qorvane_volume_set_status(job, slot, "FIT_INVALID_INPUT", message);
        fprintf(
            stderr,
            "Volume fit invalid input: slot=%u voxel_id=%s contains %llu non-finite input float(s); skipping fit.\n",
            slot, voxel_id, nonfinite);
        return {true, 0};
    }
    return {false, 0};
}

// The fit itself, with the four-word command-line record; its verbose fit-control file
// goes into the work directory under the voxel's stem, never beside the parameter file.
static QorvaneVoxelStep qorvane_voxel_run_fit(QorvaneVolumeJob* job, uint32_t slot, bool in_memory,
                                              QorvaneVoxelMemory& mem, const char* stem,
                                              QorvaneSingleFitOutcome* outcome) {
    const QorvaneCliOptions& local = *job->options;
    const char* voxel_id = job->slots[slot].voxel_id;
    const char* input_name = job->slots[slot].input_name;
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    char verbose_stem[1024];
    if (qorvane_join_path(verbose_stem, local.work_dir, stem) != 0) {
        qorvane_volume_set_status(job, slot, "FIT_INTERNAL_ERROR", "cannot build fitted spectrum path");
        fprintf(stderr, "Volume fit validation error: cannot build fit path for slot=%u voxel_id=%s.\n", slot,
                voxel_id);
        return {true, 5};
    }
    char record[QORVANE_CMDLINE_RECORD_SIZE];
    snprintf(record, sizeof record, "qorvane_pthreads.exe\t%s\t%s\t%s\t", local.work_dir, input_name,
             local.parameter_file);
    const QorvaneFitMemoryIo io = {mem.samples.data(), mem.samples.size(), &mem.outputs};
    int frc = qorvane_single_fit_run_memory(local.work_dir, input_name, local.parameter_file, record, verbose_stem,
                                            in_memory ? &io : nullptr, outcome);
    if (outcome->fatal && outcome->code == QORVANE_EXIT_FIT_CONTROL) {
        // The fit-control file is the same for every voxel: its errors end the job.
        snprintf(message, sizeof message, "legacy fit returned rc=%d", outcome->code);
        qorvane_volume_set_status(job, slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, outcome->code);
        return {true, outcome->code};
    }
    if (outcome->fatal) {
        // A fatal condition inside this voxel's fit ends the voxel, not the job.
        // The message is cut to the table's entry size.
        if (snprintf(message, sizeof message, "legacy fit returned rc=%d: %s", outcome->code, outcome->message) < 0)
            message[0] = '\0';
        qorvane_volume_set_status(job, slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, outcome->code);
        return {true, 0};
    }
    if (frc != 0) {
        snprintf(message, sizeof message, "legacy fit returned rc=%d", frc);
        qorvane_volume_set_status(job, slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, frc);
        return {true, frc};
    }
    return {false, 0};
}

// Checks the fitted spectrum: a non-finite one is a numerical failure whose results are
// not kept.
static QorvaneVoxelStep qorvane_voxel_check_fitted(QorvaneVolumeJob* job, uint32_t slot, bool in_memory,
                                                   QorvaneVoxelMemory& mem, const char* stem) {
    const QorvaneCliOptions& local = *job->options;
    const char* voxel_id = job->slots[slot].voxel_id;
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    char path[1024];
    unsigned long long count = 0, zeros = 0, nonfinite = 0;
    int vrc = 0;
    char fit_name[160];
    snprintf(fit_name, sizeof fit_name, "%s.fit", stem);
    if (qorvane_join_path(path, local.work_dir, fit_name) != 0) {
        qorvane_volume_set_status(job, slot, "FIT_INTERNAL_ERROR", "cannot build fitted spectrum path");
        fprintf(stderr, "Volume fit validation error: cannot build fit path for slot=%u voxel_id=%s.\n", slot,
                voxel_id);
        return {true, 5};
    }
    const QorvaneMemoryFile* fitted = in_memory ? mem.outputs.find_name(fit_name) : nullptr;
    if (!in_memory) {
        vrc = qorvane_scan_floats(path, &count, &zeros, &nonfinite, false);
    } else if (fitted == nullptr) {
        fprintf(stderr, "Volume fit validation error: cannot open fitted spectrum: %s\n", path);
        vrc = 2;
    } else {
        count = zeros = nonfinite = 0;
        qorvane_count_floats(reinterpret_cast<const unsigned char*>(fitted->data), fitted->size, &count, &zeros,
                             &nonfinite);
    }
    if (vrc != 0) {
        snprintf(message, sizeof message, "fit validation returned status=%d", vrc);
        qorvane_volume_set_status(job, slot, "FIT_VALIDATION_ERROR", message);
        fprintf(stderr, "Volume fit validation error: slot=%u voxel_id=%s status=%d.\n", slot, voxel_id, vrc);
        return {true, vrc};
    }
    if (nonfinite > 0) {
        snprintf(message, sizeof message, "%llu non-finite fitted float(s)", nonfinite);
        qorvane_volume_set_status(job, slot, "FIT_NUMERIC_FAILURE", message);
        job->numerical_failure_count.fetch_add(1);
        fprintf(stderr,
                "Volume fit numerical failure: slot=%u voxel_id=%s contains %llu non-finite fitted float(s); skipping "
                "result artifacts.\n",
                slot, voxel_id, nonfinite);
        // (in memory nothing reached the work directory)
        mem.outputs.clear();
        return {true, 0};
    }
    return {false, 0};
}

int qorvane_fit_one_extracted_voxel(QorvaneVolumeJob* job, uint32_t slot) {
    if (job == nullptr || job->options == nullptr || slot >= job->slot_count()) {
        if (job != nullptr && slot < job->slot_count())
            qorvane_volume_set_status(job, slot, "FIT_INTERNAL_ERROR", "invalid single-voxel request");
        fprintf(stderr, "Volume fit error: invalid single-voxel request.\n");
        return 6;
    }
    const char* voxel_id = job->slots[slot].voxel_id;
    const char* input_name = job->slots[slot].input_name;
    // An empty voxel id is a valid, selected record (its results are named "voxel_.<ext>");
    // only a slot without an extracted input is an internal fault.
    if (input_name[0] == '\0') {
        qorvane_volume_set_status(job, slot, "FIT_INTERNAL_ERROR", "missing voxel id/input name");
        fprintf(stderr, "Volume fit error: missing voxel id/input name for slot %u.\n", slot);
        return 6;
    }
    qorvane_volume_set_status(job, slot, "RUNNING", "fit running");
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    // The spectrum goes to the fit in memory and the fit's files stay there until the kept
    // ones are written to the output directory; with --keep-intermediate-files both go
    // through the work directory. The files' contents are the same either way.
    const bool in_memory = !job->options->keep_intermediate_files;
    QorvaneVoxelMemory& mem = t_voxel_memory;
    mem.outputs.clear();

    QorvaneVoxelStep step = qorvane_voxel_check_input(job, slot, in_memory, mem);
    if (step.done) return step.rc;
    char stem[QORVANE_INPUT_NAME_SIZE];
    qorvane_result_stem(stem, sizeof stem, input_name);
    QorvaneSingleFitOutcome outcome;
    step = qorvane_voxel_run_fit(job, slot, in_memory, mem, stem, &outcome);
    if (step.done) return step.rc;
    step = qorvane_voxel_check_fitted(job, slot, in_memory, mem, stem);
    if (step.done) return step.rc;

    // Hand the results to the sinks (the per-voxel files are copied under the slot's file id).
    const QorvaneVoxelResults results = {slot, stem, in_memory ? &mem.outputs : nullptr};
    int crc = 0;
    for (int i = 0; i < job->sink_count && crc == 0; ++i)
        if (job->sinks[i]->voxel != nullptr) crc = job->sinks[i]->voxel(job->sinks[i], job, &results);
    mem.outputs.clear();
    if (crc != 0) {
        snprintf(message, sizeof message, "output copy returned rc=%d", crc);
        qorvane_volume_set_status(job, slot, "FIT_OUTPUT_COPY_ERROR", message);
        fprintf(stderr, "Volume fit error: output copy failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, crc);
        return crc;
    }
    if (outcome.not_converged)
        qorvane_volume_set_status(job, slot, "FIT_NOT_CONVERGED",
                                  "fit imported artifacts written; iteration limit reached before convergence");
    else
        qorvane_volume_set_status(job, slot, "FIT_OK", "fit imported artifacts written");
    return 0;
}

void* qorvane_volume_worker_main(void* arg) {
    QorvaneVolumeWorkQueue* q = static_cast<QorvaneVolumeWorkQueue*>(arg);
    pthread_mutex_lock(&q->mutex);
    for (;;) {
        // slots a resumed job restored from its journal are not fitted again
        while (q->next_slot < q->end_slot && q->job->finished[q->next_slot]) ++q->next_slot;
        if (q->error != 0 || q->next_slot >= q->end_slot) break;
        uint32_t slot = q->next_slot++;
        pthread_mutex_unlock(&q->mutex);

        int rc = qorvane_fit_one_extracted_voxel(q->job, slot);
        if (rc == 0) qorvane_journal_slot_done(q->job, slot);

        pthread_mutex_lock(&q->mutex);
        ++q->completed;
        char id[4 * QORVANE_VOXEL_ID_SIZE];  // escaped as in the tables: one line of six fields
        qorvane_tsv_escape(id, sizeof id, q->job->slots[slot].voxel_id);
        printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", q->completed, q->total, id,
               qorvane_status_or_unknown(q->job, slot));
        fflush(stdout);
        qorvane_volume_progress_note(&q->job->progress, q->completed, q->total);
        if (rc != 0) {
            if (q->error == 0) q->error = rc;
            break;
        }
    }
    pthread_mutex_unlock(&q->mutex);
    return nullptr;
}

int qorvane_volume_fit_slots(QorvaneVolumeJob* job, uint32_t first, uint32_t end) {
    const QorvaneCliOptions* o = job->options;
    uint32_t count = end - first;
    if (job->finished.size() < end) job->finished.resize(end, 0);
    uint32_t restored = 0;
    for (uint32_t s = first; s < end; ++s) restored += job->finished[s] ? 1 : 0;
    qorvane_volume_progress_start(&job->progress, restored);
    if (o->threads < 2) {
        fprintf(stderr, "Volume mode: starting sequential selected-voxel fit.\n");
        fprintf(stderr, "Volume mode: fitting %u selected voxel(s) sequentially.\n", count);
        uint32_t done = restored;
        for (uint32_t s = first; s < end; ++s) {
            if (job->finished[s]) continue;
            int rc = qorvane_fit_one_extracted_voxel(job, s);
            if (rc == 0) qorvane_journal_slot_done(job, s);
            ++done;
            char id[4 * QORVANE_VOXEL_ID_SIZE];  // escaped as in the tables: one line of six fields
            qorvane_tsv_escape(id, sizeof id, job->slots[s].voxel_id);
            printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", s - first + 1, count, id,
                   qorvane_status_or_unknown(job, s));
            fflush(stdout);
            qorvane_volume_progress_note(&job->progress, done, count);
            if (rc != 0) {
                qorvane_volume_progress_end(&job->progress);
                fprintf(stderr, "Volume fit error: sequential fit failed for slot=%u status=%d.\n", s, rc);
                fprintf(stderr, "Volume mode error: extracted-voxel fit failed with status %d.\n", rc);
                return rc;
            }
        }
        qorvane_volume_progress_end(&job->progress);
        fprintf(stderr, "Volume mode: sequential fit completed for %u selected voxel(s).\n", count);
        return 0;
    }
    fprintf(stderr, "Volume mode: starting parallel selected-voxel fit.\n");
    if (count == 0) {
        fprintf(stderr, "Volume mode: no selected voxels to fit.\n");
        return 0;
    }
    int workers = (int)((uint32_t)o->threads < count ? (uint32_t)o->threads : count);
    fprintf(stderr, "Volume mode: fitting %u selected voxel(s) with %d pthread worker(s).\n", count, workers);
    QorvaneVolumeWorkQueue queue;
    queue.job = job;
    queue.next_slot = first;
    queue.end_slot = end;
    queue.total = count;
    queue.error = 0;
    queue.completed = restored;
    if (pthread_mutex_init(&queue.mutex, nullptr) != 0) {
        fprintf(stderr, "Volume fit error: pthread_mutex_init failed.\n");
        fprintf(stderr, "Volume mode error: extracted-voxel fit failed with status %d.\n", 6);
        return 6;
    }
    pthread_t* handles = static_cast<pthread_t*>(calloc((size_t)workers, sizeof(pthread_t)));
    if (handles == nullptr) {
        pthread_mutex_destroy(&queue.mutex);
        fprintf(stderr, "Volume fit error: cannot allocate pthread handles.\n");
        fprintf(stderr, "Volume mode error: extracted-voxel fit failed with status %d.\n", 6);
        return 6;
    }
    int created = 0;
    for (int i = 0; i < workers; ++i) {
        if (pthread_create(&handles[i], nullptr, qorvane_volume_worker_main, &queue) != 0) {
            fprintf(stderr, "Volume fit error: pthread_create failed.\n");
            pthread_mutex_lock(&queue.mutex);
            queue.error = 6;
            pthread_mutex_unlock(&queue.mutex);
            break;
        }
        ++created;
    }
    for (int i = 0; i < created; ++i) pthread_join(handles[i], nullptr);
    qorvane_volume_progress_end(&job->progress);
    free(handles);
    pthread_mutex_destroy(&queue.mutex);
    if (queue.error != 0) {
        fprintf(stderr, "Volume fit error: parallel selected-voxel fit failed with status %d.\n", queue.error);
        fprintf(stderr, "Volume mode error: extracted-voxel fit failed with status %d.\n", queue.error);
        return queue.error;
    }
    fprintf(stderr, "Volume mode: parallel fit completed for %u selected voxel(s).\n", count);
    return 0;
}

int qorvane_volume_check_parameter_file(const char* path, uint32_t ap, char* reason, size_t size) {
    QorvaneFitContext* saved = g_qorvane_ctx;
    QorvaneFitContext* ctx = qorvane_context_create();
    if (ctx == nullptr) {
        snprintf(reason, size, "cannot allocate a fit context");
        return 6;
    }
    g_qorvane_ctx = ctx;
    qorvane_context_set_defaults(ctx);
    int rc = 3;
    bool fits = strlen(path) <= 255;
    if (fits) snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s", path);
    if (!fits) {
        snprintf(reason, size, "path longer than 255 characters");
    } else if (load_initial_value_file(ctx) != QORVANE_RC_OK || ctx->status.fatal) {
        snprintf(reason, size, "%s", ctx->status.message[0] != '\0' ? ctx->status.message : "cannot be read");
    } else if (ctx->fcntl_faulty) {
        snprintf(reason, size, "unsupported or corrupt fit-control file");
    } else if (ctx->data_format == QORVANE_FORMAT_SAGE_IDL) {
        snprintf(reason, size,
                 "sg_idl sage_idl reads .sdf/.shf spectra; volume voxels are plain spectra (sg_idl none)");
    } else if (ctx->fit_mo == 2) {
        snprintf(reason, size, "fit_mo 2 needs a reference line-shape file beside each spectrum");
    } else if (ctx->n_pnts < 2 || ctx->n_pnts > QORVANE_MAX_POINTS || (ctx->n_pnts & (ctx->n_pnts - 1)) != 0) {
        snprintf(reason, size, "n_pnts %d is not a power of 2 between 2 and %d", ctx->n_pnts, (int)QORVANE_MAX_POINTS);
    } else if ((uint32_t)ctx->n_pnts != ap) {
        snprintf(reason, size, "n_pnts %d differs from the volume's %u points per spectrum", ctx->n_pnts, ap);
    } else if (ctx->noistp > ctx->n_pnts) {
        snprintf(reason, size, "noistp %d lies beyond the volume's %u points per spectrum", ctx->noistp, ap);
    } else if (ctx->clcerr == 1 && (long)ctx->noistp - ctx->noistr < 2) {
        snprintf(reason, size, "bounds (clcerr 1) need a noise interval of at least 2 points (noistr %d .. noistp %d)",
                 ctx->noistr, ctx->noistp);
    } else {
        if (ctx->fit_mo == 1) {
            ctx->lsfcfs = 0;
            ctx->npar = 5 * (ctx->nLines + ctx->pattrn);
        }
        test_init_value_file(ctx);
        if (!ctx->init_ok)
            snprintf(reason, size, "fails its checks (see the fit_check_message lines)");
        else if (qorvane_check_prior_knowledge(ctx) != QORVANE_RC_OK)
            snprintf(reason, size, "%s", ctx->status.message);
        else
            rc = 0;
    }
    qorvane_context_destroy(ctx);
    g_qorvane_ctx = saved;
    return rc;
}
