// The interactive pulse-sequence composer (not built yet).
#include "pulsesequencedefiner.h"

#include <cstdio>

void ComposePulseSequence() { printf("[VYN] The pulse-sequence composer is not available yet.\n"); }
