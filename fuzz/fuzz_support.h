// Helpers shared by the fuzz harnesses: scratch files for readers that take a path,
// silenced console output, and the checks that end the run on an accepted bad value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Writes the input to `name` inside this process's scratch directory (made on first
// use, removed at exit) and returns the file's path.
std::string write_input(const uint8_t* data, size_t size, const char* name);

// Path of `name` inside the scratch directory (the file need not exist).
std::string scratch_path(const char* name);

// Sends standard output to /dev/null (the readers report on it at every input).
void silence_stdout();

// Prints "accepted bad value: ..." and aborts, so that the fuzzer keeps the input.
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Aborts when an accepted value is NaN or infinite; `what` and `index` name it.
void require_finite(double v, const char* what, long index = -1);

}  // namespace fuzz
