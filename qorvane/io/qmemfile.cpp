#include "qmemfile.h"

#include <cerrno>
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
