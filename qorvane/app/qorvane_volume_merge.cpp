// Merge of shard output directories (volume jobs run with --voxel-range) into the two
// tables and the result files of the whole job.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qfilecopy.h"
#include "qorvane_volume.h"
#include "qpath.h"

namespace {

struct QorvaneShard {
    const char* dir;
    int version;
    long long first, count, slots, records, complete, exit_code;
};

// Reads "<dir>/shard_range.tsv"; 0, or 2 after printing why.
int qorvane_merge_read_shard(QorvaneShard* s) {
    char path[1024];
    if (qorvane_join_path(path, s->dir, "shard_range.tsv") != 0) {
        fprintf(stderr, "Merge error: cannot build the shard record path of %s.\n", s->dir);
        return 2;
    }
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr,
                "Merge error: %s has no shard_range.tsv (not a --voxel-range output, or the run did not finish).\n",
                s->dir);
        return 2;
    }
    s->version = 0;
    s->first = s->count = s->slots = s->records = s->complete = s->exit_code = -1;
    char line[8192];
    while (fgets(line, sizeof line, f) != nullptr) {
        char* tab = strchr(line, '\t');
        if (tab == nullptr) continue;
        *tab = '\0';
        char* end = nullptr;
        errno = 0;
        long long v = strtoll(tab + 1, &end, 10);
        bool number = errno == 0 && end != tab + 1 && (*end == '\n' || *end == '\0');
        long long* field = strcmp(line, "first") == 0       ? &s->first
                           : strcmp(line, "count") == 0     ? &s->count
                           : strcmp(line, "slots") == 0     ? &s->slots
                           : strcmp(line, "records") == 0   ? &s->records
                           : strcmp(line, "complete") == 0  ? &s->complete
                           : strcmp(line, "exit_code") == 0 ? &s->exit_code
                                                            : nullptr;
        if (strcmp(line, "qorvane_shard") == 0 && number) s->version = (int)v;
        if (field != nullptr && number) *field = v;
    }
    fclose(f);
    if (s->version != 1 || s->first < 0 || s->count < 0 || s->slots < 0 || s->records < 0 || s->complete < 0 ||
        s->exit_code < 0 || s->first + s->count > s->slots) {
        fprintf(stderr, "Merge error: %s is not a valid shard record.\n", path);
        return 2;
    }
    return 0;
}

// 0 when both files have the same bytes, 1 when they differ, 2 when one cannot be read.
int qorvane_merge_same_file(const char* a, const char* b) {
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    int rc = (fa == nullptr || fb == nullptr) ? 2 : 0;
    static unsigned char ba[65536], bb[65536];
    while (rc == 0) {
        size_t na = fread(ba, 1, sizeof ba, fa);
        size_t nb = fread(bb, 1, sizeof bb, fb);
        if (na != nb || memcmp(ba, bb, na) != 0) rc = 1;
        if (na < sizeof ba) {
            if (rc == 0 && (ferror(fa) || ferror(fb))) rc = 2;
            break;
        }
    }
    if (fa != nullptr) fclose(fa);
    if (fb != nullptr) fclose(fb);
    return rc;
}

bool qorvane_merge_same_dir(const char* a, const char* b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool qorvane_merge_is_result_file(const char* name) {
    static const char* const exts[11] = {"fit", "res",  "cor", "err",    "fit0",       "org",
                                         "mat", "nln0", "exl", "fitres", "compact.par"};
    size_t l = strlen(name);
    if (strncmp(name, "voxel_", 6) != 0) return false;
    for (const char* ext : exts) {
        size_t e = strlen(ext);
        if (l >= 6 + e + 1 && name[l - e - 1] == '.' && strcmp(name + l - e, ext) == 0) return true;
    }
    return false;
}

// Appends the rows of one shard's status table to `out`; counts outcomes. 0, 2 or 5.
int qorvane_merge_status_rows(const QorvaneShard* s, FILE* out, bool* out_ok, unsigned long long* ok,
                              unsigned long long* zero, unsigned long long* failed) {
    static const char kHeader[] = "slot\tvoxel_id\tinput_file\tfit_status\tmessage\n";
    char path[1024];
    if (qorvane_join_path(path, s->dir, "fit_status.tsv") != 0) {
        fprintf(stderr, "Merge error: cannot build the status table path of %s.\n", s->dir);
        return 2;
    }
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr, "Merge error: cannot open %s.\n", path);
        return 2;
    }
    char* line = nullptr;
    size_t cap = 0;
    int rc = 0;
    long long row = -1;
    ssize_t got;
    while (rc == 0 && (got = getline(&line, &cap, f)) >= 0) {
        if (row < 0) {
            if (strcmp(line, kHeader) != 0) {
                fprintf(stderr, "Merge error: %s does not start with the status table header.\n", path);
                rc = 2;
            }
            row = 0;
            continue;
        }
        char* end = nullptr;
        long long slot = strtoll(line, &end, 10);
        char* status = nullptr;
        if (end != nullptr && *end == '\t') {
            char* p = strchr(end + 1, '\t');            // after voxel_id
            if (p != nullptr) p = strchr(p + 1, '\t');  // after input_file
            if (p != nullptr) status = p + 1;
        }
        if (row >= s->count || slot != s->first + row + 1 || status == nullptr || line[got - 1] != '\n') {
            fprintf(stderr, "Merge error: %s: row %lld is not slot %lld of its range.\n", path, row + 1,
                    s->first + row + 1);
            rc = 2;
            break;
        }
        // a fit that stopped at its iteration limit still wrote its results
        if (strncmp(status, "FIT_OK\t", 7) == 0 || strncmp(status, "FIT_NOT_CONVERGED\t", 18) == 0)
            ++*ok;
        else if (strncmp(status, "FIT_SKIPPED_ZERO_INPUT\t", 23) == 0)
            ++*zero;
        else
            ++*failed;
        if (fputs(line, out) < 0) *out_ok = false;
        ++row;
    }
    if (rc == 0 && ferror(f)) {
        fprintf(stderr, "Merge error: cannot read %s.\n", path);
        rc = 2;
    }
    if (rc == 0 && row != s->count) {
        fprintf(stderr, "Merge error: %s has %lld row(s); its range has %lld.\n", path, row < 0 ? 0 : row, s->count);
        rc = 2;
    }
    free(line);
    fclose(f);
    return rc;
}

