// Basis-set and merge commands. The engine keeps its state in process-wide
// records, so every model runs in a child process of its own (as many at once
// as there are cores); a child writes its three files to temporaries and
// renames them only when all three are complete, then reports its basis.tsv
// row through a pipe. The parent writes basis.tsv for the models that
// succeeded. A spatially resolved model is run as one voxel sum: its signal is
// the signal of the summed density matrix (after the last sector before
// acquisition every voxel evolves under the same Hamiltonian).
#include "vynbasisset.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "observablespectrumcalculator.h"
#include "vyn.h"
#include "vyn_prop1d_fast.h"
#include "vyn_prop_fast.h"
#include "vyn_sequence.h"
#include "vynbasis_files.h"
#include "vynbasis_part.h"
#include "vynbasisplot.h"
#include "vynexpect.h"
#include "vynmodel.h"
#include "vynpaths.h"

namespace {

struct BasisJob {
    std::string model;     // absolute model path
    std::string name;      // model_name (or the file's stem)
    std::string sequence;  // sequence file stem
    bool refused = false;  // failed before running
    bool ok = false;
    pid_t pid = -1;
    int pipe_fd = -1;
    std::string row;
    std::chrono::steady_clock::time_point start;
    double seconds = 0.0;
    bool spatial = false;
    int grid[3] = {1, 1, 1};
    uint64_t hash = VYN_BASIS_HASH_START;  // model, spin system, sequence and waveforms
    std::shared_ptr<VYNBasisPart> merged;  // --basis-merge: the sum of the model's parts
};

// What every job of one command shares.
struct BasisRun {
    std::string out_dir;
    VYNBasisRunners runners{};
    bool range = false;  // --voxel-range: partial sums only
    long long first = 1, count = 0;
    const char* label = "Basis set";
};

CMatrix basis_sum;  // the voxel sum of the child's model (a CMatrix is 1 MiB)

struct Records {
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
};

const char* const kExtensions[3] = {".nii.gz", ".RAW", ".bin"};

std::string anchor(const char* arg, const char* start_dir) {
    if (arg[0] == '/' || !start_dir || !start_dir[0]) return arg;
    return std::string(start_dir) + "/" + arg;
}

std::string stem(const std::string& path, const char* ext) {
    size_t slash = path.find_last_of('/');
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t n = std::strlen(ext);
    if (leaf.size() > n && strcasecmp(leaf.c_str() + leaf.size() - n, ext) == 0) leaf.resize(leaf.size() - n);
    return leaf;
}

bool safe_name(const std::string& s) {
    if (s.empty() || s[0] == '.') return false;
    for (char c : s)
        if (c == '/' || c == '\t' || c == '\n' || c == '\\') return false;
    return true;
}

std::string part_name(const std::string& name, long long first, long long count) {
    return name + ".part-" + std::to_string(first) + "-" + std::to_string(count) + ".vynsum";
}

long long job_voxels(const BasisJob& job) { return static_cast<long long>(job.grid[0]) * job.grid[1] * job.grid[2]; }

// The identity of a model run: its file and every file it reads.
uint64_t model_hash(const std::string& model, const char* spin_file, const char* seq_file,
                    const VYNPulseSequenceDef& seq) {
    uint64_t h = VYN_BASIS_HASH_START;
    std::vector<std::string> files = {model, spin_file, seq_file};
    for (int s = 1; s <= seq.sector_count && s <= VYN_MODEL_SECTOR_CAP; ++s)
        files.push_back(seq.sectors[s].pulse_filename);
    for (const std::string& f : files)
        if (!vyn_basis_hash_file(f.c_str(), &h))
            for (char c : f) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return h;
}

// Refuses what the job cannot do (message printed); false when refused.
bool check_job(const BasisJob& job, const Records& r, const BasisRun& run, const std::vector<std::string>& names) {
    if (!safe_name(job.name)) {
        std::fprintf(stderr, "[VYN] %s: model %s: model_name '%s' cannot name a file.\n", run.label, job.model.c_str(),
                     job.name.c_str());
        return false;
    }
    if (!(r.cfg.b0_tesla > 0.0)) {
        std::fprintf(stderr,
                     "[VYN] %s: model %s (%s) has no field; add the line '# vyn_gui_b0_tesla: 3' (field in "
                     "tesla) and '# vyn_gui_receiver_carrier_ppm: 4.7' to it.\n",
                     run.label, job.name.c_str(), job.model.c_str());
        return false;
    }
    for (const auto& n : names)
        if (n == job.name) {
            std::fprintf(stderr, "[VYN] %s: model %s: a second model is named %s.\n", run.label, job.model.c_str(),
                         job.name.c_str());
            return false;
        }
    const long long voxels = job_voxels(job);
    if (run.range && !job.spatial) {
        std::fprintf(stderr,
                     "[VYN] %s: model %s is not spatially resolved; --voxel-range applies to spatially "
                     "resolved models only.\n",
                     run.label, job.name.c_str());
        return false;
    }
    if (run.range && run.first + run.count - 1 > voxels) {
        std::fprintf(stderr, "[VYN] %s: model %s: voxels %lld..%lld lie outside its grid of %lld voxels.\n", run.label,
                     job.name.c_str(), run.first, run.first + run.count - 1, voxels);
        return false;
    }
    return true;
}

// Loads the records to name the job and refuse it early (no field, duplicate
// name, an output that is an input). A model that does not load is left to
// the run, which reports it with the --run-model messages.
void prepare_job(BasisJob& job, const BasisRun& run, std::vector<std::string>& names,
                 std::vector<std::string>& inputs) {
    job.name = stem(job.model, ".vynmodel");
    std::unique_ptr<Records> r(new Records());
    char err[1024] = "";
    if (VYNModel_LoadText(job.model.c_str(), &r->spin, &r->seq, &r->cfg, err, sizeof err) != VYN_MODEL_OK) return;
    if (r->cfg.model_name[0]) job.name = r->cfg.model_name;
    char spin_file[VYN_PATH_CAP] = "", seq_file[VYN_PATH_CAP] = "";
    vyn_model_referenced_files(job.model.c_str(), spin_file, seq_file, sizeof spin_file);
    job.sequence = stem(seq_file, ".vynseq");
    inputs.push_back(spin_file);
    inputs.push_back(seq_file);
    job.spatial = r->seq.sequence_type == 1;
    if (job.spatial) {
        job.grid[0] = r->cfg.ndx;
        job.grid[1] = r->cfg.ndy;
        job.grid[2] = r->cfg.ndz;
    }
    job.hash = model_hash(job.model, spin_file, seq_file, r->seq);
    job.refused = !check_job(job, *r, run, names);
    names.push_back(job.name);
}

bool read_receiver_signal(const char* path, std::vector<double>& re, std::vector<double>& im) {
    int32_t type = 0, np = 0, traces = 0;
    FILE* f = binfh_open_checked(path, &type, &np, &traces);
    if (!f) return false;
    bool ok = type == BINFH_TYPE_SIGNAL && np >= 1 && traces == 1;
    std::vector<double> buf(ok ? 2 * static_cast<size_t>(np) : 0);
    ok = ok && binfh_fread_doubles_le(buf.data(), buf.size(), f);
    std::fclose(f);
    if (!ok) return false;
    re.resize(np);
    im.resize(np);
    for (int k = 0; k < np; ++k) {
        re[k] = buf[2 * k];
        im[k] = buf[2 * k + 1];
    }
    return true;
}

// Dwell time of the acquisition sector of the activated model.
double acquisition_dwell() {
    const VYNSequenceState& q = vyn_sequence;
    for (int s = 1; s <= q.nos; ++s)
        if (vyn_sector_is_acquisition(s) && q.sectype[s] == 1 && q.noti[s] >= 1) return q.sectdur[s] / q.noti[s];
    return 0.0;
}

// Runs the job's spatial model as one voxel sum (voxels first..first+count-1)
// into basis_sum, or takes the merged sum; 0 on success.
int spatial_sum(const BasisJob& job, const BasisRun& run, long long first, long long count) {
    int rc = run.runners.prepare_model(job.model.c_str());
    std::fflush(stdout);
    if (rc != 0) return rc;
    if (job.merged) {
        if (!BuildSpinSystemFromPulseSequenceGlobals() || vyn_spin.n != job.merged->states) {
            std::fprintf(stderr, "[VYN] %s: model %s has %d states, its parts %d.\n", run.label, job.name.c_str(),
                         vyn_spin.n, job.merged->states);
            return 1;
        }
        const int n = job.merged->states;
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) basis_sum(r, c) = job.merged->sum[static_cast<size_t>(r - 1) * n + c - 1];
        return 0;
    }
    if (!SimulateLoadedPulseSequenceVoxelSum(static_cast<int>(first), static_cast<int>(count), basis_sum)) {
        std::fprintf(stderr, "[VYN] %s: model %s: the voxel sum failed.\n", run.label, job.name.c_str());
        return 1;
    }
    return 0;
}

