// Console helpers shared by the menus and dialogues of vyn.
#pragma once

// Clears the console when mode is 3 (only when standard output is a terminal).
void ScreenMode(int mode);
// Clears the terminal and homes the cursor with ANSI escapes; nothing when
// standard output is not a terminal.
void ConsoleClearHome();
// Reads an integer with formatted input. 1: read; 0: no integer there
// (the offending text is left unread); -1: end of input.
int consule_read_int(int* out);
// Reads a real number with formatted input; same results as consule_read_int.
int consule_read_double(double* out);
// Drops the rest of the current input line (up to and including '\n').
void consule_discard_line();
// Reads a menu choice and drops the rest of its line. False at end of input or
// when no number was typed (the caller leaves its menu).
bool consule_read_menu_choice(int* choice);
// Asks "prompt" and reads 1/0; returns 1 for yes, 0 for no or unreadable input.
int consule_ask_yes_no(const char* prompt);
// Prints prompt (no newline), flushes and reads one character; never blocks past end of input.
void consule_pause(const char* prompt);
