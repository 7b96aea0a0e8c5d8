// Process entry of vyn.
#include "vyn-entry.h"

int main(int argc, char** argv) { return vyn_main(argc, argv); }
