// Line readers of the pulse dialogues (whole-line answers, repeated until
// valid, false only at the end of input).
#pragma once

bool rfl_read_int_prompt(const char* prompt, int* out);
bool rfl_read_double_prompt(const char* prompt, double* out);
// Reads the rest of a line (at most size-1 characters kept, no newline).
bool rfl_read_line(char* buffer, int size);
