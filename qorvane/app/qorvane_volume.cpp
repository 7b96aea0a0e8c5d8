// Volume mode of qorvane_pthreads: the job. It opens the source, lets the sinks begin,
// scans the source's voxels once (selection into slots, a results row per voxel, the
// intermediate inputs with --keep-intermediate-files), fits the slots of its range, cleans
// up, lets the sinks finish and works out the exit code.
#include "qorvane_volume.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "qnifti_mrs.h"
#include "qpath.h"

double g_volume_progress_interval_s = 5.0;

namespace {

// What the scan found: the voxels, the selected and deselected ones, the slots this job
// fits (the whole selection, or the --voxel-range part of it) and the parameter file's check.
struct QorvaneVolumeScan {
    unsigned long long total, n_fit1, n_fit0;
    unsigned long long range_first, range_end;
    int par_rc;
    char par_reason[512];
};

// Removes the intermediate files of every extracted slot whose results were not written (the
// others were cleaned up after their copy). 0, or 5 when a file could not be removed.
int qorvane_volume_sweep(const QorvaneVolumeJob* job) {
    const QorvaneCliOptions* o = job->options;
    if (o->keep_intermediate_files) return 0;
    int rc = 0;
    for (uint32_t s = 0; s < job->slot_count(); ++s) {
        if (!job->slots[s].extracted || qorvane_volume_results_written(job, s)) continue;
        char stem[QORVANE_INPUT_NAME_SIZE];
        qorvane_result_stem(stem, sizeof stem, job->slots[s].input_name);
        if (qorvane_remove_named_outputs(o->work_dir, stem) != 0) rc = 5;
    }
    return rc;
}

// Counts over slots first .. end-1: fitted (results written), all-zero skips, and the rest (not fitted).
void qorvane_volume_count_outcomes(const QorvaneVolumeJob* job, uint32_t first, uint32_t end, uint32_t* ok,
                                   uint32_t* zero, uint32_t* failed) {
    *ok = *zero = *failed = 0;
    for (uint32_t s = first; s < end; ++s) {
        if (qorvane_volume_results_written(job, s))
            ++*ok;
        else if (strcmp(job->slots[s].status, "FIT_SKIPPED_ZERO_INPUT") == 0)
            ++*zero;
        else
            ++*failed;
    }
}

// The output and work directories; a range job first removes the record an earlier run left.
int qorvane_volume_prepare_dirs(const QorvaneCliOptions* o) {
    if (qorvane_make_dir(o->output_dir) != 0) {
        fprintf(stderr, "Volume output error: cannot create output directory: %s\n", o->output_dir);
        return 5;
    }
    if (o->has_voxel_range) {
        // A record left by an earlier run must not describe this one.
        char path[1024];
        if (qorvane_join_path(path, o->output_dir, kQorvaneShardFile) == 0) remove(path);
    }
    if (o->work_dir[0] != '\0' && qorvane_make_dir(o->work_dir) != 0) {
        fprintf(stderr, "Volume output error: cannot create work directory: %s\n", o->work_dir);
        return 5;
    }
    return 0;
}

// A selected voxel r: a slot while the requested maximum allows, and with
// --keep-intermediate-files its spectrum in the work directory when this job fits the slot.
// 0, or 5 after the message.
int qorvane_volume_select(QorvaneVolumeJob* job, const QorvaneVolumeScan* scan, unsigned long long r,
                          const char* voxel_id, const unsigned char* samples) {
    const QorvaneCliOptions* o = job->options;
    const uint32_t ap = job->source->points;
    if (job->slot_count() >= job->requested_max_voxels) return 0;
    uint32_t slot = job->slot_count();
    job->slots.push_back(QorvaneVolumeSlot{});
    QorvaneVolumeSlot& s = job->slots[slot];
    s.record = r;
    memcpy(s.voxel_id, voxel_id, strlen(voxel_id) + 1);
    snprintf(s.input_name, QORVANE_INPUT_NAME_SIZE, "volume_voxel_%03u.bin", slot + 1);
    qorvane_volume_set_status(job, slot, "PENDING", "selected for fitting");
    if (scan->par_rc != 0 || slot < scan->range_first || slot >= scan->range_end) return 0;
    char path[1024];
    if (o->work_dir[0] == '\0' || qorvane_join_path(path, o->work_dir, s.input_name) != 0) {
        fprintf(stderr, "Volume extract error: cannot build path for %s.\n", s.input_name);
        return 5;
    }
    if (!o->keep_intermediate_files) return 0;  // read from the source by its fit
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        fprintf(stderr, "Volume extract error: cannot open output file: %s\n", path);
        return 5;
    }
    s.extracted = 1;
    bool ok = fwrite(samples, 1, (size_t)8 * ap, out) == (size_t)8 * ap;
    if (fclose(out) != 0) ok = false;
    if (!ok) {
        fprintf(stderr, "Volume extract error: cannot write output file: %s\n", path);
        return 5;
    }
    return 0;
}