// The receiver signal of the job's model: the run's result of a 1D model, the
// signal of the voxel sum of a spatial one. 0 on success.
int job_signal(const BasisJob& job, const BasisRun& run, std::vector<double>& re, std::vector<double>& im) {
    const char* signal_file = vyn_sequence.resultflnm;
    if (job.spatial || job.merged) {
        int rc = spatial_sum(job, run, 1, job_voxels(job));
        if (rc != 0) return rc;
        // In the run's private work directory.
        signal_file = "voxel-sum-signal.bin";
        if (!VYNWriteDensitySignal(basis_sum, signal_file)) return 1;
    } else {
        int rc = run.runners.run_model(job.model.c_str());
        std::fflush(stdout);
        if (rc != 0) return rc;
    }
    if (!read_receiver_signal(signal_file, re, im)) {
        std::fprintf(stderr,
                     "[VYN] %s: model %s wrote no single receiver signal to %s (a model with an acquisition "
                     "sector is needed).\n",
                     run.label, job.name.c_str(), signal_file);
        return 1;
    }
    return 0;
}

// basis_sum as the part first..first+count-1 of the job's model in OUT_DIR; 0 on success.
int write_sum_part(const BasisJob& job, const BasisRun& run, long long first, long long count) {
    VYNBasisPart part;
    part.model_name = job.name;
    part.model_file = job.model;
    part.model_hash = job.hash;
    for (int i = 0; i < 3; ++i) part.grid[i] = job.grid[i];
    part.first = first;
    part.count = count;
    part.states = vyn_spin.n;
    const int n = part.states;
    part.sum.resize(static_cast<size_t>(n) * n);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) part.sum[static_cast<size_t>(r - 1) * n + c - 1] = basis_sum(r, c);
    const std::string path = run.out_dir + "/" + part_name(job.name, first, count);
    std::string err;
    if (!vyn_basis_write_part(path.c_str(), part, &err)) {
        std::fprintf(stderr, "[VYN] %s: model %s: %s\n", run.label, job.name.c_str(), err.c_str());
        return 1;
    }
    return 0;
}

