// CPU worker-thread path: fills the ten feature maps with POSIX threads, each worker
// owning one scratch slot. Two variants split the work differently: one task per column
// of a slice (at most 8 threads at a time) or one task per slice (at most `cores`).
#ifndef TEXEL_CPU_H
#define TEXEL_CPU_H

#include <stdint.h>

// Task record of one worker slot.
struct TexelTask {
    const int32_t* image;
    int z;
    int x;
    int L;
    int P;
    int Q;
    int X;
    int Y;
    float* const* features;
    struct TexelScratch* scratch;
};

enum { TEXEL_COLUMN_SLOTS = 8 };

// Both return 0 when every element of every map has been written, 1 when the scratch
// memory could not be allocated (the maps are then incomplete).
int pComputeAllCooccurenceMatricesColumnLevel(const int32_t* image, int X, int Y, int Z, int P, int Q, int L,
                                              float* const* features);
int pComputeAllCooccurenceMatricesImageLevel(const int32_t* image, int X, int Y, int Z, int P, int Q, int L,
                                             float* const* features, int cores);

// Column and slice workers: one column (x, all y) or one slice of the task's z.
void texel_column_worker(const TexelTask* t);
void texel_slice_worker(const TexelTask* t);

// Number of logical processors online (at least 1).
int texel_processor_count(void);

#endif
