// Model run driver: readiness checks, result clean-up and dispatch to the
// propagators.
#include "vyn_run.h"

#include <cstdio>
#include <cstring>

#include "vyn.h"
#include "vyn_sequence.h"
#include "vynpaths.h"

namespace {

const char* const kResultFiles[] = {"dm.bin", "store", "vynsign.bin", "spectra.bin"};

bool spin_system_ready() { return vyn_spin.Nspins >= 1 && vyn_sequence.systemset; }

bool sectors_ready() { return vyn_sequence.nos >= 1 && vyn_sequence.sectorset; }

bool run_dispatch();

// While the run lasts, a relative result name (a file of the working
// directory) is held as its absolute path, so that the run's messages name
// the result as the user can open it; the model keeps the name as entered.
bool run_with_result_path_shown() {
    char* name = vyn_sequence.resultflnm;
    char kept[sizeof(vyn_sequence.resultflnm)], shown[VYN_PATH_CAP];
    std::snprintf(kept, sizeof kept, "%s", name);
    const char* full = vyn_path_for_message(kept, shown, sizeof shown);
    if (std::strlen(full) < sizeof kept) std::snprintf(name, sizeof kept, "%s", full);
    const bool ok = run_dispatch();
    std::snprintf(name, sizeof kept, "%s", kept);
    return ok;
}

}  // namespace

bool VYNRunCurrentPreparedModel() {
    const VYNSequenceState& Q = vyn_sequence;
    if (!spin_system_ready()) {
        printf("No spin system is currently prepared.\nImport or define a model first.\n");
        return false;
    }
    if (Q.sequencetype < 1) {
        printf(
            "No sequence family is currently selected.\n"
            "Choose a sequence family and define at least one sector first.\n");
        return false;
    }
    if (!sectors_ready()) {
        printf("No pulse sequence is currently prepared.\nCompose or import a model with at least one sector first.\n");
        return false;
    }
    for (const char* f : kResultFiles) remove(f);
    return run_with_result_path_shown();
}

namespace {

bool run_dispatch() {
    const VYNSequenceState& Q = vyn_sequence;
    if (Q.sequencetype == 1) {
        if (vyn_grid.ndx > 0 && vyn_grid.ndy > 0 && vyn_grid.ndz > 0 && Q.offsetset) {
            if (!VYN_GetSmokeCheckMode()) printf("Running current prepared spatially resolved model...\n\n");
            return SimulateLoadedPulseSequence();
        } else {
            printf(
                "The current model is spatially resolved, but the spatial grid\nis not fully defined yet.\n"
                "Define the spatial simulation domain first.\n");
        }
    } else if (Q.sequencetype == 2) {
        if (!VYN_GetSmokeCheckMode()) printf("Running current prepared 1D / 2D NMR model...\n\n");
        return SimulateLoaded2DPulseSequence();
    } else {
        printf("Unknown sequence type (%d).\n", Q.sequencetype);
        printf("Choose a valid sequence family and verify the current model.\n");
    }
    return false;
}

}  // namespace

void RunCurrentPreparedModel() { VYNRunCurrentPreparedModel(); }

void VYN_RunCurrentPreparedModel() { RunCurrentPreparedModel(); }
