#include "qorvvol_reader.h"

#include <cstring>

#include "qbinary.h"

int qorvvol_read_header(FILE* in, unsigned long long file_size, QorvvolHeader* h) {
    std::memset(h, 0, sizeof *h);
    char magic[8];
    if (std::fread(magic, 1, 8, in) != 8) {
        std::fprintf(stderr, "QORVVOL read error: cannot read magic.\n");
        return 2;
    }
    if (std::memcmp(magic, "QORVVOL1", 8) != 0) {
        std::fprintf(stderr, "QORVVOL read error: bad magic. Expected QORVVOL1.\n");
        return 2;
    }
    if (qorvvol_read_u32_le(in, &h->ap) || qorvvol_read_u32_le(in, &h->n1) || qorvvol_read_u32_le(in, &h->n2) ||
        qorvvol_read_u32_le(in, &h->n3) || qorvvol_read_u32_le(in, &h->id_bytes) ||
        qorvvol_read_u32_le(in, &h->sample_fmt)) {
        std::fprintf(stderr, "QORVVOL read error: incomplete header.\n");
        return 2;
    }
    if (h->ap == 0 || h->n1 == 0 || h->n2 == 0 || h->n3 == 0) {
        std::fprintf(stderr, "QORVVOL read error: invalid dimensions ap=%u n1=%u n2=%u n3=%u.\n", h->ap, h->n1, h->n2,
                     h->n3);
        return 2;
    }
    if (h->ap > QORVVOL_MAX_POINTS) {
        std::fprintf(stderr, "QORVVOL read error: ap=%u exceeds the limit of %u complex points per spectrum.\n", h->ap,
                     (unsigned)QORVVOL_MAX_POINTS);
        return 2;
    }
    if (h->id_bytes < 1 || h->id_bytes > QORVVOL_MAX_ID_BYTES) {
        std::fprintf(stderr, "QORVVOL read error: invalid id_bytes=%u.\n", h->id_bytes);
        return 2;
    }
    if (h->sample_fmt != 1) {
        std::fprintf(stderr, "QORVVOL read error: unsupported sample_fmt=%u.\n", h->sample_fmt);
        return 2;
    }
    unsigned long long t12 = 0;
    if (__builtin_mul_overflow((unsigned long long)h->n1, (unsigned long long)h->n2, &t12) ||
        __builtin_mul_overflow(t12, (unsigned long long)h->n3, &h->total_records) || h->total_records == 0) {
        std::fprintf(stderr, "QORVVOL read error: invalid computed volume size.\n");
        return 2;
    }
    h->record_bytes = 8ull * h->ap + h->id_bytes;
    // record_bytes > 0, so the division cannot overflow what the file holds
    const unsigned long long body = file_size > QORVVOL_HEADER_BYTES ? file_size - QORVVOL_HEADER_BYTES : 0;
    if (h->total_records > body / h->record_bytes) {
        std::fprintf(stderr,
                     "QORVVOL read error: file holds %llu bytes of records; the header asks for %llu records of %llu "
                     "bytes.\n",
                     body, h->total_records, h->record_bytes);
        return 2;
    }
    return 0;
}

int qorvvol_read_record(FILE* in, const QorvvolHeader* h, unsigned long long r, char* id, unsigned char* samples) {
    if (std::fread(id, 1, h->id_bytes, in) != h->id_bytes) {
        std::fprintf(stderr, "QORVVOL read error: cannot read ID for record %llu.\n", r);
        return 2;
    }
    id[h->id_bytes] = '\0';
    const size_t n = (size_t)8 * h->ap;
    if (std::fread(samples, 1, n, in) != n) {
        std::fprintf(stderr, "QORVVOL read error: cannot read spectral data for record %llu.\n", r);
        return 2;
    }
    return 0;
}

bool qorvvol_parse_id(const char* id, char* voxel_id, size_t size) {
    const char* bar = std::strrchr(id, '|');
    const bool selected = !(bar != nullptr && std::strcmp(bar + 1, "0") == 0);
    size_t len = bar != nullptr ? (size_t)(bar - id) : std::strlen(id);
    if (size == 0) return selected;
    if (len > size - 1) len = size - 1;
    std::memcpy(voxel_id, id, len);
    voxel_id[len] = '\0';
    return selected;
}

unsigned long long qorvvol_count_nonfinite(const unsigned char* samples, uint32_t ap) {
    unsigned long long n = 0;
    for (size_t i = 0; i < (size_t)8 * ap; i += 4) {
        const uint32_t bits = (uint32_t)samples[i] | ((uint32_t)samples[i + 1] << 8) |
                              ((uint32_t)samples[i + 2] << 16) | ((uint32_t)samples[i + 3] << 24);
        if ((bits & 0x7f800000u) == 0x7f800000u) ++n;
    }
    return n;
}
