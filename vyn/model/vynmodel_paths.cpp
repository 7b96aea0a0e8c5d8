// Path helpers of the model layer. Builders insert '/'; readers accept '/' and '\'.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "vynmodel.h"
#include "vynpaths.h"

int vyn_path_is_absolute(const char* path) {
    if (!path || !path[0]) return 0;
    if (isalpha((unsigned char)path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return 1;
    if ((path[0] == '\\' && path[1] == '\\') || (path[0] == '/' && path[1] == '/')) return 1;
    // A host path rooted at a single '/' is absolute here too.
    return path[0] == '/';
}

int vyn_join_path(char* out, size_t outsz, const char* dir, const char* leaf) {
    return VYN_BuildPath(out, outsz, dir, leaf);
}

static const char* vynmodel_last_separator(const char* path) {
    const char* s = strrchr(path, '/');
    const char* b = strrchr(path, '\\');
    if (b && (!s || b > s)) s = b;
    return s;
}

int vyn_dirname_copy(const char* path, char* out, size_t outsz) {
    if (!path || !out || outsz == 0) return 0;
    const char* cut = vynmodel_last_separator(path);
    if (!cut) return 0;
    size_t len = (size_t)(cut - path);
    if (len == 0) len = 1;  // a file directly under the root keeps "/"
    if (len + 1 > outsz) return 0;
    memmove(out, path, len);
    out[len] = '\0';
    return 1;
}

int vyn_parent_dir_copy(const char* path, char* out, size_t outsz) {
    char dir[2048];
    if (!vyn_dirname_copy(path, dir, sizeof(dir))) return 0;
    if (strcmp(dir, "/") == 0) return 0;
    return vyn_dirname_copy(dir, out, outsz);
}

int vyn_path_has_separator(const char* path) {
    return path && (strchr(path, '/') != nullptr || strchr(path, '\\') != nullptr);
}

void vyn_normalize_saved_path(char* path) {
    if (!path) return;
    for (char* p = path; *p; ++p)
        if (*p == '\\') *p = '/';
}

// The comparison keeps case: on a case-sensitive file system two directories
// that differ only in case are different places, and the tail must name the
// file exactly as it is stored.
int vyn_tail_after_prefix(const char* path, const char* prefix, char* tail, size_t tailsz) {
    if (!path || !prefix || !tail || tailsz == 0) return 0;
    char p[2048], q[2048];
    if (strlen(path) >= sizeof(p) || strlen(prefix) >= sizeof(q)) return 0;
    strcpy(p, path);
    strcpy(q, prefix);
    vyn_normalize_saved_path(p);
    vyn_normalize_saved_path(q);
    size_t ql = strlen(q);
    while (ql > 0 && q[ql - 1] == '/') q[--ql] = '\0';
    if (ql == 0 && prefix[0] == '\0') return 0;
    if (strncmp(p, q, ql) != 0) return 0;
    if (p[ql] != '/' && p[ql] != '\0') return 0;
    const char* t = p + ql;
    while (*t == '/') ++t;
    if (strlen(t) + 1 > tailsz) return 0;
    strcpy(tail, t);
    return 1;
}

void vyn_collapse_dot_segments(char* path) {
    if (!path || !vyn_path_is_absolute(path) || path[0] != '/' || path[1] == '/') return;
    vyn_normalize_saved_path(path);
    // Segments are rewritten in place; "." disappears, ".." drops the previous segment.
    size_t starts[1024];
    int depth = 0;
    char* src = path;
    char* dst = path;
    while (*src) {
        while (*src == '/') ++src;
        if (!*src) break;
        char* seg = src;
        while (*src && *src != '/') ++src;
        size_t len = (size_t)(src - seg);
        if (len == 1 && seg[0] == '.') continue;
        if (len == 2 && seg[0] == '.' && seg[1] == '.') {
            if (depth > 0) dst = path + starts[--depth];
            continue;
        }
        if (depth < 1024) starts[depth++] = (size_t)(dst - path);
        *dst++ = '/';
        memmove(dst, seg, len);
        dst += len;
    }
    if (dst == path) *dst++ = '/';
    *dst = '\0';
}

int vyn_ensure_dir(const char* path) { return vyn_make_dir_one_level(path); }

int vyn_file_exists_local(const char* path) {
    if (!path || !path[0]) return 0;
    // Opening a named pipe would wait for a writer, a device may never end:
    // only regular files count.
    FILE* fp = vyn_fopen_regular(path, "rb");
    if (!fp) return 0;
    fclose(fp);
    return 1;
}

int vyn_copy_basename_without_extension_local(const char* path, char* out, size_t outsz) {
    return basename_without_extension(path, out, outsz);
}