// Reads every shard's record and checks that the shards finished, come from one job, cover
// every slot exactly once and hold the same results table (whose path is left in
// first_results). 0, or 1 / 2 after the message.
int qorvane_merge_check_shards(const QorvaneCliOptions* o, QorvaneShard* shards, int n, char* first_results) {
    int rc = 0;
    for (int i = 0; i < n && rc == 0; ++i) {
        shards[i].dir = o->shard_dirs[i];
        rc = qorvane_merge_read_shard(&shards[i]);
        if (rc == 0 && !shards[i].complete) {
            fprintf(stderr, "Merge error: shard %s did not finish its range (exit code %lld).\n", shards[i].dir,
                    shards[i].exit_code);
            rc = 1;
        }
        if (rc == 0 && qorvane_merge_same_dir(shards[i].dir, o->output_dir)) {
            fprintf(stderr, "Merge error: the output directory %s is shard %s itself.\n", o->output_dir, shards[i].dir);
            rc = 1;
        }
        if (rc == 0 && i > 0 && (shards[i].slots != shards[0].slots || shards[i].records != shards[0].records)) {
            fprintf(stderr,
                    "Merge error: shards %s and %s come from different jobs (%lld/%lld slots, %lld/%lld records).\n",
                    shards[0].dir, shards[i].dir, shards[0].slots, shards[i].slots, shards[0].records,
                    shards[i].records);
            rc = 1;
        }
    }
    // Voxel order; the ranges must cover every slot exactly once.
    for (int i = 1; i < n && rc == 0; ++i)
        for (int j = i; j > 0 && shards[j].first < shards[j - 1].first; --j) {
            QorvaneShard t = shards[j];
            shards[j] = shards[j - 1];
            shards[j - 1] = t;
        }
    long long covered = 0;
    const char* previous = nullptr;
    for (int i = 0; i < n && rc == 0; ++i) {
        const QorvaneShard* s = &shards[i];
        if (s->count == 0) continue;
        if (s->first < covered) {
            fprintf(stderr, "Merge error: shard %s (voxels %lld:%lld) overlaps shard %s.\n", s->dir, s->first, s->count,
                    previous);
            rc = 1;
        } else if (s->first > covered) {
            fprintf(stderr, "Merge error: voxels %lld:%lld are in no shard given.\n", covered, s->first - covered);
            rc = 1;
        }
        covered = s->first + s->count;
        previous = s->dir;
    }
    if (rc == 0 && covered < shards[0].slots) {
        fprintf(stderr, "Merge error: voxels %lld:%lld are in no shard given.\n", covered, shards[0].slots - covered);
        rc = 1;
    }
    if (rc == 0 && qorvane_join_path(first_results, shards[0].dir, "fit_results.tsv") != 0) rc = 2;
    for (int i = 1; i < n && rc == 0; ++i) {
        char other[1024];
        if (qorvane_join_path(other, shards[i].dir, "fit_results.tsv") != 0) rc = 2;
        int same = rc == 0 ? qorvane_merge_same_file(first_results, other) : 2;
        if (same == 1) {
            fprintf(stderr, "Merge error: %s differs from %s (shards of different volumes or selections).\n", other,
                    first_results);
            rc = 1;
        } else if (same == 2) {
            fprintf(stderr, "Merge error: cannot read %s or %s.\n", first_results, other);
            rc = 2;
        }
    }
    return rc;
}

