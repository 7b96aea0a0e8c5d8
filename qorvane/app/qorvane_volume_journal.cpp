// Volume mode: the job journal behind --resume. The output directory holds "job.journal": a
// header frame that names what the results depend on (options, the parameter file's and the
// mask's contents, the input's size and, after the scan, a checksum of every scanned voxel),
// then one frame per finished slot (its final status and message and what each sink needs to
// restore the voxel). A frame is written with one write() on an append-only descriptor, so a
// killed job leaves at most its last frame torn; each frame carries its length and a CRC-32,
// and a resumed job keeps the frames before the first bad one and cuts the file there.
//
//   frame: u32 "QVJ1" magic, u32 payload bytes, payload, u32 CRC-32 of the payload
//   header payload: "qorvane-volume-journal 1\n", then "key\tvalue\n" lines
//   slot payload: u32 slot, u64 source index, u16 + status word, u16 + message,
//                 u16 sink count, then per sink u32 + its bytes (little-endian host order)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qorvane_volume_job.h"
#include "qpath.h"

const char kQorvaneJournalFile[] = "job.journal";

struct QorvaneVolumeJournal {
    int fd = -1;
    bool failed = false;  // a write failed: no more frames (the file stays a valid prefix)
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::string path;
    std::vector<std::pair<std::string, std::string>> keys;  // the header's key/value lines
    std::string old_text;                                   // a resumed journal's bytes, while read
    std::vector<QorvaneJournalRecord> records;              // its records, until restored
    size_t old_valid = 0;                                   // bytes of the frames kept
};

namespace {

const uint32_t kMagic = 0x314A5651u;  // "QVJ1" in little-endian bytes
const char kHeaderTitle[] = "qorvane-volume-journal 1\n";

template <typename T>
void put(std::string* out, T v) {
    out->append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
bool get(const std::string& in, size_t* at, T* v) {
    if (in.size() - *at < sizeof *v) return false;
    memcpy(v, in.data() + *at, sizeof *v);
    *at += sizeof *v;
    return true;
}

bool get_bytes(const std::string& in, size_t* at, size_t n, std::string* v) {
    if (in.size() - *at < n) return false;
    v->assign(in.data() + *at, n);
    *at += n;
    return true;
}

std::string frame(const std::string& payload) {
    std::string f;
    put(&f, kMagic);
    put(&f, (uint32_t)payload.size());
    f += payload;
    put(&f, (uint32_t)crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), (uInt)payload.size()));
    return f;
}

// The payload of the frame at *at, or false when the frame is torn or damaged.
bool next_frame(const std::string& text, size_t* at, std::string* payload) {
    size_t p = *at;
    uint32_t magic = 0, bytes = 0, crc = 0;
    if (!get(text, &p, &magic) || magic != kMagic || !get(text, &p, &bytes) || !get_bytes(text, &p, bytes, payload) ||
        !get(text, &p, &crc))
        return false;
    if (crc != (uint32_t)crc32(0L, reinterpret_cast<const Bytef*>(payload->data()), (uInt)payload->size()))
        return false;
    *at = p;
    return true;
}

// CRC-32 and size of a whole file, "-" when there is none, "unreadable" when it cannot be read.
std::string file_checksum(const char* path) {
    if (path[0] == '\0') return "-";
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return "unreadable";
    uLong crc = crc32(0L, Z_NULL, 0);
    unsigned long long size = 0;
    unsigned char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        crc = crc32(crc, buf, (uInt)got);
        size += got;
    }
    const bool bad = ferror(f) != 0;
    fclose(f);
    if (bad) return "unreadable";
    char text[64];
    snprintf(text, sizeof text, "%08lx:%llu", (unsigned long)crc, size);
    return text;
}

std::string file_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return "missing";
    return std::to_string((long long)st.st_size);
}

// What the results depend on and can be checked before the scan.
std::vector<std::pair<std::string, std::string>> job_keys(const QorvaneVolumeJob* job) {
    const QorvaneCliOptions* o = job->options;
    std::vector<std::pair<std::string, std::string>> k;
    k.emplace_back("input_bytes", file_size(o->input));
    k.emplace_back("parameter_file", file_checksum(o->parameter_file));
    k.emplace_back("mask", file_checksum(o->mask));
    k.emplace_back("max_voxels", std::to_string(o->max_voxels));
    k.emplace_back("voxel_range", o->has_voxel_range
                                      ? std::to_string(o->range_first) + ":" + std::to_string(o->range_count)
                                      : std::string("all"));
    // 0 (not given) runs the default, Levenberg-Marquardt (code 0, given as 1).
    k.emplace_back("minimizer", std::to_string(o->minimizer == 0 ? 1 : o->minimizer));
    // 0 (not given) runs the default, the closed form (code 0, given as 1).
    k.emplace_back("line_spectra", std::to_string(o->line_spectra == 0 ? 1 : o->line_spectra));
    // The per-voxel files name the work directory; the maps and tables do not.
    k.emplace_back("per_voxel_files", job->per_voxel_files ? o->work_dir : "no");
    return k;
}