// The scan stage: the source's header, the checks before any voxel is read, then every voxel
// once, in order. 0 or the status that ends the job.
int qorvane_volume_scan(QorvaneVolumeJob* job, QorvaneVolumeScan* scan) {
    const QorvaneCliOptions* o = job->options;
    QorvaneVoxelSource* source = job->source;
    int rc = source->open_header(source);
    if (rc != 0) return rc;
    scan->total = source->voxels;
    const uint32_t ap = source->points;
    if (o->max_voxels < 1 || o->max_voxels > QORVANE_MAX_VOXELS_LIMIT) {
        fprintf(stderr, "Volume mode error: invalid max_voxels=%u. Allowed range is 1..%u.\n", o->max_voxels,
                (unsigned)QORVANE_MAX_VOXELS_LIMIT);
        return 2;
    }
    job->requested_max_voxels = o->max_voxels;
    job->numerical_failure_count.exchange(0);
    fprintf(stderr, "Volume mode: requested max selected voxels to fit: %u\n", o->max_voxels);
    job->slots.clear();

    // The parameter file is checked once, before any voxel is extracted; a refused one
    // still lets the scan fill both tables.
    scan->par_rc =
        qorvane_volume_check_parameter_file(o->parameter_file, ap, scan->par_reason, sizeof scan->par_reason);
    if (scan->par_rc != 0)
        fprintf(stderr, "Volume mode error: parameter file refused: %s: %s\n", o->parameter_file, scan->par_reason);

    rc = source->begin_scan(source);
    if (rc != 0) return rc;
    unsigned char* samples = static_cast<unsigned char*>(malloc((size_t)8 * ap));
    if (samples == nullptr) {
        fprintf(stderr, "QORVVOL read error: cannot allocate sample buffer.\n");
        return 6;
    }
    for (unsigned long long r = 0; r < scan->total && rc == 0; ++r) {
        char voxel_id[QORVANE_VOXEL_ID_SIZE];
        bool selected = false;
        rc = source->scan_next(source, r, voxel_id, sizeof voxel_id, &selected, samples);
        if (rc != 0) break;
        // What a resumed job must find again: every voxel's id, selection and spectrum.
        const unsigned char flag = selected ? 1 : 0;
        const size_t id_bytes = strlen(voxel_id) + 1;
        job->scan_crc = crc32(job->scan_crc, reinterpret_cast<const Bytef*>(voxel_id), (uInt)id_bytes);
        job->scan_crc = crc32(job->scan_crc, &flag, 1);
        job->scan_crc = crc32(job->scan_crc, samples, (uInt)(8 * ap));
        job->scan_bytes += id_bytes + 1 + (unsigned long long)8 * ap;
        for (int i = 0; i < job->sink_count; ++i)
            if (job->sinks[i]->scanned != nullptr) job->sinks[i]->scanned(job->sinks[i], job, r, voxel_id, selected);
        if (!selected) {
            ++scan->n_fit0;
            continue;
        }
        ++scan->n_fit1;
        rc = qorvane_volume_select(job, scan, r, voxel_id, samples);
    }
    free(samples);
    return rc;
}

