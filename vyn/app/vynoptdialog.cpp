// The sector-optimisation dialogue (not built yet).
#include "vynoptdialog.h"

#include <cstdio>

void VYNModel_OptimizePreparedSequenceSectorInteractive() {
    printf("[VYN] Sector optimisation is not available yet.\n");
}
