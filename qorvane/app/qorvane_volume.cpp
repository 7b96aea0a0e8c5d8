// Volume mode of qorvane_pthreads.
#include "qorvane_volume.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "qfile.h"
#include "qorvane_context.h"
#include "qorvane_single.h"
#include "qorvvol_reader.h"

char g_volume_selected_voxel_ids[QORVANE_VOLUME_SLOTS][QORVANE_VOXEL_ID_SIZE];
char g_volume_selected_input_names[QORVANE_VOLUME_SLOTS][QORVANE_INPUT_NAME_SIZE];
char g_volume_fit_status[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_WORD_SIZE];
char g_volume_fit_message[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_MESSAGE_SIZE];
uint32_t g_volume_selected_voxel_count = 0;
uint32_t g_volume_requested_max_voxels = 0;
std::atomic<unsigned> g_volume_numerical_failure_count{0};

static const char* const kCopyExts[11] = {"fit", "res",  "cor", "err",    "fit0",       "org",
                                          "mat", "nln0", "exl", "fitres", "compact.par"};

static void qorvane_volume_set_status(uint32_t slot, const char* word, const char* message) {
    snprintf(g_volume_fit_status[slot], QORVANE_STATUS_WORD_SIZE, "%s", word);
    snprintf(g_volume_fit_message[slot], QORVANE_STATUS_MESSAGE_SIZE, "%s", message);
}

int qorvvol_read_u32_le(FILE* stream, uint32_t* value) {
    unsigned char b[4];
    if (stream == nullptr || fread(b, 1, 4, stream) != 4) return -1;
    *value = (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
    return 0;
}

void qorvane_volume_file_safe_id(char* destination, size_t size, const char* voxel_id) {
    if (size == 0) return;
    size_t i = 0;
    for (; voxel_id[i] != '\0' && i + 1 < size; ++i)
        destination[i] = (voxel_id[i] == '/' || voxel_id[i] == '\\') ? '_' : voxel_id[i];
    destination[i] = '\0';
}

static int qorvane_make_dir(const char* path) {
    if (path == nullptr || path[0] == '\0') return -1;
    if (mkdir(path, 0777) == 0) return 0;
    if (errno == EEXIST) {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    }
    return -1;
}

int qorvane_copy_file_binary(const char* source, const char* destination) {
    FILE* in = fopen(source, "rb");
    if (in == nullptr) {
        fprintf(stderr, "Volume output copy error: cannot open source file: %s\n", source);
        return 2;
    }
    FILE* out = fopen(destination, "wb");
    if (out == nullptr) {
        fprintf(stderr, "Volume output copy error: cannot open destination file: %s\n", destination);
        fclose(in);
        return 5;
    }
    static thread_local unsigned char buffer[65536];
    int rc = 0;
    for (;;) {
        size_t got = fread(buffer, 1, sizeof buffer, in);
        if (got > 0 && fwrite(buffer, 1, got, out) != got) {
            fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
            rc = 5;
            break;
        }
        if (got < sizeof buffer) {
            if (ferror(in)) {
                fprintf(stderr, "Volume output copy error: read failed: %s\n", source);
                rc = 2;
            }
            break;
        }
    }
    fclose(in);
    if (fclose(out) != 0 && rc == 0) {
        fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
        rc = 5;
    }
    return rc;
}

int qorvane_remove_named_outputs(const char* work_dir, const char* stem) {
    static const char* const exts[12] = {"bin", "fit", "res",  "cor", "err",    "fit0",
                                         "org", "mat", "nln0", "exl", "fitres", "compact.par"};
    for (const char* ext : exts) {
        char name[128];
        char path[1024];
        int n = snprintf(name, sizeof name, "%s.%s", stem, ext);
        if (n < 0 || n >= (int)sizeof name || qorvane_join_path(path, work_dir, name) != 0) {
            fprintf(stderr, "Volume cleanup error: cannot build path for %s.\n", ext);
            return 5;
        }
        if (remove(path) != 0 && errno != ENOENT) {
            fprintf(stderr, "Volume cleanup error: cannot remove intermediate file: %s\n", path);
            return 5;
        }
    }
    return 0;
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
        for (size_t i = 0; i + 4 <= got; i += 4) {
            uint32_t bits = (uint32_t)buf[i] | ((uint32_t)buf[i + 1] << 8) | ((uint32_t)buf[i + 2] << 16) |
                            ((uint32_t)buf[i + 3] << 24);
            ++*count;
            if ((bits & 0x7fffffffu) == 0) ++*zeros;
            if ((bits & 0x7f800000u) == 0x7f800000u) ++*nonfinite;
        }
        if (got < sizeof buf) {
            if (ferror(f)) rc = 2;
            break;
        }
    }
    fclose(f);
    return rc;
}

