// Developer reference checks of the model layer (not built yet).
#include <cstdio>

#include "vynmodel.h"

int VYNModel_RunReferenceChecks() {
    printf("[VYN] Developer smoke/reference checks are not available yet.\n");
    return 0;
}
