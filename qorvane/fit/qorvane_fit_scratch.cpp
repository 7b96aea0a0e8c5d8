#include "qorvane_fit_scratch.h"

#include <cstdlib>

double* qorvane_engine_work(QorvaneFitEngineScratch* e, size_t doubles) {
    if (doubles <= e->work_doubles) return e->work;
    double* grown = static_cast<double*>(realloc(e->work, sizeof(double) * doubles));
    if (grown == nullptr) return nullptr;  // the old block stays the engine's
    e->work = grown;
    e->work_doubles = doubles;
    return grown;
}

void qorvane_engine_free(QorvaneFitEngineScratch* e) {
    if (e == nullptr) return;
    free(e->work);
    free(e);
}
