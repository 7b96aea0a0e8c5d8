// Reading a QORVVOL1 volume: the 32-byte header with its checks, the records one by one,
// the fit flag and voxel id of a record, and the non-finite samples of a record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum {
    QORVVOL_HEADER_BYTES = 32,
    QORVVOL_MAX_ID_BYTES = 4096,
    // 8 MiB of samples per record; far above any spectrum the fitter can take
    QORVVOL_MAX_POINTS = 1 << 20,
};

struct QorvvolHeader {
    uint32_t ap, n1, n2, n3, id_bytes, sample_fmt;
    unsigned long long total_records;  // n1 * n2 * n3
    unsigned long long record_bytes;   // id_bytes + 8 * ap
};

// Reads the header from the start of `in`, a file of `file_size` bytes, and checks it:
// non-zero sizes, ap at most QORVVOL_MAX_POINTS, id_bytes 1..4096, sample_fmt 1, and
// records that the file really holds (so nothing is allocated for data that is not
// there). Prints the "QORVVOL read error: ..." line and returns 2 on a fault, else 0.
int qorvvol_read_header(FILE* in, unsigned long long file_size, QorvvolHeader* h);

// Reads record `r` (the next one in the stream): its id text into `id` (id_bytes + 1
// bytes, zero-terminated) and its 8*ap sample bytes. Returns 0, or 2 after the read error.
int qorvvol_read_record(FILE* in, const QorvvolHeader* h, unsigned long long r, char* id, unsigned char* samples);

// Fit flag and voxel id of an id text: not selected only when the text after the last
// '|' is exactly "0"; the voxel id is the text before the last '|' (all of it without
// one), cut to size - 1 characters. Returns the selection.
bool qorvvol_parse_id(const char* id, char* voxel_id, size_t size);

// Number of NaN or infinite floats among the 2*ap little-endian floats of a record.
unsigned long long qorvvol_count_nonfinite(const unsigned char* samples, uint32_t ap);
