// Program entry of vyn: the three non-interactive commands, the main menu,
// the model import/export dialogues and the record of the loaded model file.
#pragma once

#include <cstddef>

#include "vynpaths.h"  // g_loaded_model_path

// Process entry: start-up, command dispatch or the interactive main menu.
int vyn_main(int argc, char** argv);

int run_vyn_model_file(const char* model_path);
int write_expectation_profile_file(const char* model_path, const char* density_path, const char* operator_expression,
                                   const char* output_path);
int write_voxel_signal_file(const char* model_path, const char* density_path, const char* point_text,
                            const char* output_path);

int read_menu_choice();
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
