// Volume mode of qorvane_pthreads.
#include "qorvane_volume.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fitcontrol_new.h"
#include "qfile.h"
#include "qmemfile.h"
#include "qorvane_context.h"
#include "qorvane_minimize.h"
#include "qorvane_single.h"
#include "qorvvol_reader.h"

char g_volume_selected_voxel_ids[QORVANE_VOLUME_SLOTS][QORVANE_VOXEL_ID_SIZE];
char g_volume_selected_input_names[QORVANE_VOLUME_SLOTS][QORVANE_INPUT_NAME_SIZE];
char g_volume_fit_status[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_WORD_SIZE];
char g_volume_fit_message[QORVANE_VOLUME_SLOTS][QORVANE_STATUS_MESSAGE_SIZE];
char g_volume_file_ids[QORVANE_VOLUME_SLOTS][QORVANE_FILE_ID_SIZE];
uint32_t g_volume_selected_voxel_count = 0;
uint32_t g_volume_requested_max_voxels = 0;
std::atomic<unsigned> g_volume_numerical_failure_count{0};
double g_volume_progress_interval_s = 5.0;

// Slots whose spectrum was written to the work directory by this job.
static unsigned char g_volume_slot_extracted[QORVANE_VOLUME_SLOTS];
// Record of the volume that holds each slot's spectrum.
static unsigned long long g_volume_slot_record[QORVANE_VOLUME_SLOTS];

// The volume the fits read their spectra from when these are handed to them in memory (the
// default; --keep-intermediate-files extracts them to the work directory instead). Set
// before the workers start and only read by them; pread on the descriptor needs no lock.
struct QorvaneVolumeSource {
    int fd;
    unsigned long long record_bytes;
    uint32_t id_bytes, ap;
};
static QorvaneVolumeSource g_volume_source = {-1, 0, 0, 0};

// A job clears only the table rows of the slots it assigns (the tables are 77 MB).
static void qorvane_volume_clear_slot(uint32_t slot) {
    memset(g_volume_selected_voxel_ids[slot], 0, sizeof g_volume_selected_voxel_ids[slot]);
    memset(g_volume_selected_input_names[slot], 0, sizeof g_volume_selected_input_names[slot]);
    memset(g_volume_fit_status[slot], 0, sizeof g_volume_fit_status[slot]);
    memset(g_volume_fit_message[slot], 0, sizeof g_volume_fit_message[slot]);
    memset(g_volume_file_ids[slot], 0, sizeof g_volume_file_ids[slot]);
    g_volume_slot_extracted[slot] = 0;
    g_volume_slot_record[slot] = 0;
}

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
    for (; voxel_id[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = (unsigned char)voxel_id[i];
        bool bad = c == '/' || c == '\\' || c == '~' || c < 0x20 || c == 0x7f;
        destination[i] = bad ? '_' : (char)c;
    }
    destination[i] = '\0';
}

