// Model import/export dialogues of vyn, the record of the loaded model file
// and the model-file helpers they use. The entry and the menus call these;
// nothing here calls back into them.
#pragma once

#include <cstddef>

#include "vynmodel.h"
#include "vynpaths.h"  // g_loaded_model_path

// The three model records of one command or dialogue.
struct ModelRecords {
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
};

// Initialised records on the heap (free()), nullptr when out of memory.
ModelRecords* allocate_records();
void print_model_summary(const char* model_path, const VYNSpinSystemDef* spin, const VYNPulseSequenceDef* seq,
                         const VYNRunConfig* cfg);

void import_vyn_model();
void export_loaded_vyn_model();
void VYNExportCurrentModelInteractive();
void VYNPrintCurrentModelFileHint();
void set_loaded_model_path(const char* path);
void clear_loaded_model_path();

int file_exists(const char* path);
int text_file_contains_literal(const char* path, const char* literal);
int is_split_model_file(const char* dir, const char* leaf);
int has_vynmodel_extension_ci(const char* path);
int ensure_vynmodel_extension(char* path, size_t cap);
int path_has_separator(const char* text);
int resolve_model_path(char* out, size_t cap, const char* input);
int prompt_model_path(const char* prompt, char* out, size_t cap);
int collect_model_files(const char* dir, char names[][260], int max);
