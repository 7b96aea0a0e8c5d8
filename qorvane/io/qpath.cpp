#include "qpath.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

int qorvane_join_path(char* destination, const char* directory, const char* name) {
    if (destination == nullptr || directory == nullptr || name == nullptr || directory[0] == '\0') return -1;
    size_t dl = strlen(directory);
    size_t nl = strlen(name);
    bool has_sep = directory[dl - 1] == '/' || directory[dl - 1] == '\\';
    size_t total = dl + (has_sep ? 0 : 1) + nl;
    if (total >= 1024) return -1;
    memcpy(destination, directory, dl);
    size_t pos = dl;
    if (!has_sep) destination[pos++] = '/';
    memcpy(destination + pos, name, nl + 1);
    return 0;
}

int qorvane_make_dir(const char* path) {
    if (path == nullptr || path[0] == '\0') return -1;
    if (mkdir(path, 0777) == 0) return 0;
    if (errno == EEXIST) {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    }
    return -1;
}