// --voxel-range: the partial sum of the job's model to OUT_DIR; its row names the part.
int child_part(const BasisJob& job, const BasisRun& run, int fd) {
    int rc = spatial_sum(job, run, run.first, run.count);
    if (rc == 0) rc = write_sum_part(job, run, run.first, run.count);
    if (rc != 0) return rc;
    const std::string row = job.name + "\t" + part_name(job.name, run.first, run.count);
    return write(fd, row.data(), row.size()) == static_cast<ssize_t>(row.size()) ? 0 : 1;
}

// Child: run the model, write the three files, send the row. Exit code 0 on success.
int child_run(const BasisJob& job, const BasisRun& run, int fd) {
    if (run.range) return child_part(job, run, fd);
    std::vector<double> re, im;
    int rc = job_signal(job, run, re, im);
    // A merge keeps the whole sum beside the basis files, in full precision.
    if (rc == 0 && job.merged) rc = write_sum_part(job, run, 1, job_voxels(job));
    if (rc != 0) return rc;
    const std::string& out_dir = run.out_dir;
    VYNBasisSignal sig;
    sig.name = job.name;
    sig.fid = vyn_basis_from_receiver(re.data(), im.data(), static_cast<int>(re.size()));
    sig.dwell_s = acquisition_dwell();
    sig.spectrometer_mhz = VYN_PROTON_GAMMA_MHZ_PER_T * vyn_sequence.vyn_gui_b0_tesla;
    sig.carrier_ppm = vyn_sequence.vyn_gui_receiver_carrier_ppm;
    sig.model_path = job.model;
    sig.sequence_name = job.sequence;
    const std::string base = out_dir + "/" + job.name;
    const std::string tmp = out_dir + "/." + job.name + ".part" + std::to_string(static_cast<long>(getpid()));
    std::string err;
    bool ok = vyn_basis_write_nifti((tmp + kExtensions[0]).c_str(), sig, &err) &&
              vyn_basis_write_raw((tmp + kExtensions[1]).c_str(), sig, &err) &&
              vyn_basis_write_pattern((tmp + kExtensions[2]).c_str(), sig, &err);
    for (int e = 0; ok && e < 3; ++e)
        if (std::rename((tmp + kExtensions[e]).c_str(), (base + kExtensions[e]).c_str()) != 0) {
            err = "could not rename into " + base + kExtensions[e] + ": " + std::strerror(errno);
            ok = false;
        }
    if (!ok) {
        for (const char* ext : kExtensions) std::remove((tmp + ext).c_str());
        std::fprintf(stderr, "[VYN] %s: model %s: %s\n", run.label, job.name.c_str(), err.c_str());
        return 1;
    }
    char row[2048];
    int len =
        std::snprintf(row, sizeof row, "%s\t%s.nii.gz\t%s.RAW\t%s.bin\t%zu\t%.12g\t%.12g\t%.12g\t%s\t%d",
                      job.name.c_str(), job.name.c_str(), job.name.c_str(), job.name.c_str(), sig.fid.size(),
                      sig.dwell_s, vyn_sequence.vyn_gui_b0_tesla, sig.carrier_ppm, job.sequence.c_str(), vyn_spin.n);
    if (len > 0 && write(fd, row, static_cast<size_t>(len)) != len) return 1;
    return 0;
}

