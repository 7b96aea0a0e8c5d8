// Model records: defaults, status texts and validation.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vynmodel.h"

void vyn_set_error(char* errbuf, size_t errbufsz, const char* fmt, ...) {
    if (!errbuf || errbufsz == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(errbuf, errbufsz, fmt, ap);
    va_end(ap);
}

const char* VYNModelStatusString(int status) {
    switch (status) {
        case VYN_MODEL_OK:
            return "ok";
        case VYN_MODEL_ERR_NULLPTR:
            return "null pointer";
        case VYN_MODEL_ERR_IO:
            return "i/o error";
        case VYN_MODEL_ERR_PARSE:
            return "parse error";
        case VYN_MODEL_ERR_RANGE:
            return "range error";
        case VYN_MODEL_ERR_DIMENSION:
            return "dimension error";
        case VYN_MODEL_ERR_INCOMPATIBLE:
            return "incompatible with legacy globals";
        default:
            return "unknown error";
    }
}

void VYNSpinSystemDef_Init(VYNSpinSystemDef* spin) {
    if (!spin) return;
    memset(spin, 0, sizeof(*spin));
    spin->nspins = 1;
    spin->spin_quantum_numbers[1] = 1;
    spin->relative_intensities[1] = 1.0;
    spin->resonance_offsets_hz[1] = 0.0;
    spin->coupling_mode = 1;
}

void VYNPulseSequenceDef_Init(VYNPulseSequenceDef* seq) {
    if (!seq) return;
    memset(seq, 0, sizeof(*seq));
    seq->sequence_type = 1;
    seq->sector_count = 0;
    for (int s = 0; s <= VYN_MODEL_SECTOR_CAP; ++s) {
        seq->sectors[s].sector_type = 1;
        seq->sectors[s].number_of_timepoints = 1;
        seq->sectors[s].number_of_evolpoints = 1;
    }
}

void VYNRunConfig_Init(VYNRunConfig* cfg) {
    if (!cfg) return;
    memset(cfg, 0, sizeof(*cfg));
    cfg->ndx = cfg->ndy = cfg->ndz = 1;
    snprintf(cfg->result_filename, sizeof(cfg->result_filename), "%s", "result.bin");
}

VYNModelStatus VYNSpinSystemDef_Validate(const VYNSpinSystemDef* spin, char* errbuf, size_t errbufsz) {
    if (!spin) {
        vyn_set_error(errbuf, errbufsz, "spin definition is null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    if (spin->nspins < 1 || spin->nspins > VYN_MODEL_MAX_SPINS) {
        vyn_set_error(errbuf, errbufsz, "nspins=%d is outside 1..%d", spin->nspins, VYN_MODEL_MAX_SPINS);
        return VYN_MODEL_ERR_RANGE;
    }
    if (spin->coupling_mode != 1 && spin->coupling_mode != 2) {
        vyn_set_error(errbuf, errbufsz, "coupling_mode=%d is outside 1..2", spin->coupling_mode);
        return VYN_MODEL_ERR_RANGE;
    }
    unsigned long long dim = 1;
    for (int i = 1; i <= spin->nspins; ++i) {
        int q = spin->spin_quantum_numbers[i];
        if (q < 1) {
            vyn_set_error(errbuf, errbufsz, "spin_quantum_numbers[%d]=%d must be >= 1 (legacy stores 2I)", i, q);
            return VYN_MODEL_ERR_RANGE;
        }
        dim *= (unsigned long long)q + 1ULL;
        if (dim > (unsigned long long)VYN_MODEL_MAX_STATES) {
            vyn_set_error(errbuf, errbufsz, "Hilbert dimension %llu exceeds VYN_MAX_STATES=%d", dim,
                          VYN_MODEL_MAX_STATES);
            return VYN_MODEL_ERR_DIMENSION;
        }
    }
    for (int i = 1; i <= spin->nspins; ++i) {
        if (!std::isfinite(spin->relative_intensities[i]) || !std::isfinite(spin->resonance_offsets_hz[i])) {
            vyn_set_error(errbuf, errbufsz, "spin %d has a non-finite intensity or resonance offset", i);
            return VYN_MODEL_ERR_RANGE;
        }
        for (int k = 1; k <= spin->nspins; ++k)
            if (!std::isfinite(spin->j_hz[i][k])) {
                vyn_set_error(errbuf, errbufsz, "j_hz[%d][%d] is not a finite number", i, k);
                return VYN_MODEL_ERR_RANGE;
            }
    }
    int pairs = 0;
    for (int i = 1; i <= spin->nspins; ++i) {
        if (!(spin->j_hz[i][i] == 0.0)) {
            vyn_set_error(errbuf, errbufsz, "j_hz[%d][%d] must be zero on the diagonal", i, i);
            return VYN_MODEL_ERR_RANGE;
        }
        for (int k = i + 1; k <= spin->nspins; ++k) {
            if (!(spin->j_hz[i][k] == spin->j_hz[k][i])) {
                vyn_set_error(errbuf, errbufsz, "j_hz matrix is not symmetric at (%d,%d) and (%d,%d)", i, k, k, i);
                return VYN_MODEL_ERR_RANGE;
            }
            ++pairs;
        }
    }
    if (pairs > VYN_MODEL_MAX_PAIRS) {
        vyn_set_error(errbuf, errbufsz, "pair count %d exceeds current legacy coupling capacity %d", pairs,
                      VYN_MODEL_MAX_PAIRS);
        return VYN_MODEL_ERR_INCOMPATIBLE;
    }
    if (spin->subgroup_count < 0 || spin->subgroup_count > VYN_MODEL_MAX_SUBGROUPS) {
        vyn_set_error(errbuf, errbufsz, "subgroup_count=%d is outside 0..%d", spin->subgroup_count,
                      VYN_MODEL_MAX_SUBGROUPS);
        return VYN_MODEL_ERR_RANGE;
    }
    for (int g = 0; g < spin->subgroup_count; ++g) {
        int cnt = spin->subgroup_spin_count[g];
        if (cnt < 0 || cnt > VYN_MODEL_MAX_SPINS) {
            vyn_set_error(errbuf, errbufsz, "subgroup %d has invalid spin count %d", g + 1, cnt);
            return VYN_MODEL_ERR_RANGE;
        }
        for (int j = 0; j < cnt; ++j) {
            int s = spin->subgroup_spins[g][j];
            if (s < 1 || s > spin->nspins) {
                vyn_set_error(errbuf, errbufsz, "subgroup %d references spin %d outside 1..%d", g + 1, s, spin->nspins);
                return VYN_MODEL_ERR_RANGE;
            }
        }
    }
    return VYN_MODEL_OK;
}

VYNModelStatus VYNPulseSequenceDef_Validate(const VYNPulseSequenceDef* seq, char* errbuf, size_t errbufsz) {
    if (!seq) {
        vyn_set_error(errbuf, errbufsz, "pulse-sequence definition is null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    if (seq->sector_count < 0 || seq->sector_count > VYN_MODEL_SECTOR_CAP) {
        vyn_set_error(errbuf, errbufsz, "sector_count=%d is outside 0..%d", seq->sector_count, VYN_MODEL_SECTOR_CAP);
        return VYN_MODEL_ERR_RANGE;
    }
    for (int s = 1; s <= seq->sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq->sectors[s];
        if (sec.sector_type != 1 && sec.sector_type != 2) {
            vyn_set_error(errbuf, errbufsz, "sector %d has invalid sector_type=%d", s, sec.sector_type);
            return VYN_MODEL_ERR_RANGE;
        }
        if (sec.number_of_timepoints < 1 || sec.number_of_timepoints > VYN_MODEL_MAX_TIMEPOINTS) {
            vyn_set_error(errbuf, errbufsz, "sector %d number_of_timepoints=%d is outside 1..%d", s,
                          sec.number_of_timepoints, VYN_MODEL_MAX_TIMEPOINTS);
            return VYN_MODEL_ERR_RANGE;
        }
        if (sec.number_of_evolpoints < 1 || sec.number_of_evolpoints > VYN_MODEL_MAX_TIMEPOINTS) {
            vyn_set_error(errbuf, errbufsz, "sector %d number_of_evolpoints=%d is outside 1..%d", s,
                          sec.number_of_evolpoints, VYN_MODEL_MAX_TIMEPOINTS);
            return VYN_MODEL_ERR_RANGE;
        }
        if (!std::isfinite(sec.total_duration_s) || !std::isfinite(sec.offset_frequency_hz)) {
            vyn_set_error(errbuf, errbufsz, "sector %d has a non-finite duration or offset frequency", s);
            return VYN_MODEL_ERR_RANGE;
        }
        if (sec.total_duration_s < 0) {
            vyn_set_error(errbuf, errbufsz, "sector %d total_duration_s=%g must be >= 0", s, sec.total_duration_s);
            return VYN_MODEL_ERR_RANGE;
        }
        if (sec.pulse_filename[0] == '\0') {
            vyn_set_error(errbuf, errbufsz, "sector %d pulse_filename is required", s);
            return VYN_MODEL_ERR_RANGE;
        }
    }
    return VYN_MODEL_OK;
}

VYNModelStatus VYNRunConfig_Validate(const VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    if (!cfg) {
        vyn_set_error(errbuf, errbufsz, "run configuration is null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    const int sizes[3] = {cfg->ndx, cfg->ndy, cfg->ndz};
    const char* names[3] = {"ndx", "ndy", "ndz"};
    for (int a = 0; a < 3; ++a) {
        if (sizes[a] < 1 || sizes[a] > VYN_MODEL_MAX_GRID) {
            vyn_set_error(errbuf, errbufsz, "%s=%d is outside 1..%d", names[a], sizes[a], VYN_MODEL_MAX_GRID);
            return VYN_MODEL_ERR_RANGE;
        }
    }
    const double grid[6] = {cfg->x0_cm, cfg->y0_cm, cfg->z0_cm, cfg->dx_cm, cfg->dy_cm, cfg->dz_cm};
    for (double g : grid)
        if (!std::isfinite(g)) {
            vyn_set_error(errbuf, errbufsz, "grid origin and steps must be finite numbers");
            return VYN_MODEL_ERR_RANGE;
        }
    if (cfg->dx_cm < 0 || cfg->dy_cm < 0 || cfg->dz_cm < 0) {
        vyn_set_error(errbuf, errbufsz, "dx_cm/dy_cm/dz_cm must be >= 0");
        return VYN_MODEL_ERR_RANGE;
    }
    if (cfg->result_filename[0] == '\0') {
        vyn_set_error(errbuf, errbufsz, "result_filename is required");
        return VYN_MODEL_ERR_RANGE;
    }
    return VYN_MODEL_OK;
}

VYNModelStatus VYNModel_ValidateAll(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                    const VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    VYNModelStatus st = VYNSpinSystemDef_Validate(spin, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    st = VYNPulseSequenceDef_Validate(seq, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    st = VYNRunConfig_Validate(cfg, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    if (seq->sequence_type != 1 && seq->sequence_type != 2) {
        vyn_set_error(errbuf, errbufsz, "sequence_type=%d is invalid; expected 1 (spatial) or 2 (1D/2D NMR)",
                      seq->sequence_type);
        return VYN_MODEL_ERR_RANGE;
    }
    if (seq->sector_count == 0) {
        vyn_set_error(errbuf, errbufsz, "sector_count=%d is invalid; at least one sector is required",
                      seq->sector_count);
        return VYN_MODEL_ERR_RANGE;
    }
    for (int s = 1; s <= seq->sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq->sectors[s];
        if (!(sec.total_duration_s > 0)) {
            vyn_set_error(errbuf, errbufsz, "sector %d total_duration_s=%g must be > 0", s, sec.total_duration_s);
            return VYN_MODEL_ERR_RANGE;
        }
        if (sec.pulse_filename[0] == '\0') {
            vyn_set_error(errbuf, errbufsz, "sector %d pulse_filename is required", s);
            return VYN_MODEL_ERR_RANGE;
        }
        if (seq->sequence_type == 1) {
            if (sec.sector_type != 1) {
                vyn_set_error(errbuf, errbufsz, "spatial sequence sector %d has invalid sector_type=%d; expected 1", s,
                              sec.sector_type);
                return VYN_MODEL_ERR_INCOMPATIBLE;
            }
            if (sec.number_of_evolpoints != 1) {
                vyn_set_error(errbuf, errbufsz, "spatial sequence sector %d has number_of_evolpoints=%d; expected 1", s,
                              sec.number_of_evolpoints);
                return VYN_MODEL_ERR_INCOMPATIBLE;
            }
        } else {
            if (sec.sector_type != 1 && sec.sector_type != 2) {
                vyn_set_error(errbuf, errbufsz, "1D/2D sequence sector %d has invalid sector_type=%d", s,
                              sec.sector_type);
                return VYN_MODEL_ERR_RANGE;
            }
            if (sec.sector_type == 2 && sec.number_of_evolpoints < 1) {
                vyn_set_error(errbuf, errbufsz, "evolution sector %d must have number_of_evolpoints >= 1", s);
                return VYN_MODEL_ERR_RANGE;
            }
        }
    }
    return VYN_MODEL_OK;
}
