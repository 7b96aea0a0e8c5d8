// The model import/export dialogues of vyn, the record of the loaded model
// file and the model-file helpers they use; the entry and every menu call
// down into this file.
#include "vynmodeldialog.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "consuleutil.h"
#include "vyn.h"
#include "vynmodel.h"
#include "vynpaths.h"

namespace {

constexpr size_t kErrBufSize = 512;
const char* const kPausePrompt = "\nPress Enter to return to the menu...";

void pause_prompt() { consule_pause(kPausePrompt); }

// Reads one line of at most cap-1 characters; the rest of a longer line is dropped.
// Returns 0 at end of input.
int read_line(char* buf, size_t cap) { return read_legacy_line(buf, (int)cap) ? 1 : 0; }

int prompt_model_selection_from_default_dir(char* out, size_t cap) {
    char dir[VYN_PATH_CAP];
    if (!VYN_GetDefaultModelsDir(dir, sizeof(dir))) {
        printf("\n[VYN] Could not determine default models directory.\n");
        pause_prompt();
        return 0;
    }
    static char names[256][260];
    int count = collect_model_files(dir, names, 256);
    if (count <= 0) {
        printf("\n[VYN] No .vynmodel files found in:\n      %s\n", dir);
        pause_prompt();
        return 0;
    }
    printf("\n[VYN] Available model files in:\n      %s\n\n", dir);
    for (int i = 0; i < count; ++i) printf("  %3d) %s\n", i + 1, names[i]);
    int choice = 0;
    for (;;) {
        printf("\nSelect model file [1-%d] (Enter cancels): ", count);
        fflush(stdout);
        char line[64];
        if (!read_line(line, sizeof(line))) return 0;
        if (line[0] == '\0') return 0;
        if (sscanf(line, "%d", &choice) == 1 && choice >= 1 && choice <= count) break;
        printf("[VYN] Invalid selection.\n");
    }
    return VYN_BuildPath(out, cap, dir, names[choice - 1]);
}

int prompt_export_model_path(char* path, size_t cap) {
    char dir[VYN_PATH_CAP];
    if (!VYN_GetDefaultModelsDir(dir, sizeof(dir))) {
        printf("\n[VYN] Could not determine default models directory.\n");
        pause_prompt();
        return 0;
    }
    printf("\n[VYN] Default models directory:\n      %s\n", dir);
    char input[512];
    if (!prompt_model_path("Enter .vynmodel file to export to: ", input, sizeof(input))) return 0;
    if (!resolve_model_path(path, cap, input)) return 0;
    if (!ensure_vynmodel_extension(path, cap)) {
        printf("\n[VYN] Export failed: output path is too long.\n");
        pause_prompt();
        return 0;
    }
    if (file_exists(path)) {
        printf("\n[VYN] File already exists:\n      %s\n", path);
        printf("Overwrite? [1=yes, 0=no]: ");
        fflush(stdout);
        char line[64];
        if (!read_line(line, sizeof(line))) return 0;
        int v = 0;
        if (sscanf(line, "%d", &v) != 1 || v != 1) {
            printf("\n[VYN] Export cancelled.\n");
            pause_prompt();
            return 0;
        }
    }
    return 1;
}

}  // namespace

ModelRecords* allocate_records() {
    ModelRecords* r = static_cast<ModelRecords*>(malloc(sizeof(ModelRecords)));
    if (!r) return nullptr;
    VYNSpinSystemDef_Init(&r->spin);
    VYNPulseSequenceDef_Init(&r->seq);
    VYNRunConfig_Init(&r->cfg);
    return r;
}

