// Removal of the run scratch directories of ended vyn processes.
#include "vynrundirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "vynpaths.h"

namespace {

long long vrd_freed = 0;  // bytes of the files removed by the running tree walk

int vrd_remove_entry(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_DP) return rmdir(path) == 0 ? 0 : 1;
    const long long size = (type == FTW_F && S_ISREG(st->st_mode)) ? (long long)st->st_size : 0;
    if (unlink(path) != 0) return 1;
    vrd_freed += size;
    return 0;
}

// Removes dir and everything below it without following links; the bytes of
// the removed files are added to *bytes. 1 when dir itself is gone.
int vrd_remove_tree(const char* dir, long long* bytes) {
    vrd_freed = 0;
    nftw(dir, vrd_remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    *bytes += vrd_freed;
    struct stat st;
    return lstat(dir, &st) != 0 && errno == ENOENT;
}

// Opens dir's lock file and locks it: the descriptor (to be closed by the
// caller) when the lock was taken, -1 when there is no lock file, -2 when a
// live process holds it.
int vrd_take_lock(const char* dir) {
    char lock[VYN_PATH_CAP];
    if (!VYN_BuildPath(lock, sizeof(lock), dir, VYN_RUN_LOCK_NAME)) return -2;
    const int fd = open(lock, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? -1 : -2;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    close(fd);
    return -2;
}

}  // namespace

int vyn_rundirs_parse_name(const char* name, pid_t* pid) {
    if (!name || !name[0] || std::strlen(name) > 127) return 0;
    const char* us = std::strrchr(name, '_');
    if (!us || us == name || us - name > 96 || !us[1]) return 0;
    // The leaf is a sanitised short name: lower-case letters, digits, '-' and
    // '_', starting with a letter or digit.
    if (!std::isalnum((unsigned char)name[0])) return 0;
    for (const char* p = name; p < us; ++p) {
        const unsigned char c = (unsigned char)*p;
        if (!(std::islower(c) || std::isdigit(c) || c == '-' || c == '_')) return 0;
    }
    long long v = 0;
    for (const char* p = us + 1; *p; ++p) {
        if (!std::isdigit((unsigned char)*p) || p - us > 10) return 0;
        v = v * 10 + (*p - '0');
    }
    if (v < 1 || v > INT_MAX) return 0;
    if (pid) *pid = (pid_t)v;
    return 1;
}

VYNRunDirSweep vyn_rundirs_sweep(const char* runs_dir) {
    VYNRunDirSweep result = {0, 0};
    DIR* d = runs_dir ? opendir(runs_dir) : nullptr;
    if (!d) return result;
    struct dirent* e;
    while ((e = readdir(d)) != nullptr) {
        pid_t pid = 0;
        if (!vyn_rundirs_parse_name(e->d_name, &pid)) continue;
        char dir[VYN_PATH_CAP];
        struct stat st;
        if (!VYN_BuildPath(dir, sizeof(dir), runs_dir, e->d_name) || lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != geteuid())
            continue;
        if (pid == getpid()) continue;
        const bool gone = kill(pid, 0) == -1 && errno == ESRCH;
        // The lock is held while the tree goes: a process that reuses the
        // directory meanwhile cannot claim it.
        const int fd = vrd_take_lock(dir);
        const bool ended = fd != -2 && (gone || fd >= 0);
        if (ended && vrd_remove_tree(dir, &result.bytes)) ++result.removed;
        if (fd >= 0) close(fd);
    }
    closedir(d);
    return result;
}

void vyn_rundirs_format_size(long long bytes, char* out, size_t outsz) {
    if (!out || outsz == 0) return;
    const double b = (double)bytes;
    if (bytes < 1024)
        std::snprintf(out, outsz, "%lld bytes", bytes);
    else if (bytes < 1024LL * 1024)
        std::snprintf(out, outsz, "%.1f KiB", b / 1024.0);
    else if (bytes < 1024LL * 1024 * 1024)
        std::snprintf(out, outsz, "%.1f MiB", b / (1024.0 * 1024.0));
    else
        std::snprintf(out, outsz, "%.2f GiB", b / (1024.0 * 1024.0 * 1024.0));
}

void vyn_rundirs_clean_at_start() {
    char exedir[VYN_PATH_CAP], runtime[VYN_PATH_CAP], runs[VYN_PATH_CAP];
    if (!VYN_GetExecutableDir(exedir, sizeof(exedir)) || !VYN_BuildPath(runtime, sizeof(runtime), exedir, "runtime") ||
        !VYN_BuildPath(runs, sizeof(runs), runtime, "runs"))
        return;
    const VYNRunDirSweep s = vyn_rundirs_sweep(runs);
    if (s.removed < 1) return;
    char size[32];
    vyn_rundirs_format_size(s.bytes, size, sizeof(size));
    std::printf("[VYN] Removed %d run director%s of ended processes from %s (%s freed).\n", s.removed,
                s.removed == 1 ? "y" : "ies", runs, size);
}
