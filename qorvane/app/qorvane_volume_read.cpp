// Volume mode: the QORVVOL1 source of voxel spectra. The job scans the records once through
// a stream; the fits then read their spectra by record through a descriptor of their own
// (pread needs no lock), closed with the source.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qfile.h"
#include "qorvane_volume_job.h"
#include "qorvvol_reader.h"

namespace {

struct QorvvolSource {
    FILE* in;
    int fd;
    QorvvolHeader h;
    char* id_buffer;
};

QorvvolSource* qorvvol_state(const QorvaneVoxelSource* source) { return static_cast<QorvvolSource*>(source->state); }

int qorvvol_open_header(QorvaneVoxelSource* source) {
    QorvvolSource* s = qorvvol_state(source);
    QorvvolHeader& h = s->h;
    const long long file_size = qorvane_file_size(s->in);
    int rc = qorvvol_read_header(s->in, file_size > 0 ? (unsigned long long)file_size : 0, &h);
    if (rc != 0) return rc;
    fprintf(stderr,
            "QORVVOL header: ap=%u n1=%u n2=%u n3=%u id_bytes=%u sample_fmt=%u total_records=%llu record_bytes=%llu\n",
            h.ap, h.n1, h.n2, h.n3, h.id_bytes, h.sample_fmt, h.total_records, h.record_bytes);
    source->points = h.ap;
    source->voxels = h.total_records;
    return 0;
}

int qorvvol_begin_scan(QorvaneVoxelSource* source) {
    QorvvolSource* s = qorvvol_state(source);
    s->id_buffer = static_cast<char*>(malloc((size_t)s->h.id_bytes + 1));
    if (s->id_buffer == nullptr) {
        fprintf(stderr, "QORVVOL read error: cannot allocate ID buffer.\n");
        return 6;
    }
    return 0;
}

int qorvvol_scan_next(QorvaneVoxelSource* source, unsigned long long r, char* voxel_id, size_t id_size, bool* selected,
                      unsigned char* samples) {
    QorvvolSource* s = qorvvol_state(source);
    int rc = qorvvol_read_record(s->in, &s->h, r, s->id_buffer, samples);
    if (rc != 0) return rc;
    *selected = qorvvol_parse_id(s->id_buffer, voxel_id, id_size);
    const unsigned long long nonfinite = qorvvol_count_nonfinite(samples, s->h.ap);
    if (nonfinite > 0)
        fprintf(stderr, "QORVVOL read warning: record %llu voxel_id=%s holds %llu non-finite sample float(s).\n", r,
                voxel_id, nonfinite);
    return 0;
}

int qorvvol_end_scan(QorvaneVoxelSource* source, bool fits_read) {
    QorvvolSource* s = qorvvol_state(source);
    free(s->id_buffer);
    s->id_buffer = nullptr;
    int rc = 0;
    if (fits_read) {
        s->fd = dup(fileno(s->in));
        if (s->fd < 0) {
            fprintf(stderr, "QORVVOL read error: cannot keep the input volume open: %s\n", strerror(errno));
            rc = 6;
        }
    }
    fclose(s->in);
    s->in = nullptr;
    return rc;
}

int qorvvol_read_spectrum(const QorvaneVoxelSource* source, unsigned long long index, unsigned char* samples) {
    const QorvvolSource* s = qorvvol_state(source);
    const size_t want = (size_t)8 * s->h.ap;
    if (s->fd < 0) return 2;
    off_t at = (off_t)(QORVVOL_HEADER_BYTES + index * s->h.record_bytes + s->h.id_bytes);
    size_t got = 0;
    while (got < want) {
        ssize_t r = pread(s->fd, samples + got, want - got, at + (off_t)got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 2;
        got += (size_t)r;
    }
    return 0;
}

void qorvvol_close(QorvaneVoxelSource* source) {
    QorvvolSource* s = qorvvol_state(source);
    if (s == nullptr) return;
    free(s->id_buffer);
    if (s->in != nullptr) fclose(s->in);
    if (s->fd >= 0) close(s->fd);
    delete s;
    source->state = nullptr;
}

}  // namespace

int qorvane_volume_source_open_qorvvol(QorvaneVoxelSource* source, const char* path) {
    *source = QorvaneVoxelSource{nullptr,
                                 0,
                                 0,
                                 qorvvol_open_header,
                                 qorvvol_begin_scan,
                                 qorvvol_scan_next,
                                 qorvvol_end_scan,
                                 qorvvol_read_spectrum,
                                 qorvvol_close};
    source->state = new QorvvolSource{nullptr, -1, QorvvolHeader(), nullptr};
    fprintf(stderr, "Opening QORVVOL input: %s\n", path);
    QorvvolSource* s = qorvvol_state(source);
    s->in = qorvane_fopen_regular(path, "rb");
    if (s->in == nullptr) {
        fprintf(stderr, "QORVVOL read error: cannot open input volume: %s\n", path);
        return 2;
    }
    return 0;
}