static void qorvane_result_stem(char* stem, size_t size, const char* input) {
    snprintf(stem, size, "%s", input);
    size_t l = strlen(stem);
    if (l > 4 && strcmp(stem + l - 4, ".bin") == 0) stem[l - 4] = '\0';
}

int qorvane_fit_one_extracted_voxel(const QorvaneCliOptions* options, uint32_t slot) {
    if (options == nullptr || slot >= g_volume_selected_voxel_count) {
        if (slot < QORVANE_VOLUME_SLOTS)
            qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "invalid single-voxel request");
        fprintf(stderr, "Volume fit error: invalid single-voxel request.\n");
        return 6;
    }
    const char* voxel_id = g_volume_selected_voxel_ids[slot];
    const char* input_name = g_volume_selected_input_names[slot];
    if (voxel_id[0] == '\0' || input_name[0] == '\0') {
        qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "missing voxel id/input name");
        fprintf(stderr, "Volume fit error: missing voxel id/input name for slot %u.\n", slot);
        return 6;
    }
    QorvaneCliOptions local = *options;
    qorvane_volume_set_status(slot, "RUNNING", "fit running");
    char message[QORVANE_STATUS_MESSAGE_SIZE];

    // Input validation.
    int vrc = 0;
    char path[1024];
    unsigned long long count = 0, zeros = 0, nonfinite = 0;
    if (local.work_dir[0] == '\0' || input_name[0] == '\0')
        vrc = 6;
    else if (qorvane_join_path(path, local.work_dir, input_name) != 0)
        vrc = 5;
    else
        vrc = qorvane_scan_floats(path, &count, &zeros, &nonfinite, true);
    if (vrc != 0) {
        snprintf(message, sizeof message, "input validation returned status=%d", vrc);
        qorvane_volume_set_status(slot, "FIT_VALIDATION_ERROR", message);
        fprintf(stderr, "Volume fit validation error: input validation failed for slot=%u voxel_id=%s status=%d.\n",
                slot, voxel_id, vrc);
        return vrc;
    }
    if (count > 0 && zeros == count) {
        qorvane_volume_set_status(slot, "FIT_SKIPPED_ZERO_INPUT",
                                  "not fitted: input spectrum contains only zero-valued samples");
        fprintf(stderr, "Volume fit skipped: slot=%u voxel_id=%s has an all-zero input spectrum.\n", slot, voxel_id);
        return 0;
    }
    if (nonfinite > 0) {
        snprintf(message, sizeof message, "%llu non-finite input float(s)", nonfinite);
        qorvane_volume_set_status(slot, "FIT_INVALID_INPUT", message);
        fprintf(
            stderr,
            "Volume fit invalid input: slot=%u voxel_id=%s contains %llu non-finite input float(s); skipping fit.\n",
            slot, voxel_id, nonfinite);
        return 0;
    }

    // The fit itself, with the four-word command-line record.
    char record[QORVANE_CMDLINE_RECORD_SIZE];
    snprintf(record, sizeof record, "qorvane_pthreads.exe\t%s\t%s\t%s\t", local.work_dir, input_name,
             local.parameter_file);
    QorvaneSingleFitOutcome outcome;
    int frc = qorvane_single_fit_run(local.work_dir, input_name, local.parameter_file, record, &outcome);
    if (outcome.fatal && outcome.code == QORVANE_EXIT_FIT_CONTROL) {
        // The fit-control file is the same for every voxel: its errors end the job.
        snprintf(message, sizeof message, "legacy fit returned rc=%d", outcome.code);
        qorvane_volume_set_status(slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, outcome.code);
        return outcome.code;
    }
    if (outcome.fatal) {
        // A fatal condition inside this voxel's fit ends the voxel, not the job.
        // The message is cut to the table's entry size.
        if (snprintf(message, sizeof message, "legacy fit returned rc=%d: %s", outcome.code, outcome.message) < 0)
            message[0] = '\0';
        qorvane_volume_set_status(slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, outcome.code);
        return 0;
    }
    if (frc != 0) {
        snprintf(message, sizeof message, "legacy fit returned rc=%d", frc);
        qorvane_volume_set_status(slot, "FIT_ERROR", message);
        fprintf(stderr, "Volume fit error: fit failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, frc);
        return frc;
    }

    // Check the fitted spectrum.
    char stem[QORVANE_INPUT_NAME_SIZE];
    qorvane_result_stem(stem, sizeof stem, input_name);
    char fit_name[160];
    snprintf(fit_name, sizeof fit_name, "%s.fit", stem);
    if (qorvane_join_path(path, local.work_dir, fit_name) != 0) {
        qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "cannot build fitted spectrum path");
        fprintf(stderr, "Volume fit validation error: cannot build fit path for slot=%u voxel_id=%s.\n", slot,
                voxel_id);
        return 5;
    }
    vrc = qorvane_scan_floats(path, &count, &zeros, &nonfinite, false);
    if (vrc != 0) {
        snprintf(message, sizeof message, "fit validation returned status=%d", vrc);
        qorvane_volume_set_status(slot, "FIT_VALIDATION_ERROR", message);
        fprintf(stderr, "Volume fit validation error: slot=%u voxel_id=%s status=%d.\n", slot, voxel_id, vrc);
        return vrc;
    }
    if (nonfinite > 0) {
        snprintf(message, sizeof message, "%llu non-finite fitted float(s)", nonfinite);
        qorvane_volume_set_status(slot, "FIT_NUMERIC_FAILURE", message);
        g_volume_numerical_failure_count.fetch_add(1);
        fprintf(stderr,
                "Volume fit numerical failure: slot=%u voxel_id=%s contains %llu non-finite fitted float(s); skipping "
                "result artifacts.\n",
                slot, voxel_id, nonfinite);
        if (!local.keep_intermediate_files) {
            if (stem[0] == '\0')
                fprintf(stderr, "Volume cleanup error: invalid cleanup arguments.\n");
            else
                qorvane_remove_named_outputs(local.work_dir, stem);
        }
        return 0;
    }

    // Copy the results under the voxel's id (made safe for a file name).
    int crc = 0;
    char safe_id[QORVANE_VOXEL_ID_SIZE];
    qorvane_volume_file_safe_id(safe_id, sizeof safe_id, voxel_id);
    if (stem[0] == '\0' || safe_id[0] == '\0') {
        fprintf(stderr, "Volume output error: invalid copy-output arguments.\n");
        crc = 6;
    } else if (qorvane_make_dir(local.output_dir) != 0) {
        fprintf(stderr, "Volume output error: cannot create output directory: %s\n", local.output_dir);
        crc = 5;
    } else {
        for (const char* ext : kCopyExts) {
            char name[256];
            char src[1024];
            char dst[1024];
            int n = snprintf(name, sizeof name, "%s.%s", stem, ext);
            if (n < 0 || n >= (int)sizeof name || qorvane_join_path(src, local.work_dir, name) != 0) {
                fprintf(stderr, "Volume output error: cannot build source path for %s.\n", ext);
                crc = 5;
                break;
            }
            n = snprintf(name, sizeof name, "voxel_%s.%s", safe_id, ext);
            if (n < 0 || n >= (int)sizeof name || qorvane_join_path(dst, local.output_dir, name) != 0) {
                fprintf(stderr, "Volume output error: cannot build destination path for %s.\n", ext);
                crc = 5;
                break;
            }
            int r = qorvane_copy_file_binary(src, dst);
            if (r != 0) {
                fprintf(stderr, "Volume output error: failed copying %s to %s.\n", src, dst);
                crc = r;
                break;
            }
        }
    }
    if (crc != 0) {
        snprintf(message, sizeof message, "output copy returned rc=%d", crc);
        qorvane_volume_set_status(slot, "FIT_OUTPUT_COPY_ERROR", message);
        fprintf(stderr, "Volume fit error: output copy failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, crc);
        return crc;
    }
    if (!local.keep_intermediate_files) {
        int rrc = qorvane_remove_named_outputs(local.work_dir, stem);
        if (rrc != 0) {
            snprintf(message, sizeof message, "cleanup returned rc=%d", rrc);
            qorvane_volume_set_status(slot, "FIT_CLEANUP_ERROR", message);
            fprintf(stderr, "Volume fit error: cleanup failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, rrc);
            return rrc;
        }
    }
    qorvane_volume_set_status(slot, "FIT_OK", "fit imported artifacts written");
    return 0;
}

static const char* qorvane_status_or_unknown(uint32_t slot) {
    return g_volume_fit_status[slot][0] != '\0' ? g_volume_fit_status[slot] : "UNKNOWN";
}

void* qorvane_volume_worker_main(void* arg) {
    QorvaneVolumeWorkQueue* q = static_cast<QorvaneVolumeWorkQueue*>(arg);
    pthread_mutex_lock(&q->mutex);
    for (;;) {
        if (q->error != 0 || q->next_slot >= g_volume_selected_voxel_count) break;
        uint32_t slot = q->next_slot++;
        pthread_mutex_unlock(&q->mutex);

        int rc = qorvane_fit_one_extracted_voxel(q->options, slot);

        pthread_mutex_lock(&q->mutex);
        ++q->completed;
        printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", q->completed, g_volume_selected_voxel_count,
               g_volume_selected_voxel_ids[slot], qorvane_status_or_unknown(slot));
        fflush(stdout);
        if (rc != 0) {
            if (q->error == 0) q->error = rc;
            break;
        }
    }
    pthread_mutex_unlock(&q->mutex);
    return nullptr;
}

