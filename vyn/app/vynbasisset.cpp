// Basis-set command. The engine keeps its state in process-wide records, so
// every model runs in a child process of its own (as many at once as there
// are cores); a child writes its three files to temporaries and renames them
// only when all three are complete, then reports its basis.tsv row through a
// pipe. The parent writes basis.tsv for the models that succeeded.
#include "vynbasisset.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "observablespectrumcalculator.h"
#include "vyn.h"
#include "vynbasis_files.h"
#include "vynbasisplot.h"
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
};

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

// Loads the records to name the job and refuse it early (no field, duplicate
// name, an output that is an input). A model that does not load is left to
// the run, which reports it with the --run-model messages.
void prepare_job(BasisJob& job, const std::string& out_dir, std::vector<std::string>& names,
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
    if (!safe_name(job.name)) {
        std::fprintf(stderr, "[VYN] Basis set: model %s: model_name '%s' cannot name a file.\n", job.model.c_str(),
                     job.name.c_str());
        job.refused = true;
    } else if (!(r->cfg.b0_tesla > 0.0)) {
        std::fprintf(stderr,
                     "[VYN] Basis set: model %s (%s) has no field; add the line '# vyn_gui_b0_tesla: 3' (field in "
                     "tesla) and '# vyn_gui_receiver_carrier_ppm: 4.7' to it.\n",
                     job.name.c_str(), job.model.c_str());
        job.refused = true;
    } else {
        for (const auto& n : names)
            if (n == job.name) {
                std::fprintf(stderr, "[VYN] Basis set: model %s: a second model is named %s.\n", job.model.c_str(),
                             job.name.c_str());
                job.refused = true;
            }
    }
    names.push_back(job.name);
    (void)out_dir;
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

// Child: run the model, write the three files, send the row. Exit code 0 on success.
int child_run(const BasisJob& job, const std::string& out_dir, VYNRunModelFn run_model, int fd) {
    int rc = run_model(job.model.c_str());
    std::fflush(stdout);
    if (rc != 0) return rc;
    std::vector<double> re, im;
    if (!read_receiver_signal(vyn_sequence.resultflnm, re, im)) {
        std::fprintf(stderr,
                     "[VYN] Basis set: model %s wrote no single receiver signal to %s (a 1D model with an "
                     "acquisition sector is needed).\n",
                     job.name.c_str(), vyn_sequence.resultflnm);
        return 1;
    }
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
        std::fprintf(stderr, "[VYN] Basis set: model %s: %s\n", job.name.c_str(), err.c_str());
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

bool start_job(BasisJob& job, const std::string& out_dir, VYNRunModelFn run_model) {
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
        int rc = child_run(job, out_dir, run_model, fds[1]);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(rc == 0 ? 0 : 1);
    }
    close(fds[1]);
    job.pid = pid;
    job.pipe_fd = fds[0];
    return true;
}

void finish_job(BasisJob& job, int status) {
    char buf[4096];
    ssize_t got;
    while ((got = read(job.pipe_fd, buf, sizeof buf)) > 0) job.row.append(buf, static_cast<size_t>(got));
    close(job.pipe_fd);
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.start).count();
    job.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !job.row.empty();
    if (!job.ok) {
        // A child that died mid-write may leave its temporaries behind.
        std::fprintf(stderr, "[VYN] Basis set: model %s failed (%s).\n", job.name.c_str(), job.model.c_str());
    }
}

void run_all(std::vector<BasisJob>& jobs, const std::string& out_dir, VYNRunModelFn run_model) {
    // The cores this process may use (taskset, cgroups and Slurm narrow them).
    cpu_set_t set;
    long cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
    const size_t max_running = cores > 0 ? static_cast<size_t>(cores) : 1;
    size_t next = 0, running = 0;
    for (;;) {
        while (running < max_running && next < jobs.size()) {
            BasisJob& j = jobs[next++];
            if (j.refused) continue;
            if (start_job(j, out_dir, run_model))
                ++running;
            else
                std::fprintf(stderr, "[VYN] Basis set: model %s could not be started: %s\n", j.name.c_str(),
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
                finish_job(j, status);
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

bool outputs_clash(const std::vector<BasisJob>& jobs, const std::string& out_dir, const std::vector<std::string>& in) {
    std::vector<const char*> inputs;
    for (const auto& s : in) inputs.push_back(s.c_str());
    for (const auto& j : jobs) inputs.push_back(j.model.c_str());
    std::vector<std::string> outputs = {out_dir + "/basis.tsv"};
    for (const auto& j : jobs)
        for (const char* ext : kExtensions) outputs.push_back(out_dir + "/" + j.name + ext);
    for (const auto& o : outputs) {
        const char* hit = vyn_output_names_an_input(o.c_str(), inputs.data(), static_cast<int>(inputs.size()));
        if (hit) {
            std::fprintf(stderr, "[VYN] Basis set: output file %s is one of the command's inputs (%s).\n", o.c_str(),
                         hit);
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

int vyn_basis_set_main(int count, char** args, const char* start_dir, VYNRunModelFn run_model) {
    if (count < 2 || !run_model) {
        std::fprintf(stderr, "[VYN] --basis-set requires an output directory and at least one .vynmodel path\n");
        return 1;
    }
    const std::string out_dir = anchor(args[0], start_dir);
    struct stat st;
    if (mkdir(out_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "[VYN] Basis set: could not create %s: %s\n", out_dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (stat(out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "[VYN] Basis set: %s is not a directory\n", out_dir.c_str());
        return 1;
    }
    std::vector<BasisJob> jobs(static_cast<size_t>(count - 1));
    std::vector<std::string> names, inputs;
    for (int i = 1; i < count; ++i) {
        jobs[i - 1].model = anchor(args[i], start_dir);
        prepare_job(jobs[i - 1], out_dir, names, inputs);
    }
    if (outputs_clash(jobs, out_dir, inputs)) return 1;
    run_all(jobs, out_dir, run_model);
    int failed = 0;
    for (const BasisJob& j : jobs)
        if (!j.ok) ++failed;
    // With no model written, an earlier basis.tsv stays as it was.
    if (failed < count - 1 && !write_table(out_dir, jobs)) {
        std::fprintf(stderr, "[VYN] Basis set: could not write %s/basis.tsv\n", out_dir.c_str());
        return 1;
    }
    const std::vector<VYNBasisPlotEntry> entries = plot_entries(jobs);
    if (!entries.empty()) vyn_basis_plot(out_dir, entries);
    std::printf("[VYN] Basis set: %d of %d models written to %s\n", count - 1 - failed, count - 1, out_dir.c_str());
    if (failed) std::fprintf(stderr, "[VYN] Basis set: %d model(s) failed\n", failed);
    return failed ? 1 : 0;
}
