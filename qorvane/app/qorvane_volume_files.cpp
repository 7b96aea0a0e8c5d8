// Volume mode: the per-voxel result files. Each slot gets a file id (its voxel id made safe
// for a file name, unique within the job); the sink writes a fitted voxel's kept files as
// voxel_<file id>.<ext>; the clean-up removes a voxel's intermediate files.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "qfilecopy.h"
#include "qmemfile.h"
#include "qorvane_volume.h"
#include "qpath.h"

static const char* const kCopyExts[11] = {"fit", "res",  "cor", "err",    "fit0",       "org",
                                          "mat", "nln0", "exl", "fitres", "compact.par"};

void qorvane_volume_file_safe_id(char* destination, size_t size, const char* voxel_id) {
    if (size == 0) return;
    size_t i = 0;
    for (; voxel_id[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = (unsigned char)voxel_id[i];
        bool bad = c == '/' || c == '\\' || c == '~' || c < 0x20 || c == 0x7f;
        destination[i] = bad ? '_' : (char)c;
    }
    destination[i] = '\0';
}

// Cleaned ids never contain '~', so "<cleaned>~<slot + 1>" cannot meet another slot's name.
void qorvane_volume_assign_file_ids(QorvaneVolumeJob* job, uint32_t count) {
    if (count > job->slot_count()) count = job->slot_count();
    std::vector<uint32_t> order(count);
    for (uint32_t s = 0; s < count; ++s) {
        qorvane_volume_file_safe_id(job->slots[s].file_id, QORVANE_FILE_ID_BASE + 1, job->slots[s].voxel_id);
        order[s] = s;
    }
    // Ordered by cleaned id, then slot: a total order, so every slot after the first of its
    // cleaned id gets its suffix.
    std::sort(order.begin(), order.end(), [job](uint32_t x, uint32_t y) {
        int c = strcmp(job->slots[x].file_id, job->slots[y].file_id);
        return c != 0 ? c < 0 : x < y;
    });
    uint32_t leader = 0;
    for (uint32_t i = 1; i < count; ++i) {
        if (strcmp(job->slots[order[i]].file_id, job->slots[order[leader]].file_id) != 0) {
            leader = i;
            continue;
        }
        char* name = job->slots[order[i]].file_id;
        size_t l = strlen(name);
        snprintf(name + l, QORVANE_FILE_ID_SIZE - l, "~%u", order[i] + 1);
    }
    for (uint32_t s = 0; s < count; ++s) {
        char plain[QORVANE_FILE_ID_SIZE];
        qorvane_volume_file_safe_id(plain, QORVANE_FILE_ID_BASE + 1, job->slots[s].voxel_id);
        if (strcmp(plain, job->slots[s].file_id) != 0)
            fprintf(stderr,
                    "Volume mode: slot=%u shares its cleaned voxel id with an earlier slot; its results are named "
                    "voxel_%s.<ext>\n",
                    s + 1, job->slots[s].file_id);
    }
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
    // The fit's verbose fit-control file, kept in the work directory under the stem.
    char name[160];
    char path[1024];
    int n = snprintf(name, sizeof name, "%s_verbose.par", stem);
    if (n < 0 || n >= (int)sizeof name || qorvane_join_path(path, work_dir, name) != 0) {
        fprintf(stderr, "Volume cleanup error: cannot build path for %s.\n", "_verbose.par");
        return 5;
    }
    if (remove(path) != 0 && errno != ENOENT) {
        fprintf(stderr, "Volume cleanup error: cannot remove intermediate file: %s\n", path);
        return 5;
    }
    return 0;
}

// Writes `size` bytes to a new file `destination` (0, or 5 as a failed copy's destination).
static int qorvane_write_file_binary(const char* destination, const char* data, size_t size) {
    FILE* out = fopen(destination, "wb");
    if (out == nullptr) {
        fprintf(stderr, "Volume output copy error: cannot open destination file: %s\n", destination);
        return 5;
    }
    int rc = 0;
    if (size > 0 && fwrite(data, 1, size, out) != size) {
        fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
        rc = 5;
    }
    if (fclose(out) != 0 && rc == 0) {
        fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
        rc = 5;
    }
    return rc;
}

// Copies the kept result files of a fitted voxel under the slot's file id (cleaned, unique
// within the job): voxel_<file id>.<ext> in the output directory.
static int qorvane_voxel_files_write(QorvaneVolumeSink*, QorvaneVolumeJob* job, const QorvaneVoxelResults* results) {
    const QorvaneCliOptions& local = *job->options;
    const uint32_t slot = results->slot;
    const char* stem = results->stem;
    const bool in_memory = results->memory != nullptr;
    int crc = 0;
    const char* file_id = job->slots[slot].file_id;
    if (stem[0] == '\0') {
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
            n = snprintf(name, sizeof name, "voxel_%s.%s", file_id, ext);
            if (n < 0 || n >= (int)sizeof name || qorvane_join_path(dst, local.output_dir, name) != 0) {
                fprintf(stderr, "Volume output error: cannot build destination path for %s.\n", ext);
                crc = 5;
                break;
            }
            int r = 0;
            if (!in_memory) {
                r = qorvane_copy_file_binary(src, dst);
            } else {
                snprintf(name, sizeof name, "%s.%s", stem, ext);
                const QorvaneMemoryFile* f = results->memory->find_name(name);
                if (f == nullptr) {
                    fprintf(stderr, "Volume output copy error: cannot open source file: %s\n", src);
                    r = 2;
                } else {
                    r = qorvane_write_file_binary(dst, f->data, f->size);
                }
            }
            if (r != 0) {
                fprintf(stderr, "Volume output error: failed copying %s to %s.\n", src, dst);
                crc = r;
                break;
            }
        }
    }
    return crc;
}

void qorvane_volume_voxel_files_sink(QorvaneVolumeSink* sink) {
    *sink = QorvaneVolumeSink{nullptr, nullptr, nullptr, nullptr, qorvane_voxel_files_write,
                              nullptr, nullptr, nullptr, nullptr};
}
