// Multiplet-resolved receiver signal of a slow-band acquisition: spins are
// grouped by resonance offset, every transition of H' goes to the nearest
// group, and each group's share of the receiver signal is written to its own
// type-1 signal file beside the complete one.
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binaryfilehandling.h"
#include "observablespectrumcalculator.h"
#include "vynmodel_subgroups.h"
#include "vynpaths.h"

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;
constexpr double kAmplitudeFloor = 1e-12;

CMatrix mpl_eigvec, mpl_adj, mpl_rho, mpl_obs, mpl_plus;
double mpl_eigval[MATRIXMATH_DIM + 1];

double mpl_gamma_b0_mhz(const VYNSlowBandSplitConfig& cfg) {
    return cfg.b0_tesla > 0.0 ? VYN_PROTON_GAMMA_MHZ_PER_T * cfg.b0_tesla : 0.0;
}

bool mpl_ppm_known(const VYNSlowBandSplitConfig& cfg) {
    return mpl_gamma_b0_mhz(cfg) > 0.0 && cfg.receiver_carrier_ppm > 0.0;
}

double mpl_center_ppm(const VYNSlowBandSplitConfig& cfg, double center_hz) {
    return center_hz / mpl_gamma_b0_mhz(cfg) + cfg.receiver_carrier_ppm;
}

void mpl_release(VYNMultipletCluster* cl, int count) {
    for (int c = 0; c < count; ++c) {
        std::free(cl[c].sig_re);
        std::free(cl[c].sig_im);
        cl[c].sig_re = cl[c].sig_im = nullptr;
    }
}

// One cluster's file, written to a temporary and renamed over the name:
// a failure leaves no partial file.
bool mpl_write_cluster_file(const char* name, int np, const VYNMultipletCluster& cl) {
    char tmp[1200];
    FILE* out = binfh_replace_begin(name, "wb", tmp, sizeof tmp);
    if (!out) {
        binfh_print_error("fopen(SLOW multiplet output)");
        return false;
    }
    bool ok = WriteBinFileHeader_status(out, BINFH_TYPE_SIGNAL, np, 1) == BINFH_OK &&
              write_signal_trace(out, np, cl.sig_re, cl.sig_im);
    if (!ok) {
        binfh_print_error("fwrite(SLOW multiplet output)");
        binfh_replace_abort(out, tmp);
        return false;
    }
    if (!binfh_replace_commit(out, tmp, name)) {
        binfh_print_error("fwrite(SLOW multiplet output)");
        return false;
    }
    return true;
}
}  // namespace

bool write_signal_trace(FILE* f, int np, const double* re, const double* im) {
    if (!f || np < 0 || (np > 0 && (!re || !im))) return false;
    double pair[2];
    for (int k = 0; k < np; ++k) {
        pair[0] = finite_or_zero(re[k]);
        pair[1] = finite_or_zero(im[k]);
        if (!binfh_fwrite_doubles_le(pair, 2, f)) return false;
    }
    return true;
}

int vyn_cluster_spins_by_offset(const double* resofreqs, const SpinIList& Ilist, int np, double acq,
                                VYNMultipletCluster* clusters) {
    const double sw = acq > 0.0 ? np / acq : 0.0;
    const double w = sw / 2.0;
    const double half_bin = sw > 0.0 ? w / np : 0.0;
    int count = 0;
    for (int s = 1; s <= VYN_MAX_SPINS; ++s) {
        if (Ilist[s] <= 0) continue;
        const double f = resofreqs[s];
        if (w > 0.0 && std::fabs(f) > w + half_bin) continue;
        int best = -1;
        double best_d = 0.0;
        for (int c = 0; c < count; ++c) {
            const double d = std::fabs(f - clusters[c].center_hz);
            if (d <= VYN_MULTIPLET_CLUSTER_TOLERANCE_HZ && (best < 0 || d <= best_d)) {
                best = c;
                best_d = d;
            }
        }
        if (best < 0) {
            if (count >= VYN_MULTIPLET_MAX_CLUSTERS) continue;
            best = count++;
            clusters[best] = VYNMultipletCluster{};
            clusters[best].center_hz = f;
        }
        VYNMultipletCluster& cl = clusters[best];
        cl.center_hz = (cl.weight * cl.center_hz + f) / (cl.weight + 1.0);
        cl.weight += 1.0;
        cl.spin_mask |= 1u << s;
    }
    return count;
}

void vyn_label_clusters_from_subgroups(VYNMultipletCluster* clusters, int count) {
    const int groups = vyn_spin_subgroup_count < 0                       ? 0
                       : vyn_spin_subgroup_count > VYN_SPIN_SUBGROUP_CAP ? VYN_SPIN_SUBGROUP_CAP
                                                                         : vyn_spin_subgroup_count;
    for (int g = 0; g < groups; ++g) {
        const int spins = vyn_spin_subgroup_spin_count[g];
        if (spins < 1 || vyn_spin_subgroup_ppm_count[g] < 1) continue;
        uint32_t mask = 0;
        for (int j = 0; j < spins && j < 9; ++j) {
            const int s = vyn_spin_subgroup_spins[g][j];
            if (s >= 1 && s <= 31) mask |= 1u << s;
        }
        for (int c = 0; c < count; ++c)
            if ((clusters[c].spin_mask & mask) == mask) {
                clusters[c].has_metadata_ppm = 1;
                clusters[c].metadata_ppm = vyn_spin_subgroup_ppm[g];
                break;
            }
    }
}

