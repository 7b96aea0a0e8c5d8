#include <cstdio>

#include "qorvane_cli.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return qorvane_main(argc, argv);
}
