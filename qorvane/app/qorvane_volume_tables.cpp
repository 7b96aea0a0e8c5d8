// Volume mode: the tables a job keeps (sinks fit_results.tsv, filled while the source is
// scanned, and fit_status.tsv, written after the fit) and the range record of a shard.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "qorvane_volume.h"
#include "qpath.h"

const char kQorvaneShardFile[] = "shard_range.tsv";

void qorvane_tsv_escape(char* destination, size_t size, const char* text) {
    if (size == 0) return;
    size_t o = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        char piece[5];
        unsigned char c = *p;
        if (c == '\\')
            snprintf(piece, sizeof piece, "\\\\");
        else if (c == '\t')
            snprintf(piece, sizeof piece, "\\t");
        else if (c == '\n')
            snprintf(piece, sizeof piece, "\\n");
        else if (c == '\r')
            snprintf(piece, sizeof piece, "\\r");
        else if (c < 0x20 || c == 0x7f)
            snprintf(piece, sizeof piece, "\\x%02X", c);
        else {
            piece[0] = (char)c;
            piece[1] = '\0';
        }
        size_t l = strlen(piece);
        if (o + l + 1 > size) break;
        memcpy(destination + o, piece, l);
        o += l;
    }
    destination[o] = '\0';
}

// A table written with every write checked: ok stays true only if all of them and the close succeed.
struct QorvaneTsvFile {
    FILE* f;
    bool ok;
};

