// Result files of a fit kept in memory. A fit whose context carries a QorvaneMemoryFiles
// store (volume mode) writes its result files there instead of to the file system, and
// the caller writes the ones it keeps where they belong; without a store the functions
// below are plain fopen, rename and remove.
#pragma once
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

struct QorvaneMemoryFile {
    std::string path;      // as the writer named it
    char* data = nullptr;  // contents once the stream is closed (open_memstream buffer)
    size_t size = 0;
    QorvaneMemoryFile() = default;
    QorvaneMemoryFile(const QorvaneMemoryFile&) = delete;
    QorvaneMemoryFile& operator=(const QorvaneMemoryFile&) = delete;
    ~QorvaneMemoryFile() { free(data); }
};

struct QorvaneMemoryFiles {
    // Entries keep their addresses while their streams are open (open_memstream writes
    // through them); a path opened again gets a new entry, the latest one counts.
    std::vector<std::unique_ptr<QorvaneMemoryFile>> files;
    // The latest file whose last path component is `name`, or null.
    const QorvaneMemoryFile* find_name(const char* name) const;
    void clear() { files.clear(); }
};

// Opens `path` for writing: in the calling thread's fit store when its context has one,
// else on the file system.
FILE* qorvane_output_fopen(const char* path, const char* mode);
// rename / remove of a written file, in the store when there is one (0 or -1 as rename).
int qorvane_output_rename(const char* from, const char* to);
int qorvane_output_remove(const char* path);

// Result files are written completely or not at all: a writer writes the temporary name
// that qorvane_output_temp_name gives (beside the final name, unique to the process and the
// calling thread's fit) and qorvane_output_commit renames it over the final name, or removes
// it when the write failed, so a failed write leaves neither a partial file nor a lost one.
// Returns -1 when the temporary name does not fit into `size` bytes.
int qorvane_output_temp_name(const char* path, char* temp, size_t size);
// Closes f (checking the stream's error flag, the flush and the close) and commits temp to
// path when everything succeeded and `ok` is non-zero; 0 on success, else -1 with errno set.
int qorvane_output_close_commit(FILE* f, const char* temp, const char* path, int ok);
// Commits a temporary that its writer already closed (rc 0: written completely).
int qorvane_output_commit(int rc, const char* temp, const char* path);
