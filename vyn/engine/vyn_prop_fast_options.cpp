// Options and figures of the shared spatial propagation.
#include "vyn_prop_fast_internal.h"

VYNSpatialOptions vyn_spatial_options;
VYNSpatialStats vyn_spatial_stats;
VYNSpatialStats vyn_spatial_totals;

void VYNSpatialOptions_Reset() {
    vyn_spatial_options.method = VYN_SPATIAL_SHARED;
    vyn_spatial_options.step_exp = VYN_STEP_EXP_AUTO;
    vyn_spatial_options.eig_min_n = 100;  // measured: Pade is faster up to n = 64, the eigen path from 128
    vyn_spatial_options.threads = 0;
    vyn_spatial_options.cache_bytes = 256LL << 20;
    vyn_spatial_options.batch_bytes = 64LL << 20;
    vyn_spatial_options.hold = 1;
    vyn_spatial_options.resident_bytes = -1;
    vyn_spatial_options.interp = VYN_INTERP_AUTO;
}

namespace {
struct vps_options_initialiser {
    vps_options_initialiser() { VYNSpatialOptions_Reset(); }
} vps_options_init_instance;
}  // namespace
