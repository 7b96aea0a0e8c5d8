#include "qfilecopy.h"

#include <cstdio>

int qorvane_copy_file_binary(const char* source, const char* destination) {
    FILE* in = fopen(source, "rb");
    if (in == nullptr) {
        fprintf(stderr, "Volume output copy error: cannot open source file: %s\n", source);
        return 2;
    }
    FILE* out = fopen(destination, "wb");
    if (out == nullptr) {
        fprintf(stderr, "Volume output copy error: cannot open destination file: %s\n", destination);
        fclose(in);
        return 5;
    }
    static thread_local unsigned char buffer[65536];
    int rc = 0;
    for (;;) {
        size_t got = fread(buffer, 1, sizeof buffer, in);
        if (got > 0 && fwrite(buffer, 1, got, out) != got) {
            fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
            rc = 5;
            break;
        }
        if (got < sizeof buffer) {
            if (ferror(in)) {
                fprintf(stderr, "Volume output copy error: read failed: %s\n", source);
                rc = 2;
            }
            break;
        }
    }
    fclose(in);
    if (fclose(out) != 0 && rc == 0) {
        fprintf(stderr, "Volume output copy error: write failed: %s\n", destination);
        rc = 5;
    }
    return rc;
}