// Copies the result files of every shard into the output directory; 0, 2 or 5.
int qorvane_merge_copy_result_files(const QorvaneCliOptions* o, const QorvaneShard* shards, int n) {
    int rc = 0;
    for (int i = 0; i < n && rc == 0; ++i) {
        DIR* d = opendir(shards[i].dir);
        if (d == nullptr) {
            fprintf(stderr, "Merge error: cannot list %s.\n", shards[i].dir);
            rc = 2;
            break;
        }
        for (struct dirent* e = readdir(d); e != nullptr && rc == 0; e = readdir(d)) {
            if (!qorvane_merge_is_result_file(e->d_name)) continue;
            char src[1024], dst[1024];
            if (qorvane_join_path(src, shards[i].dir, e->d_name) != 0 ||
                qorvane_join_path(dst, o->output_dir, e->d_name) != 0) {
                fprintf(stderr, "Volume output error: cannot build the path of %s.\n", e->d_name);
                rc = 5;
                break;
            }
            rc = qorvane_copy_file_binary(src, dst);
        }
        closedir(d);
    }
    return rc;
}

}  // namespace

int qorvane_volume_merge(const QorvaneCliOptions* o) {
    const int n = o->shard_count;
    fprintf(stderr, "Merge mode: joining %d shard(s) into %s\n", n, o->output_dir);
    QorvaneShard* shards = static_cast<QorvaneShard*>(calloc((size_t)n, sizeof(QorvaneShard)));
    if (shards == nullptr) {
        fprintf(stderr, "Merge error: cannot allocate the shard list.\n");
        return 6;
    }
    char first_results[1024];
    int rc = qorvane_merge_check_shards(o, shards, n, first_results);
    if (rc != 0) {
        free(shards);
        return rc;
    }
    struct stat st;
    if (mkdir(o->output_dir, 0777) != 0 && !(errno == EEXIST && stat(o->output_dir, &st) == 0 && S_ISDIR(st.st_mode))) {
        fprintf(stderr, "Volume output error: cannot create output directory: %s\n", o->output_dir);
        free(shards);
        return 5;
    }

    // Both tables are written under temporary names and renamed when complete.
    char results[1024], status[1024], results_tmp[1100], status_tmp[1100];
    if (qorvane_join_path(results, o->output_dir, "fit_results.tsv") != 0 ||
        qorvane_join_path(status, o->output_dir, "fit_status.tsv") != 0) {
        fprintf(stderr, "Volume output error: cannot build the table paths in %s.\n", o->output_dir);
        free(shards);
        return 5;
    }
    snprintf(results_tmp, sizeof results_tmp, "%s.part%ld", results, (long)getpid());
    snprintf(status_tmp, sizeof status_tmp, "%s.part%ld", status, (long)getpid());
    rc = qorvane_copy_file_binary(first_results, results_tmp);
    unsigned long long ok = 0, zero = 0, failed = 0;
    const bool with_status = shards[0].slots > 0;
    if (rc == 0 && with_status) {
        FILE* out = fopen(status_tmp, "w");
        bool out_ok = out != nullptr;
        if (out != nullptr) {
            if (fputs("slot\tvoxel_id\tinput_file\tfit_status\tmessage\n", out) < 0) out_ok = false;
            for (int i = 0; i < n && rc == 0; ++i)
                if (shards[i].count > 0) rc = qorvane_merge_status_rows(&shards[i], out, &out_ok, &ok, &zero, &failed);
            if (fflush(out) != 0 || ferror(out)) out_ok = false;
            if (fclose(out) != 0) out_ok = false;
        }
        if (rc == 0 && !out_ok) {
            fprintf(stderr, "Volume output error: cannot write fit status file: %s\n", status_tmp);
            rc = 5;
        }
    }
    if (rc == 0) rc = qorvane_merge_copy_result_files(o, shards, n);
    if (rc == 0) {
        const char** dirs = static_cast<const char**>(calloc((size_t)n, sizeof(const char*)));
        for (int i = 0; dirs != nullptr && i < n; ++i) dirs[i] = shards[i].dir;
        rc = dirs != nullptr ? qorvane_volume_merge_maps(dirs, n, o->output_dir) : 6;
        free(dirs);
    }
    if (rc == 0 && rename(results_tmp, results) != 0) rc = 5;
    if (rc == 0 && with_status && rename(status_tmp, status) != 0) rc = 5;
    if (rc != 0) {
        remove(results_tmp);
        remove(status_tmp);
        fprintf(stderr, "Merge error: merge into %s failed with status %d.\n", o->output_dir, rc);
        free(shards);
        return rc;
    }
    fprintf(stderr,
            "Merge mode: %lld selected voxel(s) from %d shard(s): %llu fitted, %llu all-zero, %llu not fitted.\n",
            shards[0].slots, n, ok, zero, failed);
    fprintf(stderr, "Merge mode: tables written: %s%s%s\n", results, with_status ? ", " : "",
            with_status ? status : "");
    free(shards);
    if (ok == 0 && failed > 0) {
        fprintf(
            stderr,
            "Volume mode error: no selected voxel was fitted (%llu not fitted, %llu all-zero); see fit_status.tsv.\n",
            failed, zero);
        return 4;
    }
    return 0;
}
