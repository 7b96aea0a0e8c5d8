// texel-maps: voxel-wise co-occurrence texture maps of a NIfTI volume, optionally inside a
// mask, with the library's per-voxel code. Reads IN, discretises its intensities, computes
// the ten maps and writes them as float32 NIfTI images into OUT_DIR; every output goes to a
// temporary first and is renamed only when everything has succeeded.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "texel_cpu.h"
#include "texel_gpu.h"
#include "texel_levels.h"
#include "texel_masked.h"
#include "texel_nifti.h"

namespace {

const char* const kMapNames[TEXEL_NUM_FEATURES] = {"contrast",    "dissimilarity",   "homogeneity", "asm",
                                                   "energy",      "max_probability", "entropy",     "glcm_mean",
                                                   "correlation", "glcm_variance"};

const char kUsage[] =
    "usage: texel-maps IN.nii[.gz] OUT_DIR --window P,Q [--levels L | --bin-width W]\n"
    "                  [--mask MASK.nii[.gz]] [--threads N] [--gpu auto|off]\n"
    "  --window P,Q     half window sizes (window (2P+1) x (2Q+1) in each slice), P, Q >= 1\n"
    "  --levels L       L grey levels (2 .. 256) over the region's min .. max (default 32)\n"
    "  --bin-width W    bins of width W from the region's minimum (at most 256 bins)\n"
    "  --mask MASK      same grid as IN, non-zero = inside\n"
    "  --threads N      CPU worker threads (default: all processors)\n"
    "  --gpu auto|off   try the CUDA path first (auto, default) or not\n";

// Largest volume accepted (voxels): the ten maps of it need 40 bytes per voxel.
const int64_t kMaxVoxels = (int64_t)1 << 31;

struct MapsOptions {
    const char* in = nullptr;
    const char* out = nullptr;
    const char* mask = nullptr;
    int P = -1, Q = -1;
    int levels = 0;
    double bin_width = 0.0;
    int threads = 0;
    bool gpu = true;
};

struct MapsJob {
    TexelVolume image, mask;
    std::vector<uint8_t> inside;  // empty: no mask
    std::vector<int32_t> levels;
    TexelLevelsInfo info{};
    std::vector<int64_t> voxels;
    std::vector<float> maps[TEXEL_NUM_FEATURES];
    const char* path = "CPU";
    double seconds = 0.0, cpu_seconds = 0.0;
};

int parse_int(const char* s, long lo, long hi, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(s, &end, 10);
    if (errno || end == s || *end != '\0' || v < lo || v > hi) return 1;
    *out = (int)v;
    return 0;
}

// 0: options usable, 1: refused (message in err), 2: help asked.
int parse_options(int argc, char** argv, MapsOptions* o, std::string* err) {
    std::vector<const char*> pos;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") return 2;
        const bool takes = a == "--window" || a == "--levels" || a == "--bin-width" || a == "--mask" ||
                           a == "--threads" || a == "--gpu";
        if (!takes) {
            if (a.size() > 1 && a[0] == '-') return *err = "unknown option " + a, 1;
            pos.push_back(argv[k]);
            continue;
        }
        if (k + 1 >= argc) return *err = a + " needs a value", 1;
        const char* v = argv[++k];
        if (a == "--window") {
            const char* comma = strchr(v, ',');
            const std::string p = comma ? std::string(v, comma) : "";
            if (!comma || parse_int(p.c_str(), 1, 1 << 20, &o->P) || parse_int(comma + 1, 1, 1 << 20, &o->Q))
                return *err = std::string("--window takes P,Q with whole numbers P, Q >= 1, not ") + v, 1;
        } else if (a == "--levels") {
            if (parse_int(v, 2, TEXEL_MAX_LEVELS, &o->levels))
                return *err = std::string("--levels must be a whole number from 2 to 256, not ") + v, 1;
        } else if (a == "--bin-width") {
            char* end = nullptr;
            o->bin_width = strtod(v, &end);
            if (end == v || *end != '\0' || !isfinite(o->bin_width) || o->bin_width <= 0.0)
                return *err = std::string("--bin-width must be a positive finite number, not ") + v, 1;
        } else if (a == "--mask") {
            o->mask = v;
        } else if (a == "--threads") {
            if (parse_int(v, 1, 4096, &o->threads))
                return *err = std::string("--threads must be a whole number from 1 to 4096, not ") + v, 1;
        } else {
            if (strcmp(v, "auto") != 0 && strcmp(v, "off") != 0)
                return *err = std::string("--gpu takes auto or off, not ") + v, 1;
            o->gpu = strcmp(v, "auto") == 0;
        }
    }
    if (pos.size() != 2) return *err = "give one input image and one output directory", 1;
    o->in = pos[0];
    o->out = pos[1];
    if (o->P < 0) return *err = "--window P,Q is required", 1;
    if (o->levels > 0 && o->bin_width > 0.0) return *err = "give either --levels or --bin-width, not both", 1;
    if (o->levels == 0 && o->bin_width == 0.0) o->levels = 32;
    if (o->threads == 0) o->threads = texel_processor_count();
    return 0;
}

