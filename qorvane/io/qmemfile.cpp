#include "qmemfile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "qorvane_context.h"

namespace {

QorvaneMemoryFiles* current_store() {
    const QorvaneFitContext* ctx = g_qorvane_ctx;
    return ctx != nullptr ? ctx->memory_outputs : nullptr;
}

QorvaneMemoryFile* find_path(QorvaneMemoryFiles* store, const char* path) {
    for (size_t i = store->files.size(); i-- > 0;)
        if (store->files[i] != nullptr && store->files[i]->path == path) return store->files[i].get();
    return nullptr;
}

}  // namespace

const QorvaneMemoryFile* QorvaneMemoryFiles::find_name(const char* name) const {
    for (size_t i = files.size(); i-- > 0;) {
        if (files[i] == nullptr) continue;
        const std::string& p = files[i]->path;
        size_t slash = p.find_last_of('/');
        const char* last = p.c_str() + (slash == std::string::npos ? 0 : slash + 1);
        if (strcmp(last, name) == 0) return files[i].get();
    }
    return nullptr;
}

FILE* qorvane_output_fopen(const char* path, const char* mode) {
    QorvaneMemoryFiles* store = current_store();
    if (store == nullptr) return fopen(path, mode);
    if (path == nullptr || mode == nullptr || mode[0] != 'w') {
        errno = EINVAL;
        return nullptr;
    }
    auto file = std::make_unique<QorvaneMemoryFile>();
    file->path = path;
    FILE* f = open_memstream(&file->data, &file->size);
    if (f == nullptr) return nullptr;
    store->files.push_back(std::move(file));
    return f;
}

int qorvane_output_rename(const char* from, const char* to) {
    QorvaneMemoryFiles* store = current_store();
    if (store == nullptr) return rename(from, to);
    QorvaneMemoryFile* f = find_path(store, from);
    if (f == nullptr) {
        errno = ENOENT;
        return -1;
    }
    for (auto& other : store->files)  // a file of the target name is replaced
        if (other != nullptr && other.get() != f && other->path == to) other.reset();
    f->path = to;
    return 0;
}

int qorvane_output_remove(const char* path) {
    QorvaneMemoryFiles* store = current_store();
    if (store == nullptr) return remove(path);
    for (auto& f : store->files)
        if (f != nullptr && f->path == path) f.reset();
    return 0;
}

int qorvane_output_temp_name(const char* path, char* temp, size_t size) {
    if (path == nullptr || temp == nullptr || size == 0) return -1;
    const unsigned long id = (unsigned long)(uintptr_t)g_qorvane_ctx;
    const int w = snprintf(temp, size, "%s.part%ld_%lx", path, (long)getpid(), id);
    return w < 0 || (size_t)w >= size ? -1 : 0;
}

int qorvane_output_commit(int rc, const char* temp, const char* path) {
    if (rc == 0 && qorvane_output_rename(temp, path) == 0) return 0;
    const int err = errno != 0 ? errno : EIO;
    qorvane_output_remove(temp);
    errno = err;
    return -1;
}

int qorvane_output_close_commit(FILE* f, const char* temp, const char* path, int ok) {
    if (f == nullptr) return -1;
    errno = 0;
    int rc = ok ? 0 : -1;
    if (ferror(f) || fflush(f) != 0) rc = -1;
    int err = errno;
    if (fclose(f) != 0) {
        rc = -1;
        err = errno;
    }
    if (rc != 0) {
        qorvane_output_remove(temp);
        errno = err != 0 ? err : EIO;
        return -1;
    }
    errno = 0;
    return qorvane_output_commit(0, temp, path);
}