static int qorvane_volume_fit_slots(const QorvaneCliOptions* o) {
    uint32_t count = g_volume_selected_voxel_count;
    if (o->threads < 2) {
        fprintf(stderr, "Volume mode: starting sequential selected-voxel fit.\n");
        fprintf(stderr, "Volume mode: fitting %u selected voxel(s) sequentially.\n", count);
        for (uint32_t s = 0; s < count; ++s) {
            int rc = qorvane_fit_one_extracted_voxel(o, s);
            printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", s + 1, count, g_volume_selected_voxel_ids[s],
                   qorvane_status_or_unknown(s));
            fflush(stdout);
            if (rc != 0) {
                fprintf(stderr, "Volume fit error: sequential fit failed for slot=%u status=%d.\n", s, rc);
                fprintf(stderr, "Volume mode error: extracted-voxel fit failed with status %d.\n", rc);
                return rc;
            }
        }
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
    queue.options = o;
    queue.next_slot = 0;
    queue.error = 0;
    queue.completed = 0;
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

static void qorvane_volume_write_status_table(const QorvaneCliOptions* o) {
    char path[1024];
    if (o->output_dir[0] == '\0') {
        fprintf(stderr, "Volume output error: cannot build fit_status.tsv path.\n");
        fprintf(stderr, "Volume mode warning: fit status report failed with status %d.\n", 6);
        return;
    }
    if (qorvane_join_path(path, o->output_dir, "fit_status.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build fit_status.tsv path.\n");
        fprintf(stderr, "Volume mode warning: fit status report failed with status %d.\n", 5);
        return;
    }
    FILE* f = fopen(path, "w");
    if (f == nullptr) {
        fprintf(stderr, "Volume output error: cannot open fit status file: %s\n", path);
        fprintf(stderr, "Volume mode warning: fit status report failed with status %d.\n", 5);
        return;
    }
    fprintf(f, "slot\tvoxel_id\tinput_file\tfit_status\tmessage\n");
    for (uint32_t s = 0; s < g_volume_selected_voxel_count; ++s)
        fprintf(f, "%u\t%s\t%s\t%s\t%s\n", s + 1, g_volume_selected_voxel_ids[s], g_volume_selected_input_names[s],
                qorvane_status_or_unknown(s),
                g_volume_fit_message[s][0] != '\0' ? g_volume_fit_message[s] : "no status message");
    fclose(f);
    fprintf(stderr, "Volume mode: fit status written: %s\n", path);
}

// The job's messages go to standard error; its standard-output lines are the scan
// summary and the progress lines, which a calling program reads.
int qorvane_volume_run(const QorvaneCliOptions* o) {
    fprintf(stderr, "Volume mode parsed successfully.\n");
    fprintf(stderr, "Opening QORVVOL input: %s\n", o->input);
    FILE* in = qorvane_fopen_regular(o->input, "rb");
    if (in == nullptr) {
        fprintf(stderr, "QORVVOL read error: cannot open input volume: %s\n", o->input);
        return 2;
    }
    if (qorvane_make_dir(o->output_dir) != 0) {
        fprintf(stderr, "Volume output error: cannot create output directory: %s\n", o->output_dir);
        fclose(in);
        return 5;
    }
    char results_path[1024];
    if (qorvane_join_path(results_path, o->output_dir, "fit_results.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build fit_results.tsv path.\n");
        fclose(in);
        return 5;
    }
    FILE* results = fopen(results_path, "w");
    if (results == nullptr) {
        fprintf(stderr, "Volume output error: cannot open results file: %s\n", results_path);
        fclose(in);
        return 5;
    }
    fprintf(results, "linear_index\tvoxel_id\tfit\tstatus\tmessage\n");

    int rc = 0;
    char* id_buffer = nullptr;
    unsigned char* samples = nullptr;
    unsigned long long total = 0, n_fit1 = 0, n_fit0 = 0;
    do {
        QorvvolHeader h;
        const long long file_size = qorvane_file_size(in);
        rc = qorvvol_read_header(in, file_size > 0 ? (unsigned long long)file_size : 0, &h);
        if (rc != 0) break;
        total = h.total_records;
        fprintf(
            stderr,
            "QORVVOL header: ap=%u n1=%u n2=%u n3=%u id_bytes=%u sample_fmt=%u total_records=%llu record_bytes=%llu\n",
            h.ap, h.n1, h.n2, h.n3, h.id_bytes, h.sample_fmt, total, h.record_bytes);
        const uint32_t ap = h.ap;

        if (o->max_voxels < 1 || o->max_voxels > QORVANE_MAX_VOXELS_LIMIT) {
            fprintf(stderr, "Volume mode error: invalid max_voxels=%u. Allowed range is 1..%u.\n", o->max_voxels,
                    (unsigned)QORVANE_MAX_VOXELS_LIMIT);
            rc = 2;
            break;
        }
        g_volume_requested_max_voxels = o->max_voxels;
        g_volume_numerical_failure_count.exchange(0);
        fprintf(stderr, "Volume mode: requested max selected voxels to fit: %u\n", o->max_voxels);
        memset(g_volume_selected_voxel_ids, 0, sizeof g_volume_selected_voxel_ids);
        memset(g_volume_selected_input_names, 0, sizeof g_volume_selected_input_names);
        memset(g_volume_fit_status, 0, sizeof g_volume_fit_status);
        memset(g_volume_fit_message, 0, sizeof g_volume_fit_message);
        g_volume_selected_voxel_count = 0;

        id_buffer = static_cast<char*>(malloc((size_t)h.id_bytes + 1));
        if (id_buffer == nullptr) {
            fprintf(stderr, "QORVVOL read error: cannot allocate ID buffer.\n");
            rc = 6;
            break;
        }
        samples = static_cast<unsigned char*>(malloc((size_t)8 * ap));
        if (samples == nullptr) {
            fprintf(stderr, "QORVVOL read error: cannot allocate sample buffer.\n");
            rc = 6;
            break;
        }

        for (unsigned long long r = 0; r < total && rc == 0; ++r) {
            rc = qorvvol_read_record(in, &h, r, id_buffer, samples);
            if (rc != 0) break;
            char voxel_id[QORVANE_VOXEL_ID_SIZE];
            const bool selected = qorvvol_parse_id(id_buffer, voxel_id, sizeof voxel_id);
            const size_t id_len = strlen(voxel_id);
            const unsigned long long nonfinite = qorvvol_count_nonfinite(samples, ap);
            if (nonfinite > 0)
                fprintf(stderr,
                        "QORVVOL read warning: record %llu voxel_id=%s holds %llu non-finite sample float(s).\n", r,
                        voxel_id, nonfinite);
            if (!selected) {
                fprintf(results, "%llu\t%s\t%d\t%s\t%s\n", r, voxel_id, 0, "SKIPPED", "fit flag is 0");
                ++n_fit0;
                continue;
            }
            fprintf(results, "%llu\t%s\t%d\t%s\t%s\n", r, voxel_id, 1, "SELECTED", "selected for fitting");
            ++n_fit1;
            if (g_volume_selected_voxel_count >= g_volume_requested_max_voxels) continue;
            uint32_t slot = g_volume_selected_voxel_count;
            memcpy(g_volume_selected_voxel_ids[slot], voxel_id, id_len + 1);
            snprintf(g_volume_selected_input_names[slot], QORVANE_INPUT_NAME_SIZE, "volume_voxel_%03u.bin", slot + 1);
            qorvane_volume_set_status(slot, "PENDING", "selected for fitting");
            char path[1024];
            if (o->work_dir[0] == '\0' ||
                qorvane_join_path(path, o->work_dir, g_volume_selected_input_names[slot]) != 0) {
                fprintf(stderr, "Volume extract error: cannot build path for %s.\n",
                        g_volume_selected_input_names[slot]);
                rc = 5;
                break;
            }
            FILE* out = fopen(path, "wb");
            if (out == nullptr) {
                fprintf(stderr, "Volume extract error: cannot open output file: %s\n", path);
                rc = 5;
                break;
            }
            bool ok = fwrite(samples, 1, (size_t)8 * ap, out) == (size_t)8 * ap;
            if (fclose(out) != 0) ok = false;
            if (!ok) {
                fprintf(stderr, "Volume extract error: cannot write output file: %s\n", path);
                rc = 5;
                break;
            }
            ++g_volume_selected_voxel_count;
        }
    } while (false);
    free(id_buffer);
    free(samples);
    fclose(in);
    fclose(results);
    if (rc != 0) return rc;

    printf("QORVVOL scan complete.\n");
    printf("QORVVOL records total: %llu\n", total);
    printf("QORVVOL records fit=1: %llu\n", n_fit1);
    printf("QORVVOL records fit=0: %llu\n", n_fit0);
    printf("QORVVOL results written: %s\n", results_path);
    if (n_fit1 == 0) {
        fprintf(stderr, "Volume mode: no selected voxel found; no fit performed.\n");
        return 0;
    }
    rc = qorvane_volume_fit_slots(o);
    if (rc != 0) return rc;
    qorvane_volume_write_status_table(o);
    unsigned failures = g_volume_numerical_failure_count.load();
    if (failures == 0)
        fprintf(stderr, "Volume mode: extracted-voxel fit completed successfully.\n");
    else
        fprintf(stderr, "Volume mode: extracted-voxel fit completed with %u numerical failure(s).\n", failures);
    return 0;
}