// threads: worker threads of the child's engine (0 = the engine's default).
bool start_job(BasisJob& job, const BasisRun& run, int threads) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    job.start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        if (threads > 0) {
            vyn_spatial_options.threads = threads;
            vyn_1d_options.threads = threads;
        }
        int rc = child_run(job, run, fds[1]);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(rc == 0 ? 0 : 1);
    }
    close(fds[1]);
    job.pid = pid;
    job.pipe_fd = fds[0];
    return true;
}

void finish_job(BasisJob& job, int status, const char* label) {
    char buf[4096];
    ssize_t got;
    while ((got = read(job.pipe_fd, buf, sizeof buf)) > 0) job.row.append(buf, static_cast<size_t>(got));
    close(job.pipe_fd);
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.start).count();
    job.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !job.row.empty();
    if (!job.ok) {
        // A child that died mid-write may leave its temporaries behind.
        std::fprintf(stderr, "[VYN] %s: model %s failed (%s).\n", label, job.name.c_str(), job.model.c_str());
    }
}

void run_all(std::vector<BasisJob>& jobs, const BasisRun& run) {
    // The cores this process may use (taskset, cgroups and Slurm narrow them).
    cpu_set_t set;
    long cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
    const size_t max_running = cores > 0 ? static_cast<size_t>(cores) : 1;
    // Children running side by side share the cores instead of each starting a
    // worker per core (the results do not depend on the thread count).
    size_t to_run = 0;
    for (const BasisJob& j : jobs) to_run += j.refused ? 0 : 1;
    const size_t side_by_side = to_run < max_running ? to_run : max_running;
    const int threads = side_by_side > 1 ? static_cast<int>(max_running / side_by_side) : 0;
    size_t next = 0, running = 0;
    for (;;) {
        while (running < max_running && next < jobs.size()) {
            BasisJob& j = jobs[next++];
            if (j.refused) continue;
            if (start_job(j, run, threads))
                ++running;
            else
                std::fprintf(stderr, "[VYN] %s: model %s could not be started: %s\n", run.label, j.name.c_str(),
                             std::strerror(errno));
        }
        if (running == 0) return;
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (BasisJob& j : jobs)
            if (j.pid == pid) {
                finish_job(j, status, run.label);
                j.pid = -1;
                --running;
            }
    }
}

