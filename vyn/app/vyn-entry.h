// Program entry of vyn: the three non-interactive commands and the main menu
// (the model import/export dialogues are in vynmodeldialog.h).
#pragma once

#include <cstddef>

#include "vynmodeldialog.h"

// Process entry: start-up, command dispatch or the interactive main menu.
int vyn_main(int argc, char** argv);

int run_vyn_model_file(const char* model_path);
// Loads and activates a model with the checks and messages of --run-model,
// without running it; 0 on success.
int prepare_vyn_model_file(const char* model_path);
int write_expectation_profile_file(const char* model_path, const char* density_path, const char* operator_expression,
                                   const char* output_path);
int write_voxel_signal_file(const char* model_path, const char* density_path, const char* point_text,
                            const char* output_path);

int read_menu_choice();