// The fit stage over the job's range, the clean-up, the sinks' finish and the exit code.
int qorvane_volume_fit_and_finish(QorvaneVolumeJob* job, const QorvaneVolumeScan* scan) {
    const QorvaneCliOptions* o = job->options;
    const uint32_t slots = job->slot_count();
    const uint32_t first = scan->range_first < slots ? (uint32_t)scan->range_first : slots;
    const uint32_t end = scan->range_end < slots ? (uint32_t)scan->range_end : slots;
    if (o->has_voxel_range)
        fprintf(stderr, "Volume mode: voxel range %u:%u of %u selected voxel(s): fitting slots %u..%u.\n",
                o->range_first, o->range_count, slots, first + 1, end);
    if (scan->n_fit1 == 0) {
        fprintf(stderr, "Volume mode: no selected voxel found; no fit performed.\n");
        if (o->has_voxel_range) return qorvane_volume_write_shard_record(job, 0, 0, scan->total, 1, 0);
        return 0;
    }
    qorvane_volume_assign_file_ids(job, slots);
    job->finished.assign(slots, 0);

    int fit_rc = 0;
    if (scan->par_rc == 0) fit_rc = qorvane_journal_start(job);
    if (fit_rc != 0) {
        // the journal is another job's, or cannot be written: nothing fitted, nothing finished
        return fit_rc;
    } else if (scan->par_rc != 0) {
        char message[QORVANE_STATUS_MESSAGE_SIZE];
        snprintf(message, sizeof message, "not fitted: parameter file refused: %.200s", scan->par_reason);
        for (uint32_t s = first; s < end; ++s) qorvane_volume_set_status(job, s, "FIT_ERROR", message);
        fit_rc = scan->par_rc;
    } else {
        fit_rc = qorvane_volume_fit_slots(job, first, end);
    }
    int sweep_rc = qorvane_volume_sweep(job);
    int table_rc = 0;
    for (int i = 0; i < job->sink_count; ++i) {
        if (job->sinks[i]->finish == nullptr) continue;
        int r = job->sinks[i]->finish(job->sinks[i], job, first, end);
        if (table_rc == 0) table_rc = r;
    }

    uint32_t ok = 0, zero = 0, failed = 0;
    qorvane_volume_count_outcomes(job, first, end, &ok, &zero, &failed);
    int final_rc = 0;
    if (fit_rc != 0) {
        final_rc = fit_rc;
    } else if (table_rc != 0) {
        final_rc = table_rc;
    } else if (sweep_rc != 0) {
        final_rc = sweep_rc;
    } else if (ok == 0 && failed > 0) {
        fprintf(stderr,
                "Volume mode error: no selected voxel was fitted (%u not fitted, %u all-zero); see fit_status.tsv.\n",
                failed, zero);
        final_rc = 4;
    } else {
        unsigned numeric = job->numerical_failure_count.load();
        if (failed == 0) fprintf(stderr, "Volume mode: extracted-voxel fit completed successfully.\n");
        if (numeric > 0)
            fprintf(stderr, "Volume mode: extracted-voxel fit completed with %u numerical failure(s).\n", numeric);
        if (failed > numeric)
            fprintf(stderr, "Volume mode: extracted-voxel fit completed; %u selected voxel(s) not fitted.\n",
                    failed - numeric);
    }
    if (o->has_voxel_range) {
        // Complete: every slot of the range has its final status in the table.
        int complete = (final_rc == 0 || final_rc == 4) ? 1 : 0;
        int src = qorvane_volume_write_shard_record(job, first, end, scan->total, complete, final_rc);
        if (final_rc == 0) final_rc = src;
    }
    qorvane_journal_close(job, final_rc == 0 || final_rc == 4);
    return final_rc;
}

}  // namespace

void qorvane_volume_job_close(QorvaneVolumeJob* job) {
    qorvane_journal_close(job, false);
    for (int i = 0; i < job->sink_count; ++i)
        if (job->sinks[i]->release != nullptr) job->sinks[i]->release(job->sinks[i]);
    if (job->source != nullptr && job->source->close != nullptr) job->source->close(job->source);
}