bool write_table(const std::string& out_dir, const std::vector<BasisJob>& jobs) {
    const std::string path = out_dir + "/basis.tsv";
    char tmp[VYN_PATH_CAP + 64];
    FILE* f = binfh_replace_begin(path.c_str(), "w", tmp, sizeof tmp);
    if (!f) return false;
    bool ok = std::fputs("name\tnifti\traw\tpattern\tpoints\tdwell_s\tfield_t\tcarrier_ppm\tsequence\tstates\trun_s\n",
                         f) >= 0;
    for (const BasisJob& j : jobs)
        if (ok && j.ok) ok = std::fprintf(f, "%s\t%.3f\n", j.row.c_str(), j.seconds) > 0;
    if (!ok) {
        binfh_replace_abort(f, tmp);
        return false;
    }
    return binfh_replace_commit(f, tmp, path.c_str());
}

bool outputs_clash(const std::vector<BasisJob>& jobs, const BasisRun& run, const std::vector<std::string>& in) {
    std::vector<const char*> inputs;
    for (const auto& s : in) inputs.push_back(s.c_str());
    for (const auto& j : jobs) inputs.push_back(j.model.c_str());
    std::vector<std::string> outputs = {run.out_dir + "/basis.tsv"};
    for (const auto& j : jobs) {
        if (run.range) outputs.push_back(run.out_dir + "/" + part_name(j.name, run.first, run.count));
        if (j.merged) outputs.push_back(run.out_dir + "/" + part_name(j.name, 1, job_voxels(j)));
        for (const char* ext : kExtensions) outputs.push_back(run.out_dir + "/" + j.name + ext);
    }
    for (const auto& o : outputs) {
        const char* hit = vyn_output_names_an_input(o.c_str(), inputs.data(), static_cast<int>(inputs.size()));
        if (hit) {
            std::fprintf(stderr, "[VYN] %s: output file %s is one of the command's inputs (%s).\n", run.label,
                         o.c_str(), hit);
            return true;
        }
    }
    return false;
}

// Plot entries from the rows of the models written (name, files, points, dwell, field, carrier, ...).
std::vector<VYNBasisPlotEntry> plot_entries(const std::vector<BasisJob>& jobs) {
    std::vector<VYNBasisPlotEntry> out;
    for (const BasisJob& j : jobs) {
        if (!j.ok) continue;
        std::vector<std::string> f;
        size_t pos = 0;
        for (;;) {
            size_t tab = j.row.find('\t', pos);
            f.push_back(j.row.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos) break;
            pos = tab + 1;
        }
        if (f.size() < 8) continue;
        VYNBasisPlotEntry e;
        e.name = j.name;
        e.points = std::atoi(f[4].c_str());
        e.dwell_s = std::atof(f[5].c_str());
        e.spectrometer_mhz = VYN_PROTON_GAMMA_MHZ_PER_T * std::atof(f[6].c_str());
        e.carrier_ppm = std::atof(f[7].c_str());
        if (e.points > 0 && e.dwell_s > 0.0 && e.spectrometer_mhz > 0.0) out.push_back(e);
    }
    return out;
}

}  // namespace

