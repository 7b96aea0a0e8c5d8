// QORVVOL1 volumes: header and records as the volume job reads them. Only what the file
// holds is allocated, the voxel id fits its table entry, and the non-finite samples the
// reader reports are exactly the NaN and infinite floats of the record.
#include "qorvane_volume.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "qfile.h"
#include "qorvvol_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write_input(data, size, "volume.qorvvol");
    FILE* in = qorvane_fopen_regular(path.c_str(), "rb");
    if (!in) fuzz::fail("cannot open the input file");
    QorvvolHeader h;
    const long long file_size = qorvane_file_size(in);
    if (file_size != (long long)size) fuzz::fail("file size %lld for %zu bytes", file_size, size);
    if (qorvvol_read_header(in, (unsigned long long)file_size, &h) != 0) {
        std::fclose(in);
        return 0;
    }
    if (h.total_records * h.record_bytes > size - QORVVOL_HEADER_BYTES)
        fuzz::fail("header accepted for %llu records of %llu bytes in a file of %zu bytes", h.total_records,
                   h.record_bytes, size);
    char* id = static_cast<char*>(std::malloc((size_t)h.id_bytes + 1));
    unsigned char* samples = static_cast<unsigned char*>(std::malloc((size_t)8 * h.ap));
    for (unsigned long long r = 0; r < h.total_records; ++r) {
        if (qorvvol_read_record(in, &h, r, id, samples) != 0) fuzz::fail("record %llu unreadable", r);
        char voxel_id[QORVANE_VOXEL_ID_SIZE];
        const bool selected = qorvvol_parse_id(id, voxel_id, sizeof voxel_id);
        if (std::strlen(voxel_id) >= QORVANE_VOXEL_ID_SIZE) fuzz::fail("voxel id too long");
        const char* bar = std::strrchr(id, '|');
        if (selected == (bar != nullptr && std::strcmp(bar + 1, "0") == 0)) fuzz::fail("fit flag of record %llu", r);
        unsigned long long bad = 0;
        for (size_t i = 0; i < (size_t)2 * h.ap; ++i) {
            float f;
            std::memcpy(&f, samples + 4 * i, 4);  // the build machines are little-endian
            if (!std::isfinite(f)) ++bad;
        }
        if (bad != qorvvol_count_nonfinite(samples, h.ap))
            fuzz::fail("record %llu: %llu non-finite floats, %llu reported", r, bad,
                       qorvvol_count_nonfinite(samples, h.ap));
    }
    std::free(id);
    std::free(samples);
    std::fclose(in);
    return 0;
}
