#include "qbinary.h"

int qorvvol_read_u32_le(FILE* stream, uint32_t* value) {
    unsigned char b[4];
    if (stream == nullptr || fread(b, 1, 4, stream) != 4) return -1;
    *value = (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
    return 0;
}