static int qorvane_cmp_slots_by_file_id(const void* a, const void* b) {
    uint32_t x = *static_cast<const uint32_t*>(a), y = *static_cast<const uint32_t*>(b);
    int c = strcmp(g_volume_file_ids[x], g_volume_file_ids[y]);
    if (c != 0) return c;
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Cleaned ids never contain '~', so "<cleaned>~<slot + 1>" cannot meet another slot's name.
void qorvane_volume_assign_file_ids(uint32_t count) {
    static uint32_t order[QORVANE_VOLUME_SLOTS];
    if (count > QORVANE_VOLUME_SLOTS) count = QORVANE_VOLUME_SLOTS;
    for (uint32_t s = 0; s < count; ++s) {
        qorvane_volume_file_safe_id(g_volume_file_ids[s], QORVANE_FILE_ID_BASE + 1, g_volume_selected_voxel_ids[s]);
        order[s] = s;
    }
    qsort(order, count, sizeof order[0], qorvane_cmp_slots_by_file_id);
    uint32_t leader = 0;
    for (uint32_t i = 1; i < count; ++i) {
        if (strcmp(g_volume_file_ids[order[i]], g_volume_file_ids[order[leader]]) != 0) {
            leader = i;
            continue;
        }
        char* name = g_volume_file_ids[order[i]];
        size_t l = strlen(name);
        snprintf(name + l, QORVANE_FILE_ID_SIZE - l, "~%u", order[i] + 1);
    }
    for (uint32_t s = 0; s < count; ++s) {
        char plain[QORVANE_FILE_ID_SIZE];
        qorvane_volume_file_safe_id(plain, QORVANE_FILE_ID_BASE + 1, g_volume_selected_voxel_ids[s]);
        if (strcmp(plain, g_volume_file_ids[s]) != 0)
            fprintf(stderr,
                    "Volume mode: slot=%u shares its cleaned voxel id with an earlier slot; its results are named "
                    "voxel_%s.<ext>\n",
                    s + 1, g_volume_file_ids[s]);
    }
}

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

static void qorvane_result_stem(char* stem, size_t size, const char* input) {
    snprintf(stem, size, "%s", input);
    size_t l = strlen(stem);
    if (l > 4 && strcmp(stem + l - 4, ".bin") == 0) stem[l - 4] = '\0';
}

// Reads slot's spectrum (8 * ap bytes) from the volume into `samples`; 0, or 2 on a read error.
static int qorvane_volume_read_samples(uint32_t slot, std::vector<unsigned char>* samples) {
    const QorvaneVolumeSource& src = g_volume_source;
    const size_t want = (size_t)8 * src.ap;
    samples->resize(want);
    if (src.fd < 0) return 2;
    off_t at = (off_t)(QORVVOL_HEADER_BYTES + g_volume_slot_record[slot] * src.record_bytes + src.id_bytes);
    size_t got = 0;
    while (got < want) {
        ssize_t r = pread(src.fd, samples->data() + got, want - got, at + (off_t)got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 2;
        got += (size_t)r;
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

// A worker's kept spectrum buffer and result-file store (one per thread, reused by its fits).
struct QorvaneVoxelMemory {
    std::vector<unsigned char> samples;
    QorvaneMemoryFiles outputs;
};
static thread_local QorvaneVoxelMemory t_voxel_memory;

int qorvane_fit_one_extracted_voxel(const QorvaneCliOptions* options, uint32_t slot) {
    if (options == nullptr || slot >= g_volume_selected_voxel_count) {
        if (slot < QORVANE_VOLUME_SLOTS)
            qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "invalid single-voxel request");
        fprintf(stderr, "Volume fit error: invalid single-voxel request.\n");
        return 6;
    }
    const char* voxel_id = g_volume_selected_voxel_ids[slot];
    const char* input_name = g_volume_selected_input_names[slot];
    // An empty voxel id is a valid, selected record (its results are named "voxel_.<ext>");
    // only a slot without an extracted input is an internal fault.
    if (input_name[0] == '\0') {
        qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "missing voxel id/input name");
        fprintf(stderr, "Volume fit error: missing voxel id/input name for slot %u.\n", slot);
        return 6;
    }
    QorvaneCliOptions local = *options;
    qorvane_volume_set_status(slot, "RUNNING", "fit running");
    char message[QORVANE_STATUS_MESSAGE_SIZE];
    // The spectrum goes to the fit in memory and the fit's files stay there until the kept
    // ones are written to the output directory; with --keep-intermediate-files both go
    // through the work directory. The files' contents are the same either way.
    const bool in_memory = !local.keep_intermediate_files;
    QorvaneVoxelMemory& mem = t_voxel_memory;
    mem.outputs.clear();

    // Input validation.
    int vrc = 0;
    char path[1024];
    unsigned long long count = 0, zeros = 0, nonfinite = 0;
    if (local.work_dir[0] == '\0' || input_name[0] == '\0') {
        vrc = 6;
    } else if (qorvane_join_path(path, local.work_dir, input_name) != 0) {
        vrc = 5;
    } else if (in_memory) {
        vrc = qorvane_volume_read_samples(slot, &mem.samples);
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

    // The fit itself, with the four-word command-line record; its verbose fit-control file
    // goes into the work directory under the voxel's stem, never beside the parameter file.
    char stem[QORVANE_INPUT_NAME_SIZE];
    qorvane_result_stem(stem, sizeof stem, input_name);
    char verbose_stem[1024];
    if (qorvane_join_path(verbose_stem, local.work_dir, stem) != 0) {
        qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "cannot build fitted spectrum path");
        fprintf(stderr, "Volume fit validation error: cannot build fit path for slot=%u voxel_id=%s.\n", slot,
                voxel_id);
        return 5;
    }
    char record[QORVANE_CMDLINE_RECORD_SIZE];
    snprintf(record, sizeof record, "qorvane_pthreads.exe\t%s\t%s\t%s\t", local.work_dir, input_name,
             local.parameter_file);
    QorvaneSingleFitOutcome outcome;
    const QorvaneFitMemoryIo io = {mem.samples.data(), mem.samples.size(), &mem.outputs};
    int frc = qorvane_single_fit_run_memory(local.work_dir, input_name, local.parameter_file, record, verbose_stem,
                                            in_memory ? &io : nullptr, &outcome);
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
    char fit_name[160];
    snprintf(fit_name, sizeof fit_name, "%s.fit", stem);
    if (qorvane_join_path(path, local.work_dir, fit_name) != 0) {
        qorvane_volume_set_status(slot, "FIT_INTERNAL_ERROR", "cannot build fitted spectrum path");
        fprintf(stderr, "Volume fit validation error: cannot build fit path for slot=%u voxel_id=%s.\n", slot,
                voxel_id);
        return 5;
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
        // (in memory nothing reached the work directory)
        mem.outputs.clear();
        return 0;
    }

    // Copy the results under the slot's file id (cleaned, unique within the job).
    int crc = 0;
    const char* file_id = g_volume_file_ids[slot];
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
                const QorvaneMemoryFile* f = mem.outputs.find_name(name);
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
    mem.outputs.clear();
    if (crc != 0) {
        snprintf(message, sizeof message, "output copy returned rc=%d", crc);
        qorvane_volume_set_status(slot, "FIT_OUTPUT_COPY_ERROR", message);
        fprintf(stderr, "Volume fit error: output copy failed for slot=%u voxel_id=%s rc=%d.\n", slot, voxel_id, crc);
        return crc;
    }
    if (outcome.not_converged)
        qorvane_volume_set_status(slot, "FIT_NOT_CONVERGED",
                                  "fit imported artifacts written; iteration limit reached before convergence");
    else
        qorvane_volume_set_status(slot, "FIT_OK", "fit imported artifacts written");
    return 0;
}

static const char* qorvane_status_or_unknown(uint32_t slot) {
    return g_volume_fit_status[slot][0] != '\0' ? g_volume_fit_status[slot] : "UNKNOWN";
}

// ---- progress on standard error ------------------------------------------------------

static struct timespec g_volume_progress_start;
static double g_volume_progress_last = 0.0;

static double qorvane_seconds_since(const struct timespec* t0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - t0->tv_sec) + 1e-9 * (double)(now.tv_nsec - t0->tv_nsec);
}

static void qorvane_format_duration(char* out, size_t size, double seconds) {
    unsigned long s = seconds > 0.0 ? (unsigned long)(seconds + 0.5) : 0;
    if (s >= 3600)
        snprintf(out, size, "%luh%02lum%02lus", s / 3600, (s / 60) % 60, s % 60);
    else if (s >= 60)
        snprintf(out, size, "%lum%02lus", s / 60, s % 60);
    else
        snprintf(out, size, "%lus", s);
}

static void qorvane_volume_progress_start() {
    clock_gettime(CLOCK_MONOTONIC, &g_volume_progress_start);
    g_volume_progress_last = 0.0;
}

// Called with the queue's mutex held (or from the only fitting thread).
static void qorvane_volume_progress_note(uint32_t done, uint32_t total) {
    double elapsed = qorvane_seconds_since(&g_volume_progress_start);
    if (done < total && elapsed - g_volume_progress_last < g_volume_progress_interval_s) return;
    g_volume_progress_last = elapsed;
    double left = done > 0 ? elapsed / done * (double)(total - done) : 0.0;
    char e[32], l[32];
    qorvane_format_duration(e, sizeof e, elapsed);
    qorvane_format_duration(l, sizeof l, left);
    fprintf(stderr, "Volume progress: %u of %u voxel(s) done, %s elapsed, about %s left\n", done, total, e, l);
}

void* qorvane_volume_worker_main(void* arg) {
    QorvaneVolumeWorkQueue* q = static_cast<QorvaneVolumeWorkQueue*>(arg);
    pthread_mutex_lock(&q->mutex);
    for (;;) {
        if (q->error != 0 || q->next_slot >= q->end_slot) break;
        uint32_t slot = q->next_slot++;
        pthread_mutex_unlock(&q->mutex);

        int rc = qorvane_fit_one_extracted_voxel(q->options, slot);

        pthread_mutex_lock(&q->mutex);
        ++q->completed;
        char id[4 * QORVANE_VOXEL_ID_SIZE];  // escaped as in the tables: one line of six fields
        qorvane_tsv_escape(id, sizeof id, g_volume_selected_voxel_ids[slot]);
        printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", q->completed, q->total, id, qorvane_status_or_unknown(slot));
        fflush(stdout);
        qorvane_volume_progress_note(q->completed, q->total);
        if (rc != 0) {
            if (q->error == 0) q->error = rc;
            break;
        }
    }
    pthread_mutex_unlock(&q->mutex);
    return nullptr;
}

// Fits slots first .. end-1; returns 0 or the status that stopped the job.
static int qorvane_volume_fit_slots(const QorvaneCliOptions* o, uint32_t first, uint32_t end) {
    uint32_t count = end - first;
    qorvane_volume_progress_start();
    if (o->threads < 2) {
        fprintf(stderr, "Volume mode: starting sequential selected-voxel fit.\n");
        fprintf(stderr, "Volume mode: fitting %u selected voxel(s) sequentially.\n", count);
        for (uint32_t s = first; s < end; ++s) {
            int rc = qorvane_fit_one_extracted_voxel(o, s);
            char id[4 * QORVANE_VOXEL_ID_SIZE];  // escaped as in the tables: one line of six fields
            qorvane_tsv_escape(id, sizeof id, g_volume_selected_voxel_ids[s]);
            printf("QORVANE_PROGRESS\tfit\t%u\t%u\t%s\t%s\n", s - first + 1, count, id, qorvane_status_or_unknown(s));
            fflush(stdout);
            qorvane_volume_progress_note(s - first + 1, count);
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
    queue.next_slot = first;
    queue.end_slot = end;
    queue.total = count;
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

// Status table of slots first .. end-1; 0, 5 (path, open, write) or 6 (empty output directory).
static int qorvane_volume_write_status_table(const QorvaneCliOptions* o, uint32_t first, uint32_t end) {
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
        qorvane_tsv_escape(id, sizeof id, g_volume_selected_voxel_ids[s]);
        qorvane_tsv_escape(message, sizeof message,
                           g_volume_fit_message[s][0] != '\0' ? g_volume_fit_message[s] : "no status message");
        qorvane_tsv_printf(&t, "%u\t%s\t%s\t%s\t%s\n", s + 1, id, g_volume_selected_input_names[s],
                           qorvane_status_or_unknown(s), message);
    }
    if (!qorvane_tsv_close(&t)) {
        fprintf(stderr, "Volume output error: cannot write fit status file: %s (%s)\n", path, strerror(errno));
        return 5;
    }
    fprintf(stderr, "Volume mode: fit status written: %s\n", path);
    return 0;
}

// Reads the parameter file once, as each voxel's fit will, and checks it against the
// volume: readable, consistent, plain spectra, points per spectrum. 0, or 3 with the
// reason in `reason` (6 when no fit context can be allocated).
static int qorvane_volume_check_parameter_file(const char* path, uint32_t ap, char* reason, size_t size) {
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

// A slot whose results were copied: FIT_OK, or FIT_NOT_CONVERGED (written, but its fit
// stopped at the iteration limit).
static bool qorvane_volume_results_written(uint32_t s) {
    return strcmp(g_volume_fit_status[s], "FIT_OK") == 0 || strcmp(g_volume_fit_status[s], "FIT_NOT_CONVERGED") == 0;
}

// Removes the intermediate files of every extracted slot whose results were not written (the
// others were cleaned up after their copy). 0, or 5 when a file could not be removed.
static int qorvane_volume_sweep(const QorvaneCliOptions* o) {
    if (o->keep_intermediate_files) return 0;
    int rc = 0;
    for (uint32_t s = 0; s < g_volume_selected_voxel_count; ++s) {
        if (!g_volume_slot_extracted[s] || qorvane_volume_results_written(s)) continue;
        char stem[QORVANE_INPUT_NAME_SIZE];
        qorvane_result_stem(stem, sizeof stem, g_volume_selected_input_names[s]);
        if (qorvane_remove_named_outputs(o->work_dir, stem) != 0) rc = 5;
    }
    return rc;
}

static const char kShardFile[] = "shard_range.tsv";

// The range record of a --voxel-range job (see docs/qorvane.md); written last, through a
// temporary and a rename, so that a present record always describes a finished run.
static int qorvane_volume_write_shard_record(const QorvaneCliOptions* o, uint32_t first, uint32_t end,
                                             unsigned long long records, int complete, int exit_code) {
    char path[1024], temp[1100];
    if (qorvane_join_path(path, o->output_dir, kShardFile) != 0) {
        fprintf(stderr, "Volume output error: cannot build %s path.\n", kShardFile);
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
                       first, end - first, g_volume_selected_voxel_count, records, complete, exit_code, input, par);
    if (!qorvane_tsv_close(&t) || rename(temp, path) != 0) {
        fprintf(stderr, "Volume output error: cannot write shard record: %s\n", path);
        remove(temp);
        return 5;
    }
    return 0;
}

// Counts over slots first .. end-1: fitted (results written), all-zero skips, and the rest (not fitted).
static void qorvane_volume_count_outcomes(uint32_t first, uint32_t end, uint32_t* ok, uint32_t* zero,
                                          uint32_t* failed) {
    *ok = *zero = *failed = 0;
    for (uint32_t s = first; s < end; ++s) {
        if (qorvane_volume_results_written(s))
            ++*ok;
        else if (strcmp(g_volume_fit_status[s], "FIT_SKIPPED_ZERO_INPUT") == 0)
            ++*zero;
        else
            ++*failed;
    }
}

// Closes the volume descriptor the fits read from when a job ends on any path.
struct QorvaneVolumeSourceGuard {
    int fd = -1;
    QorvaneVolumeSourceGuard() = default;
    QorvaneVolumeSourceGuard(const QorvaneVolumeSourceGuard&) = delete;
    QorvaneVolumeSourceGuard& operator=(const QorvaneVolumeSourceGuard&) = delete;
    ~QorvaneVolumeSourceGuard() {
        if (fd >= 0) close(fd);
        g_volume_source.fd = -1;
    }
};

// The job's messages go to standard error; its standard-output lines are the scan
// summary and the progress lines, which a calling program reads.
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
    if (o->has_voxel_range) {
        // A record left by an earlier run must not describe this one.
        char path[1024];
        if (qorvane_join_path(path, o->output_dir, kShardFile) == 0) remove(path);
    }
    if (o->work_dir[0] != '\0' && qorvane_make_dir(o->work_dir) != 0) {
        fprintf(stderr, "Volume output error: cannot create work directory: %s\n", o->work_dir);
        fclose(in);
        return 5;
    }
    char results_path[1024];
    if (qorvane_join_path(results_path, o->output_dir, "fit_results.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build fit_results.tsv path.\n");
        fclose(in);
        return 5;
    }
    QorvaneTsvFile results = {fopen(results_path, "w"), true};
    if (results.f == nullptr) {
        fprintf(stderr, "Volume output error: cannot open results file: %s\n", results_path);
        fclose(in);
        return 5;
    }
    qorvane_tsv_printf(&results, "linear_index\tvoxel_id\tfit\tstatus\tmessage\n");

    int rc = 0;
    int par_rc = 0;
    char par_reason[512] = "";
    char* id_buffer = nullptr;
    unsigned char* samples = nullptr;
    unsigned long long total = 0, n_fit1 = 0, n_fit0 = 0;
    // Slots to fit: the whole selection, or the --voxel-range part of it.
    const unsigned long long range_first = o->has_voxel_range ? o->range_first : 0;
    const unsigned long long range_end =
        o->has_voxel_range ? range_first + o->range_count : (unsigned long long)QORVANE_VOLUME_SLOTS;
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
        g_volume_selected_voxel_count = 0;  // each slot's rows are cleared when it is assigned
        g_volume_source.record_bytes = h.record_bytes;
        g_volume_source.id_bytes = h.id_bytes;
        g_volume_source.ap = ap;

        // The parameter file is checked once, before any voxel is extracted; a refused one
        // still lets the scan fill both tables.
        par_rc = qorvane_volume_check_parameter_file(o->parameter_file, ap, par_reason, sizeof par_reason);
        if (par_rc != 0)
            fprintf(stderr, "Volume mode error: parameter file refused: %s: %s\n", o->parameter_file, par_reason);

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
            char escaped[4 * QORVANE_VOXEL_ID_SIZE];
            qorvane_tsv_escape(escaped, sizeof escaped, voxel_id);
            if (!selected) {
                qorvane_tsv_printf(&results, "%llu\t%s\t%d\t%s\t%s\n", r, escaped, 0, "SKIPPED", "fit flag is 0");
                ++n_fit0;
                continue;
            }
            qorvane_tsv_printf(&results, "%llu\t%s\t%d\t%s\t%s\n", r, escaped, 1, "SELECTED", "selected for fitting");
            ++n_fit1;
            if (g_volume_selected_voxel_count >= g_volume_requested_max_voxels) continue;
            uint32_t slot = g_volume_selected_voxel_count++;
            qorvane_volume_clear_slot(slot);
            g_volume_slot_record[slot] = r;
            memcpy(g_volume_selected_voxel_ids[slot], voxel_id, id_len + 1);
            snprintf(g_volume_selected_input_names[slot], QORVANE_INPUT_NAME_SIZE, "volume_voxel_%03u.bin", slot + 1);
            qorvane_volume_set_status(slot, "PENDING", "selected for fitting");
            if (par_rc != 0 || slot < range_first || slot >= range_end) continue;
            char path[1024];
            if (o->work_dir[0] == '\0' ||
                qorvane_join_path(path, o->work_dir, g_volume_selected_input_names[slot]) != 0) {
                fprintf(stderr, "Volume extract error: cannot build path for %s.\n",
                        g_volume_selected_input_names[slot]);
                rc = 5;
                break;
            }
            if (!o->keep_intermediate_files) continue;  // read from the volume by its fit
            FILE* out = fopen(path, "wb");
            if (out == nullptr) {
                fprintf(stderr, "Volume extract error: cannot open output file: %s\n", path);
                rc = 5;
                break;
            }
            g_volume_slot_extracted[slot] = 1;
            bool ok = fwrite(samples, 1, (size_t)8 * ap, out) == (size_t)8 * ap;
            if (fclose(out) != 0) ok = false;
            if (!ok) {
                fprintf(stderr, "Volume extract error: cannot write output file: %s\n", path);
                rc = 5;
                break;
            }
        }
    } while (false);
    free(id_buffer);
    free(samples);
    // The fits read their spectra from the volume through a descriptor of their own,
    // closed when the job ends.
    QorvaneVolumeSourceGuard source;
    if (rc == 0 && !o->keep_intermediate_files) {
        source.fd = dup(fileno(in));
        if (source.fd < 0) {
            fprintf(stderr, "QORVVOL read error: cannot keep the input volume open: %s\n", strerror(errno));
            rc = 6;
        }
    }
    g_volume_source.fd = source.fd;
    fclose(in);
    if (!qorvane_tsv_close(&results)) {
        fprintf(stderr, "Volume output error: cannot write results file: %s (%s)\n", results_path, strerror(errno));
        if (rc == 0) rc = 5;
    }
    if (rc != 0) {
        qorvane_volume_sweep(o);
        return rc;
    }

    printf("QORVVOL scan complete.\n");
    printf("QORVVOL records total: %llu\n", total);
    printf("QORVVOL records fit=1: %llu\n", n_fit1);
    printf("QORVVOL records fit=0: %llu\n", n_fit0);
    printf("QORVVOL results written: %s\n", results_path);
    const uint32_t slots = g_volume_selected_voxel_count;
    const uint32_t first = range_first < slots ? (uint32_t)range_first : slots;
    const uint32_t end = range_end < slots ? (uint32_t)range_end : slots;
    if (o->has_voxel_range)
        fprintf(stderr, "Volume mode: voxel range %u:%u of %u selected voxel(s): fitting slots %u..%u.\n",
                o->range_first, o->range_count, slots, first + 1, end);
    if (n_fit1 == 0) {
        fprintf(stderr, "Volume mode: no selected voxel found; no fit performed.\n");
        if (o->has_voxel_range) return qorvane_volume_write_shard_record(o, 0, 0, total, 1, 0);
        return 0;
    }
    qorvane_volume_assign_file_ids(slots);

    int fit_rc = 0;
    if (par_rc != 0) {
        char message[QORVANE_STATUS_MESSAGE_SIZE];
        snprintf(message, sizeof message, "not fitted: parameter file refused: %.200s", par_reason);
        for (uint32_t s = first; s < end; ++s) qorvane_volume_set_status(s, "FIT_ERROR", message);
        fit_rc = par_rc;
    } else {
        fit_rc = qorvane_volume_fit_slots(o, first, end);
    }
    int sweep_rc = qorvane_volume_sweep(o);
    int table_rc = qorvane_volume_write_status_table(o, first, end);

    uint32_t ok = 0, zero = 0, failed = 0;
    qorvane_volume_count_outcomes(first, end, &ok, &zero, &failed);
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
        unsigned numeric = g_volume_numerical_failure_count.load();
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
        int src = qorvane_volume_write_shard_record(o, first, end, total, complete, final_rc);
        if (final_rc == 0) final_rc = src;
    }
    return final_rc;
}