// Reads the image and the mask and checks everything before any computation.
int load_inputs(const MapsOptions& o, MapsJob* job, std::string* err) {
    char buf[512];
    if (texel_nifti_read(o.in, kMaxVoxels, &job->image, buf, sizeof buf)) return *err = buf, 1;
    const TexelVolume& im = job->image;
    if (im.X > TEXEL_NIFTI_MAX_AXIS || im.Y > TEXEL_NIFTI_MAX_AXIS || im.Z > TEXEL_NIFTI_MAX_AXIS) {
        snprintf(buf, sizeof buf, "%d x %d x %d voxels: the NIfTI-1 maps hold at most %d along an axis", im.X, im.Y,
                 im.Z, (int)TEXEL_NIFTI_MAX_AXIS);
        return *err = buf, 1;
    }
    if (2 * (int64_t)o.P + 1 > im.X || 2 * (int64_t)o.Q + 1 > im.Y) {
        snprintf(buf, sizeof buf, "window %d x %d (P=%d, Q=%d) does not fit the image's %d x %d slices", 2 * o.P + 1,
                 2 * o.Q + 1, o.P, o.Q, im.X, im.Y);
        return *err = buf, 1;
    }
    if (o.mask) {
        if (texel_nifti_read(o.mask, kMaxVoxels, &job->mask, buf, sizeof buf)) return *err = buf, 1;
        if (texel_nifti_same_grid(im.nim, job->mask.nim, buf, sizeof buf)) return *err = buf, 1;
        job->inside.resize(job->mask.values.size());
        for (size_t k = 0; k < job->inside.size(); ++k) {
            const double m = job->mask.values[k];
            if (!isfinite(m)) return *err = std::string("the mask has a non-finite value"), 1;
            job->inside[k] = m != 0.0;
        }
        job->mask.values = std::vector<double>();
    }
    job->levels.resize(im.values.size());
    int64_t bad = -1;
    if (texel_discretise(im.values.data(), job->inside.empty() ? nullptr : job->inside.data(),
                         (int64_t)im.values.size(), im.integer_data, o.levels, o.bin_width, job->levels.data(),
                         &job->info, &bad, buf, sizeof buf)) {
        if (bad >= 0) {
            const int64_t XY = (int64_t)im.X * im.Y;
            char where[128];
            snprintf(where, sizeof where, " (voxel %lld, %lld, %lld)", (long long)(bad % im.X),
                     (long long)(bad % XY / im.X), (long long)(bad / XY));
            return *err = std::string(buf) + where, 1;
        }
        return *err = buf, 1;
    }
    job->image.values = std::vector<double>();
    texel_masked_voxel_list(job->levels.data(), im.X, im.Y, im.Z, o.P, o.Q, &job->voxels);
    return 0;
}

// CPU time of the whole process (all threads), seconds.
double cpu_s(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + (double)u.ru_stime.tv_sec +
           1e-6 * (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// The GPU path computes every voxel of the image with its four-direction average; voxels
// of the list where a direction has no pair inside the mask are computed again here.
int gpu_maps(const MapsOptions& o, MapsJob* job, float* const* maps) {
    const TexelVolume& im = job->image;
    const int L = job->info.L;
    if (texel_gpu_compute_all(job->levels.data(), im.X, im.Y, im.Z, o.P, o.Q, L, maps) != 0) return 1;
    const int64_t XY = (int64_t)im.X * im.Y, N = XY * im.Z;
    std::vector<uint8_t> listed((size_t)N, 0);
    for (int64_t idx : job->voxels) listed[(size_t)idx] = 1;
    for (int64_t idx = 0; idx < N; ++idx)
        if (!listed[(size_t)idx])
            for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) maps[f][idx] = NAN;
    if (job->inside.empty()) return 0;
    TexelScratch s;
    if (texel_scratch_alloc(&s, o.P, o.Q, im.X, im.Y)) return 1;
    float acc[TEXEL_NUM_FEATURES];
    for (int64_t idx : job->voxels) {
        const int z = (int)(idx / XY), y = (int)(idx % XY / im.X), x = (int)(idx % im.X);
        int empty = 0;
        for (int d = 0; d < TEXEL_NUM_DIRECTIONS && !empty; ++d)
            empty = texel_direction_pair_count(job->levels.data(), im.X, im.Y, o.P, o.Q, L, x, y, z, d) == 0;
        if (!empty) continue;
        texel_voxel_features_masked(job->levels.data(), im.X, im.Y, o.P, o.Q, L, x, y, z, &s, acc);
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) maps[f][idx] = acc[f];
    }
    texel_scratch_free(&s);
    return 0;
}