std::string scan_key(const QorvaneVolumeJob* job) {
    char text[64];
    snprintf(text, sizeof text, "%08lx:%llu", (unsigned long)job->scan_crc, job->scan_bytes);
    return text;
}

std::string header_payload(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string p = kHeaderTitle;
    for (const auto& kv : keys) p += kv.first + "\t" + kv.second + "\n";
    return p;
}

bool parse_header(const std::string& payload, std::vector<std::pair<std::string, std::string>>* keys) {
    if (payload.compare(0, sizeof kHeaderTitle - 1, kHeaderTitle) != 0) return false;
    size_t at = sizeof kHeaderTitle - 1;
    while (at < payload.size()) {
        size_t nl = payload.find('\n', at), tab = payload.find('\t', at);
        if (nl == std::string::npos || tab == std::string::npos || tab > nl) return false;
        keys->emplace_back(payload.substr(at, tab - at), payload.substr(tab + 1, nl - tab - 1));
        at = nl + 1;
    }
    return true;
}

// Compares the keys the header holds with `now` (each key of `now`); 0, or 1 after the message.
int compare_keys(const QorvaneVolumeJournal* j, const std::vector<std::pair<std::string, std::string>>& now) {
    for (const auto& kv : now) {
        std::string was = "(none)";
        for (const auto& old : j->keys)
            if (old.first == kv.first) was = old.second;
        if (was != kv.second) {
            fprintf(stderr,
                    "Volume mode error: --resume: %s belongs to another job (%s: journal %s, now %s); run without "
                    "--resume to start over.\n",
                    j->path.c_str(), kv.first.c_str(), was.c_str(), kv.second.c_str());
            return 1;
        }
    }
    return 0;
}

// Writes the whole text to a descriptor; false on any failure.
bool write_all(int fd, const std::string& text) {
    size_t put_bytes = 0;
    while (put_bytes < text.size()) {
        ssize_t w = write(fd, text.data() + put_bytes, text.size() - put_bytes);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        put_bytes += (size_t)w;
    }
    return true;
}

// Restores the records of a resumed journal into the job, up to the first that does not fit it
// (slot, source index, sink count); the number restored. Sets j->old_valid to the bytes kept.
uint32_t restore_slots(QorvaneVolumeJournal* j, QorvaneVolumeJob* job,
                       const std::vector<QorvaneJournalRecord>& records) {
    uint32_t restored = 0;
    for (const QorvaneJournalRecord& r : records) {
        const bool fits = r.slot < job->slot_count() && job->slots[r.slot].record == r.record &&
                          r.status.size() < QORVANE_STATUS_WORD_SIZE && r.blobs.size() == (size_t)job->sink_count;
        if (!fits) break;  // a record of another slot layout ends the valid part
        j->old_valid = r.end;
        if (!job->finished[r.slot]) ++restored;
        job->finished[r.slot] = 1;
        qorvane_volume_set_status(job, r.slot, r.status.c_str(), r.message.c_str());
        if (r.status == "FIT_NUMERIC_FAILURE") job->numerical_failure_count.fetch_add(1);
        for (int i = 0; i < job->sink_count; ++i)
            if (job->sinks[i]->journal_load != nullptr)
                job->sinks[i]->journal_load(job->sinks[i], job, r.slot, r.blobs[i].data(), r.blobs[i].size());
    }
    return restored;
}

}  // namespace

bool qorvane_journal_parse(const std::string& text, std::vector<std::pair<std::string, std::string>>* keys,
                           std::vector<QorvaneJournalRecord>* records, size_t* header_bytes) {
    keys->clear();
    records->clear();
    size_t at = 0;
    std::string payload;
    *header_bytes = 0;
    if (!next_frame(text, &at, &payload) || !parse_header(payload, keys)) return false;
    *header_bytes = at;
    while (next_frame(text, &at, &payload)) {
        QorvaneJournalRecord r;
        size_t p = 0;
        uint16_t n = 0, sinks = 0;
        bool ok = get(payload, &p, &r.slot) && get(payload, &p, &r.record) && get(payload, &p, &n) &&
                  get_bytes(payload, &p, n, &r.status) && get(payload, &p, &n) &&
                  get_bytes(payload, &p, n, &r.message) && get(payload, &p, &sinks) && !r.status.empty() &&
                  r.status.find('\0') == std::string::npos && r.message.find('\0') == std::string::npos;
        r.blobs.resize(ok ? sinks : 0);
        for (uint16_t i = 0; ok && i < sinks; ++i) {
            uint32_t bytes = 0;
            ok = get(payload, &p, &bytes) && get_bytes(payload, &p, bytes, &r.blobs[i]);
        }
        if (!ok || p != payload.size()) break;  // a frame that is not a whole record ends the valid part
        r.end = at;
        records->push_back(std::move(r));
    }
    return true;
}

