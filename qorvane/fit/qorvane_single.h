// One single-spectrum fit in its own fit context on the calling thread.
#pragma once
#include <cstddef>

enum { QORVANE_CMDLINE_RECORD_SIZE = 4200 };

struct QorvaneSingleFitOutcome {
    int fatal;          // 1 when a fatal condition inside the fit stopped it
    int code;           // the exit code that condition carries
    char message[512];  // its message (empty when none)
    int not_converged;  // 1 when a strategy step stopped at its iteration limit
};

// Runs the fit of <work_dir>/<input> with the given parameter file; `record` is the
// command-line record written into the .exl file. Returns the exit code of a
// single-spectrum run (0 success; 1 path restriction; 6 internal error; a fatal
// condition's own code, also reported in *outcome).
int qorvane_single_fit_run(const char* work_dir, const char* input, const char* parameter_file, const char* record,
                           QorvaneSingleFitOutcome* outcome);
// The same, with the verbose fit-control file written to "<verbose_stem>_verbose.par"
// (null or empty: beside the parameter file). Volume mode keeps it in the work directory.
int qorvane_single_fit_run_at(const char* work_dir, const char* input, const char* parameter_file, const char* record,
                              const char* verbose_stem, QorvaneSingleFitOutcome* outcome);

struct QorvaneMemoryFiles;
// Where a volume voxel's fit takes its spectrum and puts its result files: `spectrum` (bytes
// of interleaved little-endian float32 pairs, as a spectrum file holds them) is read instead
// of <work_dir>/<input>, and every file the fit writes goes into `outputs` (qmemfile.h) under
// the path it would have had. The names inside the results are those of a fit of files.
struct QorvaneFitMemoryIo {
    const unsigned char* spectrum;
    size_t spectrum_bytes;
    QorvaneMemoryFiles* outputs;
};
int qorvane_single_fit_run_memory(const char* work_dir, const char* input, const char* parameter_file,
                                  const char* record, const char* verbose_stem, const QorvaneFitMemoryIo* io,
                                  QorvaneSingleFitOutcome* outcome);

// Fits keep one context per thread and clear what they used afterwards: 1 when the calling
// thread's kept context is all zero again (as freshly allocated), or when it has none.
int qorvane_thread_fit_context_is_clear();
