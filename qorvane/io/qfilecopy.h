// Copying a file byte for byte.
#pragma once

// 0, 2 (source) or 5 (destination).
int qorvane_copy_file_binary(const char* source, const char* destination);