static void qorvane_tsv_printf(QorvaneTsvFile* t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void qorvane_tsv_printf(QorvaneTsvFile* t, const char* fmt, ...) {
    if (!t->ok) return;
    va_list ap;
    va_start(ap, fmt);
    if (vfprintf(t->f, fmt, ap) < 0) t->ok = false;
    va_end(ap);
}

static bool qorvane_tsv_close(QorvaneTsvFile* t) {
    bool ok = t->ok && fflush(t->f) == 0 && ferror(t->f) == 0;
    if (fclose(t->f) != 0) ok = false;
    t->f = nullptr;
    return ok;
}

// ---- fit_results.tsv ----------------------------------------------------------------

static int qorvane_results_table_begin(QorvaneVolumeSink* sink, QorvaneVolumeJob* job) {
    const QorvaneCliOptions* o = job->options;
    if (qorvane_join_path(job->results_path, o->output_dir, "fit_results.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build fit_results.tsv path.\n");
        return 5;
    }
    QorvaneTsvFile* results = new QorvaneTsvFile{fopen(job->results_path, "w"), true};
    if (results->f == nullptr) {
        fprintf(stderr, "Volume output error: cannot open results file: %s\n", job->results_path);
        delete results;
        return 5;
    }
    sink->state = results;
    qorvane_tsv_printf(results, "linear_index\tvoxel_id\tfit\tstatus\tmessage\n");
    return 0;
}

static void qorvane_results_table_row(QorvaneVolumeSink* sink, QorvaneVolumeJob*, unsigned long long r,
                                      const char* voxel_id, bool selected) {
    QorvaneTsvFile* results = static_cast<QorvaneTsvFile*>(sink->state);
    char escaped[4 * QORVANE_VOXEL_ID_SIZE];
    qorvane_tsv_escape(escaped, sizeof escaped, voxel_id);
    if (!selected)
        qorvane_tsv_printf(results, "%llu\t%s\t%d\t%s\t%s\n", r, escaped, 0, "SKIPPED", "fit flag is 0");
    else
        qorvane_tsv_printf(results, "%llu\t%s\t%d\t%s\t%s\n", r, escaped, 1, "SELECTED", "selected for fitting");
}

static int qorvane_results_table_end(QorvaneVolumeSink* sink, QorvaneVolumeJob* job) {
    QorvaneTsvFile* results = static_cast<QorvaneTsvFile*>(sink->state);
    if (results == nullptr) return 0;
    sink->state = nullptr;
    const bool ok = qorvane_tsv_close(results);
    delete results;
    if (!ok) {
        fprintf(stderr, "Volume output error: cannot write results file: %s (%s)\n", job->results_path,
                strerror(errno));
        return 5;
    }
    return 0;
}

static void qorvane_results_table_release(QorvaneVolumeSink* sink) {
    QorvaneTsvFile* results = static_cast<QorvaneTsvFile*>(sink->state);
    if (results == nullptr) return;
    fclose(results->f);
    delete results;
    sink->state = nullptr;
}

void qorvane_volume_results_table_sink(QorvaneVolumeSink* sink) {
    *sink = QorvaneVolumeSink{nullptr,
                              qorvane_results_table_begin,
                              qorvane_results_table_row,
                              qorvane_results_table_end,
                              nullptr,
                              nullptr,
                              qorvane_results_table_release,
                              nullptr,
                              nullptr};
}

// ---- fit_status.tsv -----------------------------------------------------------------

// Status table of slots first .. end-1; 0, 5 (path, open, write) or 6 (empty output directory).
static int qorvane_volume_write_status_table(QorvaneVolumeSink*, QorvaneVolumeJob* job, uint32_t first, uint32_t end) {
    const QorvaneCliOptions* o = job->options;
    char path[1024];
    if (o->output_dir[0] == '\0') {
        fprintf(stderr, "Volume output error: cannot build fit_status.tsv path.\n");
        return 6;
    }
    if (qorvane_join_path(path, o->output_dir, "fit_status.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build fit_status.tsv path.\n");
        return 5;
    }
    QorvaneTsvFile t = {fopen(path, "w"), true};
    if (t.f == nullptr) {
        fprintf(stderr, "Volume output error: cannot open fit status file: %s\n", path);
        return 5;
    }
    qorvane_tsv_printf(&t, "slot\tvoxel_id\tinput_file\tfit_status\tmessage\n");
    for (uint32_t s = first; s < end && t.ok; ++s) {
        char id[4 * QORVANE_VOXEL_ID_SIZE], message[4 * QORVANE_STATUS_MESSAGE_SIZE];
        qorvane_tsv_escape(id, sizeof id, job->slots[s].voxel_id);
        qorvane_tsv_escape(message, sizeof message,
                           job->slots[s].message[0] != '\0' ? job->slots[s].message : "no status message");
        qorvane_tsv_printf(&t, "%u\t%s\t%s\t%s\t%s\n", s + 1, id, job->slots[s].input_name,
                           qorvane_status_or_unknown(job, s), message);
    }
    if (!qorvane_tsv_close(&t)) {
        fprintf(stderr, "Volume output error: cannot write fit status file: %s (%s)\n", path, strerror(errno));
        return 5;
    }
    fprintf(stderr, "Volume mode: fit status written: %s\n", path);
    return 0;
}

void qorvane_volume_status_table_sink(QorvaneVolumeSink* sink) {
    *sink = QorvaneVolumeSink{nullptr, nullptr, nullptr, nullptr, nullptr, qorvane_volume_write_status_table,
                              nullptr, nullptr, nullptr};
}

// ---- outcomes and the shard record --------------------------------------------------

bool qorvane_volume_results_written(const QorvaneVolumeJob* job, uint32_t s) {
    return strcmp(job->slots[s].status, "FIT_OK") == 0 || strcmp(job->slots[s].status, "FIT_NOT_CONVERGED") == 0;
}

// The range record of a --voxel-range job (see docs/qorvane.md); written last, through a
// temporary and a rename, so that a present record always describes a finished run.
int qorvane_volume_write_shard_record(const QorvaneVolumeJob* job, uint32_t first, uint32_t end,
                                      unsigned long long records, int complete, int exit_code) {
    const QorvaneCliOptions* o = job->options;
    char path[1024], temp[1100];
    if (qorvane_join_path(path, o->output_dir, kQorvaneShardFile) != 0) {
        fprintf(stderr, "Volume output error: cannot build %s path.\n", kQorvaneShardFile);
        return 5;
    }
    snprintf(temp, sizeof temp, "%s.part%ld", path, (long)getpid());
    QorvaneTsvFile t = {fopen(temp, "w"), true};
    if (t.f == nullptr) {
        fprintf(stderr, "Volume output error: cannot open shard record: %s\n", temp);
        return 5;
    }
    char input[4096], par[4096];
    qorvane_tsv_escape(input, sizeof input, o->input);
    qorvane_tsv_escape(par, sizeof par, o->parameter_file);
    qorvane_tsv_printf(&t,
                       "qorvane_shard\t1\nfirst\t%u\ncount\t%u\nslots\t%u\nrecords\t%llu\ncomplete\t%d\nexit_code\t%d\n"
                       "input_volume\t%s\nparameter_file\t%s\n",
                       first, end - first, job->slot_count(), records, complete, exit_code, input, par);
    if (!qorvane_tsv_close(&t) || rename(temp, path) != 0) {
        fprintf(stderr, "Volume output error: cannot write shard record: %s\n", path);
        remove(temp);
        return 5;
    }
    return 0;
}
