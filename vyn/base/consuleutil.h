// Console input of vyn: every dialogue and menu reads standard input through
// these helpers. At end of input (or on a read error) every reader reports
// failure, so a dialogue fed from a pipe or file always comes to an end.
#pragma once

// ---- line readers ----------------------------------------------------------
// The one line reader under all others: the rest of the current line into
// buffer (carriage returns skipped, at most size-1 characters kept, the rest
// of a longer line dropped and *truncated set when given). False at end of
// input or on a read error.
bool consule_read_line(char* buffer, int size, bool* truncated);
// Reads the rest of the current line into buffer: carriage returns are
// skipped, an empty line gives empty text, a longer line is cut to size-1
// characters and the rest of that line is dropped. False at end of input
// (a last line without '\n' is still returned first).
bool read_legacy_line(char* buffer, int size);
// As read_legacy_line; then every character other than a letter, digit, '.',
// '_' or '-' becomes '_'.
bool read_filename_stdin(char* buffer, int size);
// Prints prompt and reads one line holding exactly one integer (white space
// around it allowed, at most 255 characters); otherwise prints "Please enter a
// whole number." and asks again. False only at end of input.
bool read_int_prompt(const char* prompt, int* out);
// As read_int_prompt for one finite real number ("nan" and "inf" are
// refused); the repeat text is "Please enter a numeric value.".
bool read_double_prompt(const char* prompt, double* out);

// ---- token readers ---------------------------------------------------------
// Reads an integer with formatted input. 1: read; 0: no integer there
// (the offending text is left unread); -1: end of input.
int consule_read_int(int* out);
// Reads a real number with formatted input; same results as consule_read_int.
int consule_read_double(double* out);
// Reads one blank-delimited word of at most cap-1 characters (formatted
// input, the rest of the line stays); same results as consule_read_int.
int consule_read_word(char* buf, int cap);
// Drops one character (after an unreadable token); false at end of input.
bool consule_skip_char();
// Drops the rest of the current input line (up to and including '\n').
void consule_discard_line();
// True once standard input has ended.
bool consule_at_end();
// Reads a menu choice and drops the rest of its line. False at end of input or
// when no number was typed (the caller leaves its menu).
bool consule_read_menu_choice(int* choice);
// Asks "prompt" and reads 1/0; returns 1 for yes, 0 for no or unreadable input.
int consule_ask_yes_no(const char* prompt);

// ---- pauses and screen -----------------------------------------------------
// Prints prompt (no newline) and flushes. At a terminal it waits for a fresh
// line: what a token read left of the line before (its newline) is dropped
// first, so the pause is not answered by an earlier Enter. Otherwise it reads
// one character; never blocks past end of input.
void consule_pause(const char* prompt);
// Flushes standard output and waits for one character (the "wait for Enter"
// of a failure), but only when standard input is a terminal: a driven run
// never blocks.
void vyn_wait_enter_if_tty();
// Clears the console when mode is 3 (only when standard output is a terminal).
void ScreenMode(int mode);
// Clears the terminal and homes the cursor with ANSI escapes; nothing when
// standard output is not a terminal.
void ConsoleClearHome();
