// Discrete Fourier transforms of the simulator.
//
// four2: in-place radix-2 transform of an interleaved complex array
//   (element k at data[2k] real, data[2k+1] imaginary).
//   Forward:  X[k] = sum_n x[n] exp(+2 pi i n k / nn), no scaling.
//   Inverse:  x[n] = (1/nn) sum_k X[k] exp(-2 pi i n k / nn).
// fft: centred transform of ap points held in separate real and imaginary
//   arrays; index ap/2 is time or frequency zero on both sides.
// Lengths must be powers of two. The wrappers keep their result in
// four3_last_status; on failure the data are left unchanged.
#pragma once

#include <cstddef>

enum four3_status {
    FOUR3_OK = 0,
    FOUR3_ERR_NULLPTR = 1,
    FOUR3_ERR_BADLEN = 2,
};

extern four3_status four3_last_status;

bool is_power_of_two(std::size_t n);

four3_status four2_status(double* data, std::size_t nn, bool inverse);
void four2(double* data, std::size_t nn, int isign);

four3_status fft_status(int ap, double* real, double* imag, bool inverse);
void fft(int ap, double* real, double* imag, int boole1);
