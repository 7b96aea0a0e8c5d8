// Pieces shared by the readers and writers of the three model text files
// (.vynspin, .vynseq, .vynmodel); used inside the model layer only.
#pragma once

#include <cstddef>
#include <cstdio>

#include "vynmodel.h"

// Early exit of a reader: closes fp and returns st.
VYNModelStatus vynmodel_close_fail(FILE* fp, VYNModelStatus st);
// 1 when the format_version value is the supported version; otherwise 0 with
// "line N: unsupported format_version" in errbuf.
int vynmodel_check_format_version(const char* value, int lineno, char* errbuf, size_t errbufsz);
// Closes a file that was read to its end.
VYNModelStatus vynmodel_finish_read(FILE* fp, const char* filename, char* errbuf, size_t errbufsz);
// Opens path for writing and writes the format_version line and
// "<name_key>: <name>" followed by an empty line; null with errbuf set when
// the file cannot be opened.
FILE* vynmodel_begin_write(const char* path, const char* name_key, const char* name, char* errbuf, size_t errbufsz);
// Closes a written file; VYN_MODEL_ERR_IO when a write or the close failed.
VYNModelStatus vynmodel_finish_write(FILE* fp, const char* path, char* errbuf, size_t errbufsz);
// Writes path relative to the directory of base_filename ("tail") or to that
// directory's parent ("../tail"), with '/' separators. 1 when written, 0 when
// it does not fit out, -1 when path lies under neither directory.
int vynmodel_relative_to_file(const char* path, const char* base_filename, char* out, size_t outsz);