bool slow_multiplet_output_filename(const char* signal_name, double center_hz, const VYNSlowBandSplitConfig* cfg,
                                    int has_metadata_ppm, double metadata_ppm, char* out, size_t size) {
    if (!signal_name || !cfg || !out || size == 0) return false;
    out[0] = '\0';
    const char* suffix = "_td.bin";
    const size_t len = std::strlen(signal_name), slen = std::strlen(suffix);
    if (len < slen || std::strcmp(signal_name + len - slen, suffix) != 0) return false;
    char tag[128];
    if (has_metadata_ppm)
        std::snprintf(tag, sizeof tag, "-[%.3fppm]", metadata_ppm);
    else if (mpl_ppm_known(*cfg))
        std::snprintf(tag, sizeof tag, "-[%.3fppm]", mpl_center_ppm(*cfg, center_hz));
    else
        std::snprintf(tag, sizeof tag, "-[%.1fHz]", center_hz);
    const char* mark = std::strstr(signal_name, "_slow_");
    if (!mark) mark = std::strstr(signal_name, "_SLOW_");
    const size_t cap = size < VYN_MULTIPLET_NAME_MAX ? size : VYN_MULTIPLET_NAME_MAX;
    int w;
    if (mark)
        w = std::snprintf(out, cap, "%.*s%s%s", static_cast<int>(mark - signal_name), signal_name, tag, mark);
    else
        w = std::snprintf(out, cap, "%.*s%s_td.bin", static_cast<int>(len - slen), signal_name, tag);
    if (w < 0 || static_cast<size_t>(w) >= cap) {
        out[0] = '\0';
        return false;
    }
    return true;
}

int write_slow_multiplet_outputs(const char* signal_name, int n, int np, int traces, double acq, const CMatrix& rho,
                                 const CMatrix& Hprime, const CMatrix& Ox, const CMatrix& Oy,
                                 const VYNSlowBandSplitConfig* cfg, const SpinIList& Ilist) {
    if (!signal_name || !*signal_name || !cfg || !cfg->enabled || traces != 1) return 0;
    if (n < 1 || n > MATRIXMATH_DIM || np < 1) return 0;
    static VYNMultipletCluster clusters[VYN_MULTIPLET_MAX_CLUSTERS];
    const int count = vyn_cluster_spins_by_offset(vyn_spin.resofreqs, Ilist, np, acq, clusters);
    if (count == 0) return 0;
    vyn_label_clusters_from_subgroups(clusters, count);
    for (int c = 0; c < count; ++c) {
        clusters[c].sig_re = static_cast<double*>(std::calloc(static_cast<size_t>(np), sizeof(double)));
        clusters[c].sig_im = static_cast<double*>(std::calloc(static_cast<size_t>(np), sizeof(double)));
        if (!clusters[c].sig_re || !clusters[c].sig_im) {
            binfh_print_error("calloc(SLOW multiplet signal)");
            mpl_release(clusters, c + 1);
            return 0;
        }
    }

    // Eigenbasis of H': rho' = V^+ rho V, O' = V^+ (Ox + i Oy) V.
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) mpl_plus(r, c) = Ox(r, c) + std::complex<double>(0.0, 1.0) * Oy(r, c);
    hermit(n, Hprime, mpl_eigvec, mpl_eigval);
    Adjungate(n, mpl_eigvec, mpl_adj);
    Transform(n, mpl_adj, rho, mpl_eigvec, mpl_rho);
    Transform(n, mpl_adj, mpl_plus, mpl_eigvec, mpl_obs);

    const double sw = acq > 0.0 ? np / acq : 0.0;
    const double w = sw / 2.0;
    const double half_bin = sw > 0.0 ? w / np : 0.0;
    const double dt = acq / np;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            const std::complex<double> a = mpl_obs(i, j) * mpl_rho(j, i);
            if (std::abs(a) <= kAmplitudeFloor) continue;
            const double f = (mpl_eigval[i] - mpl_eigval[j]) / kTwoPi;
            if (w > 0.0 && std::fabs(f) > w + half_bin) continue;
            int best = 0;
            for (int c = 1; c < count; ++c)
                if (std::fabs(clusters[c].center_hz + f) < std::fabs(clusters[best].center_hz + f)) best = c;
            double* re = clusters[best].sig_re;
            double* im = clusters[best].sig_im;
            for (int k = 0; k < np; ++k) {
                const std::complex<double> v = a * std::polar(1.0, kTwoPi * f * k * dt);
                re[k] += v.real();
                im[k] += v.imag();
            }
        }

    const bool quiet = VYN_GetSmokeCheckMode() != 0;
    if (!quiet) std::puts("SLOW multiplet-resolved files:");
    int written = 0;
    char name[VYN_MULTIPLET_NAME_MAX];
    for (int c = 0; c < count; ++c) {
        const VYNMultipletCluster& cl = clusters[c];
        if (!slow_multiplet_output_filename(signal_name, cl.center_hz, cfg, cl.has_metadata_ppm, cl.metadata_ppm, name,
                                            sizeof name))
            continue;
        if (!mpl_write_cluster_file(name, np, cl)) continue;
        ++written;
        if (quiet) continue;
        char shown[VYN_PATH_CAP];
        const char* where = vyn_path_for_message(name, shown, sizeof shown);
        if (mpl_ppm_known(*cfg))
            std::printf("  multiplet %.3f ppm -> %s\n",
                        cl.has_metadata_ppm ? cl.metadata_ppm : mpl_center_ppm(*cfg, cl.center_hz), where);
        else
            std::printf("  multiplet %.3f Hz -> %s\n", cl.center_hz, where);
    }
    mpl_release(clusters, count);
    return written;
}
