// Gradient waveforms on the sample grid of a sector: a constant gradient or
// the cosine / sine spirals whose integrals trace the 2D excitation k-space
// spiral. Results are kept in fieldgrad_last_status. Sample counts are limited
// to the 8192 samples of the engine's gradient arrays.
#pragma once

enum fieldgrad_status {
    FIELDGRAD_OK = 0,
    FIELDGRAD_ERR_NULLPTR = 1,
    FIELDGRAD_ERR_BADLEN = 2,
    FIELDGRAD_ERR_BADARG = 3,
    FIELDGRAD_ERR_IO = 4,
};

extern fieldgrad_status fieldgrad_last_status;

// Every sample = 2*pi*strength_hz_per_cm (rad/s per cm).
fieldgrad_status gradproc1_compute(int ap, double h, double* gs, double strength_hz_per_cm);
// Time derivative of A*(1-t/T)*cos(2*pi*n*t/T).
fieldgrad_status gradproc2_compute(int ap, double h, double* gs, double A, double n);
// Time derivative of A*(1-t/T)*sin(2*pi*n*t/T).
fieldgrad_status gradproc3_compute(int ap, double h, double* gs, double A, double n);

void CalcGrad(const int* ap, const double* h, double* gs);
void gradproc1(const int* ap, const double* h, double* gs);
void gradproc2(const int* ap, const double* h, double* gs);
void gradproc3(const int* ap, const double* h, double* gs);
