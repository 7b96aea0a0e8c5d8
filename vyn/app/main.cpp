// Process entry of vyn: initialises the engine state.
#include "vyn.h"

int main()
{
    init();
    return 0;
}
