#include "qfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

FILE* qorvane_fopen_regular(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK: opening a FIFO without a writer must not wait
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = err;
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        close(fd);
        return nullptr;
    }
    FILE* fp = fdopen(fd, mode);
    if (fp == nullptr) close(fd);
    return fp;
}

long long qorvane_file_size(FILE* fp) {
    struct stat st;
    if (fp == nullptr || fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return (long long)st.st_size;
}