int compute_maps(const MapsOptions& o, MapsJob* job, std::string* err) {
    const TexelVolume& im = job->image;
    const size_t N = (size_t)im.X * im.Y * im.Z;
    float* maps[TEXEL_NUM_FEATURES];
    try {
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) {
            job->maps[f].assign(N, NAN);
            maps[f] = job->maps[f].data();
        }
    } catch (const std::bad_alloc&) {
        return *err = "not enough memory for the ten maps", 1;
    }
    const double t0 = now_s(), c0 = cpu_s();
    if (o.gpu && gpu_maps(o, job, maps) == 0) {
        job->path = "GPU";
    } else {
        if (o.gpu) fprintf(stderr, "texel-maps: GPU path not available, computing on the CPU\n");
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) std::fill(job->maps[f].begin(), job->maps[f].end(), NAN);
        TexelMaskedJob mj = {
            job->levels.data(),          im.X, im.Y,      im.Z, o.P, o.Q, job->info.L, job->voxels.data(),
            (int64_t)job->voxels.size(), maps, o.threads, 2.0};
        if (texel_masked_maps(&mj) != 0) return *err = "not enough memory or threads for the CPU workers", 1;
    }
    job->seconds = now_s() - t0;
    job->cpu_seconds = cpu_s() - c0;
    return 0;
}

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string temp_name(const std::string& dir, const std::string& name) {
    return join(dir, ".texel-maps-" + std::to_string((long)getpid()) + "-" + name);
}

// True when `out` is the same file as the input or the mask (never written over).
bool is_an_input(const MapsOptions& o, const std::string& out) {
    struct stat a, b;
    if (stat(out.c_str(), &a) != 0) return false;
    for (const char* in : {o.in, o.mask})
        if (in && stat(in, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
    return false;
}

// Draws the middle slice of every map with gnuplot into a temporary PNG; 0 when it exists.
int draw_montage(const MapsJob& job, const std::string& dir, const std::string& png) {
    const TexelVolume& im = job.image;
    const int64_t XY = (int64_t)im.X * im.Y, z = im.Z / 2;
    const std::string raw = temp_name(dir, "montage.raw"), gp = temp_name(dir, "montage.gp");
    FILE* f = fopen(raw.c_str(), "wb");
    if (!f) return 1;
    for (int m = 0; m < TEXEL_NUM_FEATURES; ++m) fwrite(job.maps[m].data() + z * XY, sizeof(float), (size_t)XY, f);
    const bool ok_raw = fclose(f) == 0;
    FILE* g = fopen(gp.c_str(), "w");
    if (g) {
        fprintf(g, "set terminal png size 1250,560\nset output '%s'\n", png.c_str());
        fprintf(g,
                "unset key; unset tics; set size ratio -1; set autoscale fix; set palette gray\nset multiplot layout "
                "2,5 margins 0.01,0.95,0.02,0.92 spacing 0.05,0.08\n");
        for (int m = 0; m < TEXEL_NUM_FEATURES; ++m)
            fprintf(g,
                    "set title '%s' noenhanced\nplot '%s' binary array=(%d,%d) format='%%float' skip=%lld "
                    "with image\n",
                    kMapNames[m], raw.c_str(), im.X, im.Y, (long long)(m * XY * 4));
        fprintf(g, "unset multiplot\n");
        fclose(g);
    }
    int rc = 1;
    if (ok_raw && g) {
        fflush(stdout);
        fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
            execlp("gnuplot", "gnuplot", gp.c_str(), (char*)nullptr);
            _exit(127);
        }
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0) rc = 0;
    }
    unlink(raw.c_str());
    unlink(gp.c_str());
    struct stat s;
    return rc == 0 && stat(png.c_str(), &s) == 0 && s.st_size > 0 ? 0 : 1;
}

