// Binding of the model records to the engine state: activation and capture.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "vyn.h"
#include "vyn_sequence.h"
#include "vynexpect.h"
#include "vynmodel.h"
#include "vynmodel_subgroups.h"

static_assert(VYN_MODEL_SECTOR_CAP == VYN_MAX_SECTORS, "sector capacity of records and engine");
static_assert(VYN_MODEL_FILENAME_LEN == VYN_FNAME_LEN, "file-name capacity of records and engine");
static_assert(VYN_MODEL_REMARK_LEN == VYN_REMARK_LEN, "remark capacity of records and engine");

VYNModelStatus VYNModel_ActivateInLegacyRuntime(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                                const VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    if (!spin || !seq || !cfg) {
        vyn_set_error(errbuf, errbufsz, "activate arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNModelStatus st = VYNModel_ValidateAll(spin, seq, cfg, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    return VYNModel_ApplyToLegacyGlobals(spin, seq, cfg, errbuf, errbufsz);
}

VYNModelStatus VYNModel_ApplyToLegacyGlobals(const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                                             const VYNRunConfig* cfg, char* errbuf, size_t errbufsz) {
    if (!spin || !seq || !cfg) {
        vyn_set_error(errbuf, errbufsz, "apply arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNModelStatus st = VYNModel_ValidateAll(spin, seq, cfg, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;

    VYNSpinState& S = vyn_spin;
    VYNSequenceState& Q = vyn_sequence;
    S.Nspins = spin->nspins;
    for (int i = 0; i <= VYN_MAX_SPINS; ++i) {
        S.Ilist[i] = 0;
        S.quantnum[i] = 0;
        S.relspinamp[i] = 0.0;
        S.resofreqs[i] = 0.0;
    }
    memset(S.jc, 0, sizeof(S.jc));
    vyn_spin_subgroup_count = 0;
    memset(vyn_spin_subgroup_labels, 0, sizeof(vyn_spin_subgroup_labels));
    memset(vyn_spin_subgroup_spin_count, 0, sizeof(vyn_spin_subgroup_spin_count));
    memset(vyn_spin_subgroup_spins, 0, sizeof(vyn_spin_subgroup_spins));
    memset(vyn_spin_subgroup_ppm_count, 0, sizeof(vyn_spin_subgroup_ppm_count));
    memset(vyn_spin_subgroup_ppm, 0, sizeof(vyn_spin_subgroup_ppm));

    int dim = 1;
    for (int i = 1; i <= spin->nspins; ++i) {
        S.Ilist[i] = spin->spin_quantum_numbers[i];
        S.quantnum[i] = spin->spin_quantum_numbers[i];
        S.relspinamp[i] = spin->relative_intensities[i];
        S.resofreqs[i] = spin->resonance_offsets_hz[i];
        dim *= spin->spin_quantum_numbers[i] + 1;
    }
    for (int g = 0; g < spin->subgroup_count; ++g) {
        snprintf(vyn_spin_subgroup_labels[g], sizeof(vyn_spin_subgroup_labels[g]), "%s", spin->subgroup_labels[g]);
        vyn_spin_subgroup_spin_count[g] = spin->subgroup_spin_count[g];
        vyn_spin_subgroup_ppm_count[g] = spin->subgroup_ppm_count[g];
        vyn_spin_subgroup_ppm[g] = spin->subgroup_ppm[g];
        for (int j = 0; j < 9; ++j) vyn_spin_subgroup_spins[g][j] = spin->subgroup_spins[g][j];
    }
    vyn_spin_subgroup_count = spin->subgroup_count;
    S.n = dim;

    S.Jexact = spin->coupling_mode;
    for (int p = 0; p <= VYN_MAX_COUPLINGS; ++p) S.couplings[p] = 0.0;
    int pairs = 0;
    for (int i = 1; i <= spin->nspins; ++i)
        for (int k = i + 1; k <= spin->nspins; ++k) {
            double J = spin->j_hz[i][k];
            S.jc[i][k] = S.jc[k][i] = J;
            S.couplings[++pairs] = J;
        }
    S.Jcount = pairs;

    Q.sequencetype = seq->sequence_type;
    Q.nos = seq->sector_count;
    for (int s = 0; s <= VYN_MAX_SECTORS; ++s) {
        Q.sectype[s] = 0;
        Q.noti[s] = 0;
        Q.nevo[s] = 0;
        Q.sectdur[s] = 0.0;
        Q.statoff[s] = 0.0;
        Q.fnames[s][0] = '\0';
        Q.remarks[s][0] = '\0';
    }
    for (int s = 1; s <= seq->sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq->sectors[s];
        Q.sectype[s] = sec.sector_type;
        Q.noti[s] = sec.number_of_timepoints;
        Q.nevo[s] = sec.number_of_evolpoints;
        Q.sectdur[s] = sec.total_duration_s;
        Q.statoff[s] = sec.offset_frequency_hz;
        snprintf(Q.fnames[s], sizeof(Q.fnames[s]), "%s", sec.pulse_filename);
        snprintf(Q.remarks[s], sizeof(Q.remarks[s]), "%s", sec.remark);
    }

    vyn_grid.ndx = cfg->ndx;
    vyn_grid.ndy = cfg->ndy;
    vyn_grid.ndz = cfg->ndz;
    Q.x0 = cfg->x0_cm;
    Q.y0 = cfg->y0_cm;
    Q.z0 = cfg->z0_cm;
    Q.dx = cfg->dx_cm;
    Q.dy = cfg->dy_cm;
    Q.dz = cfg->dz_cm;
    snprintf(Q.resultflnm, sizeof(Q.resultflnm), "%s", cfg->result_filename);
    Q.vyn_gui_b0_tesla = cfg->b0_tesla;
    Q.vyn_gui_receiver_carrier_ppm = cfg->receiver_carrier_ppm;

    Q.systemset = 1;
    Q.offsetset = 1;
    Q.sectorset = Q.nos > 0 ? 1 : 0;
    VYN_RebuildSpinSystemFromPulseSequenceGlobals();
    return VYN_MODEL_OK;
}

VYNModelStatus VYNModel_CaptureFromLegacyGlobals(VYNSpinSystemDef* spin, VYNPulseSequenceDef* seq, VYNRunConfig* cfg,
                                                 char* errbuf, size_t errbufsz) {
    if (!spin || !seq || !cfg) {
        vyn_set_error(errbuf, errbufsz, "capture arguments must be non-null");
        return VYN_MODEL_ERR_NULLPTR;
    }
    VYNSpinSystemDef_Init(spin);
    VYNPulseSequenceDef_Init(seq);
    VYNRunConfig_Init(cfg);
    const VYNSpinState& S = vyn_spin;
    const VYNSequenceState& Q = vyn_sequence;
    if (S.Nspins < 1 || S.Nspins > VYN_MODEL_MAX_SPINS) {
        vyn_set_error(errbuf, errbufsz, "legacy spin system is not captureable: Nspins=%d outside 1..%d", S.Nspins,
                      VYN_MODEL_MAX_SPINS);
        return VYN_MODEL_ERR_INCOMPATIBLE;
    }
    if (Q.nos < 0 || Q.nos > VYN_MODEL_SECTOR_CAP) {
        vyn_set_error(errbuf, errbufsz, "legacy pulse sequence is not captureable: nos=%d outside 0..%d", Q.nos,
                      VYN_MODEL_SECTOR_CAP);
        return VYN_MODEL_ERR_INCOMPATIBLE;
    }
    spin->nspins = S.Nspins;
    for (int i = 1; i <= S.Nspins; ++i) {
        int q = S.quantnum[i];
        if (q < 1 && S.Ilist[i] > 0) q = S.Ilist[i];
        spin->spin_quantum_numbers[i] = q;
        spin->relative_intensities[i] = S.relspinamp[i];
        spin->resonance_offsets_hz[i] = S.resofreqs[i];
    }
    spin->coupling_mode = S.Jexact;
    int p = 0;
    for (int i = 1; i <= S.Nspins; ++i)
        for (int k = i + 1; k <= S.Nspins; ++k) {
            ++p;
            double J = (p <= S.Jcount && p <= VYN_MAX_COUPLINGS) ? S.couplings[p] : S.jc[i][k];
            spin->j_hz[i][k] = spin->j_hz[k][i] = J;
        }
    for (int i = 0; i <= VYN_MODEL_MAX_SPINS; ++i) spin->j_hz[i][i] = 0.0;

    seq->sequence_type = Q.sequencetype;
    seq->sector_count = Q.nos;
    for (int s = 1; s <= Q.nos; ++s) {
        VYNPulseSectorDef& sec = seq->sectors[s];
        sec.sector_type = Q.sectype[s];
        sec.number_of_timepoints = Q.noti[s];
        sec.number_of_evolpoints = Q.nevo[s];
        if (Q.sequencetype == 1) {
            if (sec.sector_type == 0) sec.sector_type = 1;
            if (sec.number_of_evolpoints < 1) sec.number_of_evolpoints = 1;
        }
        sec.total_duration_s = Q.sectdur[s];
        sec.offset_frequency_hz = Q.statoff[s];
        snprintf(sec.pulse_filename, sizeof(sec.pulse_filename), "%s", Q.fnames[s]);
        snprintf(sec.remark, sizeof(sec.remark), "%s", Q.remarks[s]);
    }
    cfg->ndx = vyn_grid.ndx;
    cfg->ndy = vyn_grid.ndy;
    cfg->ndz = vyn_grid.ndz;
    cfg->x0_cm = Q.x0;
    cfg->y0_cm = Q.y0;
    cfg->z0_cm = Q.z0;
    cfg->dx_cm = Q.dx;
    cfg->dy_cm = Q.dy;
    cfg->dz_cm = Q.dz;
    const char* result = Q.resultflnm[0] ? Q.resultflnm : "unnamed_result.bin";
    size_t len = strnlen(result, sizeof(cfg->result_filename) - 1);
    memcpy(cfg->result_filename, result, len);
    cfg->result_filename[len] = '\0';
    return VYNModel_ValidateAll(spin, seq, cfg, errbuf, errbufsz);
}

VYNModelStatus VYNModel_SaveCurrentLegacyStateToText(const char* filename, char* errbuf, size_t errbufsz) {
    if (!filename || !filename[0]) {
        vyn_set_error(errbuf, errbufsz, "output path must be non-empty");
        return VYN_MODEL_ERR_NULLPTR;
    }
    // The records are large; keep them out of the stack.
    static VYNSpinSystemDef spin;
    static VYNPulseSequenceDef seq;
    static VYNRunConfig cfg;
    VYNModelStatus st = VYNModel_CaptureFromLegacyGlobals(&spin, &seq, &cfg, errbuf, errbufsz);
    if (st != VYN_MODEL_OK) return st;
    return VYNModel_SaveText(filename, &spin, &seq, &cfg, errbuf, errbufsz);
}

int vynmodel_metadata_value(const char* remark, const char* block, const char* key, char* out, size_t cap) {
    if (!remark || !block || !key || !out || cap == 0) return 0;
    out[0] = '\0';
    const char* start = strstr(remark, block);
    if (!start) return 0;
    const char* p = strchr(start + strlen(block), '[');
    if (!p) return 0;
    ++p;
    const char* end = strchr(p, ']');
    if (!end) end = p + strlen(p);
    const size_t kl = strlen(key);
    while (p < end) {
        while (p < end && (*p == ',' || isspace((unsigned char)*p))) ++p;
        if (p >= end) break;
        const char* stop = p;
        while (stop < end && *stop != ',') ++stop;
        if ((size_t)(stop - p) > kl && strncmp(p, key, kl) == 0 && p[kl] == '=') {
            const char* v = p + kl + 1;
            const char* ve = stop;
            while (v < ve && isspace((unsigned char)*v)) ++v;
            while (ve > v && isspace((unsigned char)ve[-1])) --ve;
            size_t len = (size_t)(ve - v);
            if (len + 1 > cap) return 0;  // does not fit: absent
            memcpy(out, v, len);
            out[len] = '\0';
            return 1;
        }
        p = stop;
    }
    return 0;
}

static int vynmodel_value_is_defined(const char* value) {
    char low[64];
    size_t len = strlen(value);
    while (len > 0 && isspace((unsigned char)value[len - 1])) --len;
    size_t start = 0;
    while (start < len && isspace((unsigned char)value[start])) ++start;
    size_t n = len - start;
    if (n > 63) n = 63;
    for (size_t i = 0; i < n; ++i) low[i] = (char)tolower((unsigned char)value[start + i]);
    low[n] = '\0';
    return n > 0 && strcmp(low, "not defined") != 0;
}

int vynmodel_choose_optimizer_target_from_remark(const char* remark, char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    out[0] = '\0';
    char mode[64], product[256], manual[256];
    int has_mode = vynmodel_metadata_value(remark, "optimizeRf", "targetMode", mode, sizeof(mode));
    int has_product = vynmodel_metadata_value(remark, "optimizeRf", "productOperator", product, sizeof(product)) &&
                      vynmodel_value_is_defined(product);
    int has_manual = vynmodel_metadata_value(remark, "optimizeRf", "manualRecipe", manual, sizeof(manual)) &&
                     vynmodel_value_is_defined(manual);
    const char* chosen = nullptr;
    if (has_mode && strcmp(mode, "manual") == 0 && has_manual)
        chosen = manual;
    else if (has_product)
        chosen = product;
    else if (has_manual)
        chosen = manual;
    if (!chosen) return 0;
    snprintf(out, cap, "%s", chosen);
    return 1;
}

int vynmodel_try_define_optimizer_operator_from_sector_remark(int sector_index) {
    if (sector_index < 1 || sector_index > VYN_MAX_SECTORS) return 0;
    char text[256];
    if (!vynmodel_choose_optimizer_target_from_remark(vyn_sequence.remarks[sector_index], text, sizeof(text))) return 0;
    if (!VYNDefineCurrentExpectationOperatorExpression(text)) {
        fprintf(stderr, "Could not parse GUI-defined optimization target operator '%s'.\n", text);
        return 0;
    }
    return 1;
}
