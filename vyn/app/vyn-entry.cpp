// Program entry of vyn.
#include "vyn-entry.h"

#include "vynpaths.h"

#include <cstdio>
#include <cstring>

char g_loaded_model_path[1024];
int g_loaded_model_path_valid = 0;

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