// Writes every map to a temporary, then renames them all; on failure removes the
// temporaries (and the directory when this run created it).
int write_outputs(const MapsOptions& o, const MapsJob& job, std::string* err) {
    const std::string dir = o.out;
    bool made_dir = false;
    if (mkdir(dir.c_str(), 0777) == 0)
        made_dir = true;
    else if (errno != EEXIST)
        return *err = "cannot create " + dir + ": " + strerror(errno), 1;
    const int64_t voxels = (int64_t)job.image.X * job.image.Y * job.image.Z;
    if (voxels > (1 << 20)) fprintf(stderr, "texel-maps: writing the ten maps to %s\n", dir.c_str());
    std::vector<std::string> temps, finals;
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) {
        finals.push_back(join(dir, std::string(kMapNames[f]) + ".nii.gz"));
        temps.push_back(temp_name(dir, std::string(kMapNames[f]) + ".nii.gz"));
    }
    int status = 0;
    char buf[512];
    for (int f = 0; f < TEXEL_NUM_FEATURES && status == 0; ++f) {
        if (is_an_input(o, finals[f])) {
            *err = finals[f] + " is an input file; choose another output directory";
            status = 1;
        } else if (texel_nifti_write_float(job.image.nim, job.maps[f].data(), kMapNames[f], temps[f].c_str(), buf,
                                           sizeof buf)) {
            *err = buf;
            status = 1;
        }
    }
    const std::string png_tmp = temp_name(dir, "montage.png");
    const bool png = status == 0 && draw_montage(job, dir, png_tmp) == 0;
    for (int f = 0; f < TEXEL_NUM_FEATURES && status == 0; ++f)
        if (rename(temps[f].c_str(), finals[f].c_str()) != 0) {
            *err = "cannot rename " + temps[f] + ": " + strerror(errno);
            status = 1;
        }
    if (status == 0 && png && rename(png_tmp.c_str(), join(dir, "montage.png").c_str()) == 0)
        printf("texel-maps: montage of slice %d in %s\n", job.image.Z / 2, join(dir, "montage.png").c_str());
    else if (status == 0)
        fprintf(stderr, "texel-maps: no montage (gnuplot missing or failed)\n");
    for (const std::string& t : temps) unlink(t.c_str());
    unlink(png_tmp.c_str());
    if (status != 0 && made_dir) rmdir(dir.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    MapsOptions o;
    std::string err;
    const int p = parse_options(argc, argv, &o, &err);
    if (p == 2) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (p != 0) {
        fprintf(stderr, "texel-maps: %s\n%s", err.c_str(), kUsage);
        return 2;
    }
    nifti_set_debug_level(getenv("TEXEL_NIFTI_DEBUG") ? 3 : 0);
    MapsJob job;
    int rc = load_inputs(o, &job, &err);
    if (rc == 0) {
        const TexelLevelsInfo& in = job.info;
        printf("texel-maps: %d x %d x %d voxels, %lld in the %s, intensities %g .. %g, %d levels%s\n", job.image.X,
               job.image.Y, job.image.Z, (long long)in.inside, o.mask ? "mask" : "image", in.min, in.max, in.L,
               in.as_is ? " (integer values used as they are)" : "");
        fflush(stdout);
        rc = compute_maps(o, &job, &err);
    }
    if (rc == 0) {
        printf("texel-maps: %lld voxels in %.3f s (%.0f voxels/s) on the %s", (long long)job.voxels.size(), job.seconds,
               job.seconds > 0 ? (double)job.voxels.size() / job.seconds : 0.0, job.path);
        if (strcmp(job.path, "CPU") == 0) printf(" with %d threads", o.threads);
        printf("; %.3f s of CPU time (%.0f voxels per CPU second)\n", job.cpu_seconds,
               job.cpu_seconds > 0 ? (double)job.voxels.size() / job.cpu_seconds : 0.0);
        rc = write_outputs(o, job, &err);
    }
    if (rc == 0) printf("texel-maps: ten maps written to %s\n", o.out);
    if (rc != 0) fprintf(stderr, "texel-maps: %s; nothing written\n", err.c_str());
    texel_nifti_release(&job.image);
    texel_nifti_release(&job.mask);
    return rc == 0 ? 0 : 1;
}
