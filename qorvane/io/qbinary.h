// Little-endian binary reads.
#pragma once
#include <cstdint>
#include <cstdio>

// 0, or -1 when fewer than 4 bytes could be read.
int qorvvol_read_u32_le(FILE* stream, uint32_t* value);