int qorvane_journal_open(QorvaneVolumeJob* job) {
    const QorvaneCliOptions* o = job->options;
    QorvaneVolumeJournal* j = new QorvaneVolumeJournal();
    job->journal = j;
    char path[1024];
    if (qorvane_join_path(path, o->output_dir, kQorvaneJournalFile) != 0) {
        fprintf(stderr, "Volume output error: cannot build the journal path in %s\n", o->output_dir);
        return 5;
    }
    j->path = path;
    if (!o->resume) return 0;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr,
                "Volume mode error: --resume: no journal %s (the job finished, or stopped before its first fit: run "
                "it without --resume).\n",
                path);
        return 1;
    }
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) j->old_text.append(buf, got);
    const bool bad = ferror(f) != 0;
    fclose(f);
    // The header is kept; records count once restored into the job.
    if (bad || !qorvane_journal_parse(j->old_text, &j->keys, &j->records, &j->old_valid)) {
        fprintf(stderr, "Volume mode error: --resume: %s is not a readable job journal.\n", path);
        return 1;
    }
    std::string().swap(j->old_text);
    return compare_keys(j, job_keys(job));
}

int qorvane_journal_start(QorvaneVolumeJob* job) {
    QorvaneVolumeJournal* j = job->journal;
    if (j == nullptr) return 0;
    auto keys = job_keys(job);
    keys.emplace_back("scan", scan_key(job));
    if (job->options->resume) {
        int rc = compare_keys(j, keys);
        if (rc != 0) return rc;
        job->restored = restore_slots(j, job, j->records);
        std::vector<QorvaneJournalRecord>().swap(j->records);
        fprintf(stderr, "Volume mode: resuming from %s: %u slot(s) already finished.\n", j->path.c_str(),
                job->restored);
        j->fd = open(j->path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        // Frames after the valid ones (a torn last frame) are cut off before anything is added.
        if (j->fd < 0 || ftruncate(j->fd, (off_t)j->old_valid) != 0) {
            fprintf(stderr, "Volume output error: cannot continue the journal %s: %s\n", j->path.c_str(),
                    strerror(errno));
            return 5;
        }
        return 0;
    }
    // A new journal replaces an earlier one only once its header is complete.
    const std::string temp = j->path + ".part" + std::to_string((long)getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0 || !write_all(fd, frame(header_payload(keys))) || rename(temp.c_str(), j->path.c_str()) != 0) {
        fprintf(stderr, "Volume output error: cannot write the journal %s: %s\n", j->path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        remove(temp.c_str());
        return 5;
    }
    j->fd = fd;
    return 0;
}

void qorvane_journal_slot_done(QorvaneVolumeJob* job, uint32_t slot) {
    QorvaneVolumeJournal* j = job->journal;
    if (j == nullptr || j->fd < 0) return;
    const QorvaneVolumeSlot& s = job->slots[slot];
    std::string payload;
    put(&payload, slot);
    put(&payload, (unsigned long long)s.record);
    const uint16_t sl = (uint16_t)strlen(s.status), ml = (uint16_t)strlen(s.message);
    put(&payload, sl);
    payload.append(s.status, sl);
    put(&payload, ml);
    payload.append(s.message, ml);
    put(&payload, (uint16_t)job->sink_count);
    for (int i = 0; i < job->sink_count; ++i) {
        std::string blob;
        if (job->sinks[i]->journal_save != nullptr) job->sinks[i]->journal_save(job->sinks[i], job, slot, &blob);
        put(&payload, (uint32_t)blob.size());
        payload += blob;
    }
    const std::string f = frame(payload);
    pthread_mutex_lock(&j->mutex);
    if (!j->failed && !write_all(j->fd, f)) {
        j->failed = true;
        fprintf(stderr, "Volume mode warning: cannot write the journal %s (%s); a resumed job refits what follows.\n",
                j->path.c_str(), strerror(errno));
    }
    pthread_mutex_unlock(&j->mutex);
}

void qorvane_journal_close(QorvaneVolumeJob* job, bool job_complete) {
    QorvaneVolumeJournal* j = job->journal;
    if (j == nullptr) return;
    if (j->fd >= 0) close(j->fd);
    // A finished job needs no journal; one that stopped keeps it for --resume.
    if (job_complete && !j->path.empty()) remove(j->path.c_str());
    pthread_mutex_destroy(&j->mutex);
    delete j;
    job->journal = nullptr;
}