namespace {
// Creates OUT_DIR when missing; false (message printed) when it is no directory.
bool make_out_dir(const BasisRun& run) {
    struct stat st;
    if (mkdir(run.out_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "[VYN] %s: could not create %s: %s\n", run.label, run.out_dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (stat(run.out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "[VYN] %s: %s is not a directory\n", run.label, run.out_dir.c_str());
        return false;
    }
    return true;
}

// Runs the jobs; then basis.tsv and the plot (not for partial sums). The exit code.
int run_and_report(std::vector<BasisJob>& jobs, const BasisRun& run, int refused_before) {
    run_all(jobs, run);
    int failed = refused_before;
    for (const BasisJob& j : jobs)
        if (!j.ok) ++failed;
    const int total = static_cast<int>(jobs.size()) + refused_before;
    if (run.range) {
        std::printf("[VYN] %s: partial sums of voxels %lld..%lld of %d of %d models written to %s\n", run.label,
                    run.first, run.first + run.count - 1, total - failed, total, run.out_dir.c_str());
    } else {
        // With no model written, an earlier basis.tsv stays as it was.
        if (failed < total && !write_table(run.out_dir, jobs)) {
            std::fprintf(stderr, "[VYN] %s: could not write %s/basis.tsv\n", run.label, run.out_dir.c_str());
            return 1;
        }
        const std::vector<VYNBasisPlotEntry> entries = plot_entries(jobs);
        if (!entries.empty()) vyn_basis_plot(run.out_dir, entries);
        std::printf("[VYN] %s: %d of %d models written to %s\n", run.label, total - failed, total, run.out_dir.c_str());
    }
    if (failed) std::fprintf(stderr, "[VYN] %s: %d model(s) failed\n", run.label, failed);
    return failed ? 1 : 0;
}

// "FIRST:COUNT", both positive integers.
bool parse_range(const char* text, long long* first, long long* count) {
    char* e = nullptr;
    errno = 0;
    const long long f = std::strtoll(text, &e, 10);
    if (e == text || *e != ':' || errno != 0 || f < 1 || f > INT_MAX) return false;
    const char* c_text = e + 1;
    const long long c = std::strtoll(c_text, &e, 10);
    if (e == c_text || *e != '\0' || errno != 0 || c < 1 || c > INT_MAX) return false;
    *first = f;
    *count = c;
    return true;
}
}  // namespace

int vyn_basis_set_main(int count, char** args, const char* start_dir, const VYNBasisRunners& runners) {
    BasisRun run;
    run.runners = runners;
    if (count >= 1 && std::strcmp(args[0], "--voxel-range") == 0) {
        if (count < 2 || !parse_range(args[1], &run.first, &run.count)) {
            std::fprintf(stderr, "[VYN] --voxel-range needs FIRST:COUNT (two positive integers, voxels 1-based)\n");
            return 1;
        }
        run.range = true;
        count -= 2;
        args += 2;
    }
    if (count < 2 || !runners.run_model || !runners.prepare_model) {
        std::fprintf(stderr, "[VYN] --basis-set requires an output directory and at least one .vynmodel path\n");
        return 1;
    }
    for (int i = 0; i < count; ++i)
        if (std::strncmp(args[i], "--", 2) == 0) {
            std::fprintf(stderr, "[VYN] --basis-set: %s is no path; --voxel-range comes right after --basis-set\n",
                         args[i]);
            return 1;
        }
    run.out_dir = anchor(args[0], start_dir);
    if (!make_out_dir(run)) return 1;
    std::vector<BasisJob> jobs(static_cast<size_t>(count - 1));
    std::vector<std::string> names, inputs;
    for (int i = 1; i < count; ++i) {
        jobs[i - 1].model = anchor(args[i], start_dir);
        prepare_job(jobs[i - 1], run, names, inputs);
    }
    if (outputs_clash(jobs, run, inputs)) return 1;
    return run_and_report(jobs, run, 0);
}

namespace {
// Reads the parts and sums those of each model into a job; a model whose
// parts do not fit together is reported and counted in *refused.
bool merge_jobs(int count, char** args, const char* start_dir, std::vector<BasisJob>& jobs,
                std::vector<std::string>& inputs, int* refused) {
    std::vector<VYNBasisPart> parts(static_cast<size_t>(count));
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        paths.push_back(anchor(args[i], start_dir));
        std::string err;
        if (!vyn_basis_read_part(paths.back().c_str(), &parts[i], &err)) {
            std::fprintf(stderr, "[VYN] Basis merge: %s: %s\n", paths.back().c_str(), err.c_str());
            return false;
        }
        inputs.push_back(paths.back());
    }
    std::vector<char> taken(parts.size(), 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (taken[i]) continue;
        std::vector<VYNBasisPart> group;
        std::vector<std::string> names;
        for (size_t k = i; k < parts.size(); ++k)
            if (!taken[k] && parts[k].model_name == parts[i].model_name) {
                taken[k] = 1;
                group.push_back(parts[k]);
                names.push_back(paths[k]);
            }
        std::shared_ptr<VYNBasisPart> total(new VYNBasisPart());
        std::string err;
        if (!vyn_basis_merge_parts(group, names, total.get(), &err)) {
            std::fprintf(stderr, "[VYN] Basis merge: model %s: %s\n", parts[i].model_name.c_str(), err.c_str());
            ++*refused;
            continue;
        }
        BasisJob job;
        job.model = total->model_file;
        job.merged = total;
        jobs.push_back(job);
    }
    return true;
}

// The model a merged job names must be the one its parts were computed from.
void check_merged(BasisJob& job) {
    const VYNBasisPart& m = *job.merged;
    const char* why = nullptr;
    if (job.name != m.model_name)
        why = "its model_name is no longer the parts' one";
    else if (job.hash != m.model_hash)
        why = "the model or a file it reads changed since the parts were written";
    else if (!job.spatial || job.grid[0] != m.grid[0] || job.grid[1] != m.grid[1] || job.grid[2] != m.grid[2])
        why = "its grid is not the parts' grid";
    if (!why) return;
    std::fprintf(stderr, "[VYN] Basis merge: model %s (%s): %s.\n", m.model_name.c_str(), job.model.c_str(), why);
    job.refused = true;
}
}  // namespace

int vyn_basis_merge_main(int count, char** args, const char* start_dir, const VYNBasisRunners& runners) {
    BasisRun run;
    run.runners = runners;
    run.label = "Basis merge";
    if (count < 2 || !runners.run_model || !runners.prepare_model) {
        std::fprintf(stderr, "[VYN] --basis-merge requires an output directory and at least one part file\n");
        return 1;
    }
    run.out_dir = anchor(args[0], start_dir);
    std::vector<BasisJob> jobs;
    std::vector<std::string> names, inputs;
    int refused = 0;
    if (!merge_jobs(count - 1, args + 1, start_dir, jobs, inputs, &refused)) return 1;
    if (!make_out_dir(run)) return 1;
    for (BasisJob& job : jobs) {
        prepare_job(job, run, names, inputs);
        if (!job.refused) check_merged(job);
    }
    if (outputs_clash(jobs, run, inputs)) return 1;
    return run_and_report(jobs, run, refused);
}
