#include "qpath.h"

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
