// Building paths from a directory and a file name; making directories.
#pragma once

// directory + '/' + name into a 1024-byte buffer; no separator when directory ends in '/' or '\'.
// Returns 0, or -1 for an empty directory or a result that would not fit.
int qorvane_join_path(char* destination, const char* directory, const char* name);

// Makes directory `path` (one level) unless it is one already; 0, or -1.
int qorvane_make_dir(const char* path);
