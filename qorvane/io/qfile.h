// Opening input files: only regular files are read.
#pragma once
#include <cstdio>

// Opens `path` for reading ("r" or "rb") when it names a regular file. A pipe, device,
// socket or directory is refused without blocking (errno EISDIR for a directory, EINVAL
// for the others); a missing file leaves fopen's errno. Returns null when refused.
FILE* qorvane_fopen_regular(const char* path, const char* mode);

// Size in bytes of an open regular file, or -1.
long long qorvane_file_size(FILE* fp);