void print_model_summary(const char* model_path, const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                         const VYNRunConfig* cfg) {
    printf("\n[VYN] Loaded model: %s\n", model_path);
    printf("[VYN] Spin system:\n  nspins = %d\n", spin->nspins);
    printf("  spin quantum numbers:");
    for (int i = 1; i <= spin->nspins; ++i) printf(" %d", spin->spin_quantum_numbers[i]);
    printf("\n  relative intensities:");
    for (int i = 1; i <= spin->nspins; ++i) printf(" %.15g", spin->relative_intensities[i]);
    printf("\n  resonance offsets [Hz]:");
    for (int i = 1; i <= spin->nspins; ++i) printf(" %.15g", spin->resonance_offsets_hz[i]);
    printf("\n  coupling mode = %d\n", spin->coupling_mode);
    printf("[VYN] Sequence:\n  sequence type = %d\n  number of sectors = %d\n", seq->sequence_type, seq->sector_count);
    for (int s = 1; s <= seq->sector_count; ++s) {
        const VYNPulseSectorDef& sec = seq->sectors[s];
        printf(
            "    sector %d: type=%d timepoints=%d evolpoints=%d duration=%.15g pulsefile=%s statoff=%.15g "
            "remark=%s\n",
            s, sec.sector_type, sec.number_of_timepoints, sec.number_of_evolpoints, sec.total_duration_s,
            sec.pulse_filename, sec.offset_frequency_hz, sec.remark);
    }
    printf("[VYN] Grid/run config:\n  ndx=%d ndy=%d ndz=%d\n", cfg->ndx, cfg->ndy, cfg->ndz);
    printf("  origin [cm] = (%.15g, %.15g, %.15g)\n", cfg->x0_cm, cfg->y0_cm, cfg->z0_cm);
    printf("  delta  [cm] = (%.15g, %.15g, %.15g)\n", cfg->dx_cm, cfg->dy_cm, cfg->dz_cm);
    printf("  result file = %s\n", cfg->result_filename);
}

void set_loaded_model_path(const char* path) {
    if (!path || !path[0]) {
        g_loaded_model_path[0] = '\0';
        g_loaded_model_path_valid = 0;
        return;
    }
    snprintf(g_loaded_model_path, sizeof(g_loaded_model_path), "%s", path);
    g_loaded_model_path_valid = 1;
    seed_current_model_short_name_from_path(path);
}

void clear_loaded_model_path() {
    g_loaded_model_path[0] = '\0';
    g_loaded_model_path_valid = 0;
    clear_current_model_short_name();
}

void VYNPrintCurrentModelFileHint() {
    if (g_loaded_model_path_valid)
        printf("Current model file : %s\n", g_loaded_model_path);
    else
        printf("Current model file : <unsaved current model>\n");
}

int file_exists(const char* path) { return vyn_file_exists_local(path); }

int text_file_contains_literal(const char* path, const char* literal) {
    if (!path || !literal) return 0;
    FILE* fp = vyn_fopen_regular(path, "r");
    if (!fp) return 0;
    char line[1024];
    int found = 0;
    while (!found && fgets(line, sizeof(line), fp))
        if (strstr(line, literal)) found = 1;
    fclose(fp);
    return found;
}

int is_split_model_file(const char* dir, const char* leaf) {
    char path[VYN_PATH_CAP];
    if (!VYN_BuildPath(path, sizeof(path), dir, leaf)) return 0;
    return text_file_contains_literal(path, "spin_system_file:") && text_file_contains_literal(path, "sequence_file:");
}

int has_vynmodel_extension_ci(const char* path) {
    if (!path) return 0;
    const char* dot = strrchr(path, '.');
    return dot && strcasecmp(dot, ".vynmodel") == 0;
}

int ensure_vynmodel_extension(char* path, size_t cap) {
    if (!path) return 0;
    if (has_vynmodel_extension_ci(path)) return 1;
    size_t len = strlen(path);
    if (len + 10 > cap) return 0;
    memcpy(path + len, ".vynmodel", 10);
    return 1;
}

int path_has_separator(const char* text) {
    return text && (strchr(text, '\\') || strchr(text, '/') || strchr(text, ':'));
}