// The job's messages go to standard error; its standard-output lines are the scan
// summary and the progress lines, which a calling program reads.
int qorvane_volume_run_job(QorvaneVolumeJob* job) {
    const QorvaneCliOptions* o = job->options;
    QorvaneVoxelSource& source = *job->source;
    int rc = qorvane_journal_open(job);  // with --resume: refused before anything is written
    if (rc == 0) rc = qorvane_volume_prepare_dirs(o);
    if (rc != 0) return rc;
    for (int i = 0; i < job->sink_count; ++i) {
        rc = job->sinks[i]->begin != nullptr ? job->sinks[i]->begin(job->sinks[i], job) : 0;
        if (rc != 0) return rc;
    }

    QorvaneVolumeScan scan = QorvaneVolumeScan();
    scan.range_first = o->has_voxel_range ? o->range_first : 0;
    scan.range_end = o->has_voxel_range ? scan.range_first + o->range_count : (unsigned long long)QORVANE_VOLUME_SLOTS;
    rc = qorvane_volume_scan(job, &scan);
    // The fits read their spectra from the source, which keeps what they need until the job ends.
    int end_rc = source.end_scan(&source, rc == 0 && !o->keep_intermediate_files);
    if (rc == 0) rc = end_rc;
    for (int i = 0; i < job->sink_count; ++i) {
        int r = job->sinks[i]->end_scan != nullptr ? job->sinks[i]->end_scan(job->sinks[i], job) : 0;
        if (rc == 0) rc = r;
    }
    if (rc != 0) {
        qorvane_volume_sweep(job);
        return rc;
    }

    const char* format = job->input_format;
    printf("%s scan complete.\n", format);
    printf("%s records total: %llu\n", format, scan.total);
    printf("%s records fit=1: %llu\n", format, scan.n_fit1);
    printf("%s records fit=0: %llu\n", format, scan.n_fit0);
    printf("%s results written: %s\n", format, job->results_path);
    return qorvane_volume_fit_and_finish(job, &scan);
}

int qorvane_volume_run(const QorvaneCliOptions* given) {
    // Without --work-dir a directory is needed only to keep intermediate files: a private
    // temporary one then (named on standard error and left in place with them); otherwise the
    // current directory serves as the name the results carry and nothing is written there.
    QorvaneCliOptions resolved = *given;
    const QorvaneCliOptions* o = &resolved;
    if (resolved.work_dir[0] == '\0' && resolved.keep_intermediate_files) {
        const char* base = getenv("TMPDIR");
        if (base == nullptr || base[0] == '\0') base = "/tmp";
        int w = snprintf(resolved.work_dir, sizeof resolved.work_dir, "%s/qorvane_work_XXXXXX", base);
        if (w < 0 || w >= (int)sizeof resolved.work_dir || mkdtemp(resolved.work_dir) == nullptr) {
            fprintf(stderr, "Volume output error: cannot create a private work directory under %s\n", base);
            return 5;
        }
        fprintf(stderr, "Volume mode: intermediate files are kept in %s\n", resolved.work_dir);
    } else if (resolved.work_dir[0] == '\0') {
        snprintf(resolved.work_dir, sizeof resolved.work_dir, ".");
    }
    fprintf(stderr, "Volume mode parsed successfully.\n");
    QorvaneVolumeJob job;
    job.options = o;
    job.progress.interval_s = g_volume_progress_interval_s;
    QorvaneVoxelSource source = QorvaneVoxelSource();
    job.source = &source;
    // The sinks, in the order their hooks run.
    // A NIfTI-MRS job writes parameter maps, and per-voxel files only when asked.
    const bool nifti = qorvane_is_nifti_path(o->input);
    job.input_format = nifti ? "NIfTI-MRS" : "QORVVOL";
    job.per_voxel_files = !nifti || o->per_voxel_files;
    QorvaneVolumeSink results_table, voxel_files, status_table, maps = QorvaneVolumeSink();
    qorvane_volume_results_table_sink(&results_table);
    qorvane_volume_voxel_files_sink(&voxel_files);
    qorvane_volume_status_table_sink(&status_table);
    if (nifti) qorvane_volume_maps_sink(&maps, o);
    job.sinks[job.sink_count++] = &results_table;
    if (!nifti || o->per_voxel_files) job.sinks[job.sink_count++] = &voxel_files;
    job.sinks[job.sink_count++] = &status_table;
    if (nifti) job.sinks[job.sink_count++] = &maps;

    int rc = 0;
    if (nifti) {
        // The spectrum spill file goes into the work directory a user named (or the private
        // one), else into the output directory, never into the current directory.
        QorvaneCliOptions spill = resolved;
        if (given->work_dir[0] == '\0' && !given->keep_intermediate_files) spill.work_dir[0] = '\0';
        rc = qorvane_volume_source_open_nifti(&source, &spill);
    } else if (o->mask[0] != '\0') {
        fprintf(stderr,
                "Volume mode error: --mask applies to NIfTI-MRS input; QORVVOL1 records carry their own flag.\n");
        rc = 1;
    } else {
        rc = qorvane_volume_source_open_qorvvol(&source, o->input);
    }
    if (rc == 0) rc = qorvane_volume_run_job(&job);
    qorvane_volume_job_close(&job);
    return rc;
}
