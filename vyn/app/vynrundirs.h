// Clean-up of run scratch directories left by vyn processes that have ended
// (killed runs never remove their own): E/runtime/runs/<leaf>_<pid>.
#pragma once

#include <sys/types.h>

#include <cstddef>

// What one sweep removed.
struct VYNRunDirSweep {
    int removed;      // directories removed
    long long bytes;  // size of the files removed in them
};

// 1 when name has the form of a run scratch directory, "<leaf>_<pid>" with a
// sanitised model short name as leaf; *pid receives the process id.
int vyn_rundirs_parse_name(const char* name, pid_t* pid);

// Removes every directory of runs_dir that has the run-directory form, is
// owned by this user and whose owner has ended; entries of any other form,
// links and files are left alone, and links inside are removed, never
// followed. The owner has ended when its id is not in use, or when the
// directory's lock file can be locked (the id was reused); the own process, a
// process holding the lock and a live one without lock file keep theirs. A
// missing runs_dir removes nothing.
VYNRunDirSweep vyn_rundirs_sweep(const char* runs_dir);

// Sweeps the runs directory of this installation and prints one line with
// what was freed when something was removed.
void vyn_rundirs_clean_at_start();

// "512 bytes", "3.0 KiB", "1.5 MiB", "2.00 GiB".
void vyn_rundirs_format_size(long long bytes, char* out, size_t outsz);