int resolve_model_path(char* out, size_t cap, const char* input) {
    if (!out || cap == 0 || !input || !input[0]) return 0;
    if (path_has_separator(input)) {
        if (strlen(input) + 1 > cap) return 0;
        strcpy(out, input);
        return 1;
    }
    char dir[VYN_PATH_CAP];
    if (!VYN_GetDefaultModelsDir(dir, sizeof(dir))) return 0;
    return VYN_BuildPath(out, cap, dir, input);
}

int prompt_model_path(const char* prompt, char* out, size_t cap) {
    printf("\n%s", prompt);
    fflush(stdout);
    char line[512];
    if (!read_line(line, sizeof(line))) return 0;
    if (line[0] == '\0') return 0;
    snprintf(out, cap, "%s", line);
    return 1;
}

int collect_model_files(const char* dir, char names[][260], int max) {
    if (!dir || !names || max <= 0) return 0;
    DIR* d = opendir(dir);
    if (!d) return 0;
    // Directory order is arbitrary on this platform: the list is kept sorted by
    // name, and with more than max files it holds the first max names.
    int count = 0;
    struct dirent* e;
    while ((e = readdir(d)) != nullptr) {
        if (!has_vynmodel_extension_ci(e->d_name) || strlen(e->d_name) > 259) continue;
        if (count == max && strcmp(e->d_name, names[count - 1]) >= 0) continue;
        char full[VYN_PATH_CAP];
        struct stat st;
        // Only plain files are read: a named pipe would block the listing.
        if (!VYN_BuildPath(full, sizeof(full), dir, e->d_name) || stat(full, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!is_split_model_file(dir, e->d_name)) continue;
        int pos = count < max ? count : max - 1;
        while (pos > 0 && strcmp(e->d_name, names[pos - 1]) < 0) {
            memcpy(names[pos], names[pos - 1], 260);
            --pos;
        }
        snprintf(names[pos], 260, "%s", e->d_name);
        if (count < max) ++count;
    }
    closedir(d);
    return count;
}

void import_vyn_model() {
    char path[1024];
    if (!prompt_model_selection_from_default_dir(path, sizeof(path))) return;
    ModelRecords* r = allocate_records();
    if (!r) {
        printf("\n[VYN] Import failed: could not allocate model state\n");
        pause_prompt();
        return;
    }
    char err[kErrBufSize] = "";
    VYNModelStatus st = VYNModel_LoadText(path, &r->spin, &r->seq, &r->cfg, err, sizeof(err));
    if (st == VYN_MODEL_OK) st = VYNModel_ActivateInLegacyRuntime(&r->spin, &r->seq, &r->cfg, err, sizeof(err));
    if (st != VYN_MODEL_OK) {
        printf("\n[VYN] Import failed: %s (%s)\n", VYNModelStatusString(st), err);
        printf("[VYN] Path used: %s\n", path);
    } else {
        print_model_summary(path, &r->spin, &r->seq, &r->cfg);
        set_loaded_model_path(path);
        printf("\n[VYN] Import successful.\n");
    }
    free(r);
    pause_prompt();
}

void export_loaded_vyn_model() {
    char path[1024];
    if (!prompt_export_model_path(path, sizeof(path))) return;
    char err[kErrBufSize] = "";
    VYNModelStatus st = VYNModel_SaveCurrentLegacyStateToText(path, err, sizeof(err));
    if (st == VYN_MODEL_OK) {
        set_loaded_model_path(path);
        char shown[VYN_PATH_CAP];
        printf("\n[VYN] Exported current state to %s\n", vyn_path_for_message(path, shown, sizeof(shown)));
    } else if (st == VYN_MODEL_ERR_INCOMPATIBLE) {
        printf("\n[VYN] No current model is available to export yet.\n");
        printf("[VYN] Load, import, or define a spin system first, then export it.\n");
    } else {
        printf("\n[VYN] Export failed: %s (%s)\n", VYNModelStatusString(st), err);
        printf("[VYN] Path used: %s\n", path);
    }
    pause_prompt();
}

void VYNExportCurrentModelInteractive() { export_loaded_vyn_model(); }
