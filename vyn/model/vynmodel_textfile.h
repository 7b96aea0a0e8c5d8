// Pieces shared by the readers and writers of the three model text files
// (.vynspin, .vynseq, .vynmodel); used inside the model layer only.
#pragma once

#include <cstddef>
#include <cstdio>

#include "vynmodel.h"

// Longest line of a model text file, without its line break.
constexpr int VYNMODEL_MAX_LINE = 2047;
// Reads the next line (line break kept) into buf of VYNMODEL_MAX_LINE + 1
// characters. 1: a line was read; 0: end of file; -1: the line is longer than
// the buffer holds (nothing of it is used).
int vynmodel_read_line(FILE* fp, char* buf, size_t cap);
// Formats "line N: line is longer than 2047 characters".
void vynmodel_set_long_line_error(int lineno, char* errbuf, size_t errbufsz);
// Opens a model text file for reading; only regular files are opened (a
// pipe would block, a directory reads as nothing).
FILE* vynmodel_open_text(const char* filename);

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
