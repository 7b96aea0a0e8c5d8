// Array data files for outside plotting and analysis tools.
//
// ASCII array:  one value per line ("%1.12E\n"); read back as white-space
//               separated numbers, so any number layout is accepted.
// SG-plot:      one line per element, "%d   %1.12E   %1.12E\n" with the curve
//               number (1), the abscissa and the value; only the value is kept
//               on reading.
// PV-WAVE/IDL:  binary, little-endian: a 1024-byte header of 256 32-bit
//               integers (3, 0, 0, 2, num1, num2, 0, 0, 1, 0, 0, 0, 0, 0, 2,
//               then zeros) followed by the doubles of a type-1 signal file's
//               body (real, imaginary per sample, trace by trace).
//
// Status forms return a dataio_status; every operation leaves its result in
// dataio_last_status. Failures print "<context>: <system error text>" to
// standard error.
#pragma once

#include <cstdint>
#include <cstdio>

enum dataio_status {
    DATAIO_OK = 0,           // success, or the user cancelled
    DATAIO_ERR_NULLPTR = 1,  // a required count, array or file name was missing
    DATAIO_ERR_BADARG = 2,
    DATAIO_ERR_IO = 3,  // open, read, write or console input failed
};

extern dataio_status dataio_last_status;

constexpr int DATAIO_PVWAVE_HEADER_BYTES = 1024;
constexpr int DATAIO_MAX_FILENAME = 255;

// Readers take exactly *count items into array[0..*count-1] and stop with
// DATAIO_ERR_IO at the first item that cannot be read; elements read before
// keep their new values, the rest their old ones. A negative count is refused.
dataio_status AsciiIn_status(const int* count, double* array, const char* filename);
dataio_status SGFileIn_status(const int* count, double* array, const char* filename);
// Interactive forms: ask for the file name (one word, at most 255 characters).
void AsciiIn(const int* count, double* array);
void SGFileIn(const int* count, double* array);
// Menu: 1 ASCII, 2 SG-plot, any other number zeroes array[0..*count-1] and
// returns DATAIO_OK; unreadable console input gives DATAIO_ERR_IO.
dataio_status RealArrayIn(const int* count, double* array);

// Writers (files are created or replaced).
dataio_status AsciiOut_status(int count, const double* array, const char* filename);
// x may be null: the element index is then written as abscissa.
dataio_status SGFileOut_status(int count, const double* x, const double* array, const char* filename);

// Writes the 1024-byte PV-WAVE/IDL header for a signal of num1 samples per
// trace and num2 traces.
dataio_status dataio_write_pvwave_header_status(FILE* f, int32_t num1, int32_t num2);
// Converts a type-1 signal file into a PV-WAVE/IDL array file. The signal
// file's header must be well formed and the file must hold the body it
// announces; otherwise nothing is written. The output is written to a
// temporary file beside out_path and renamed over it when complete, so a
// failed export leaves no partial file and keeps an older one.
dataio_status dataio_signal_to_pvwave_status(const char* signal_path, const char* out_path);

// Reads one white-space delimited word of at most maxlen characters from a
// line of standard input into buf (size >= maxlen + 1), skipping empty lines.
// False at end of input or when the word is longer than maxlen.
bool dataio_read_word(char* buf, int maxlen);
