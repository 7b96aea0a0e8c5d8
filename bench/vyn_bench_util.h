// Set-up shared by the vyn benchmarks: a private scratch directory, raw
// double files and the coupled spin-1/2 system they all simulate.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vyn.h"
#include "vyn_sequence.h"

namespace vynbench {

// Every run writes dm.bin and friends into one private temporary directory.
inline void EnterScratchDir() {
    static bool done = false;
    if (done) return;
    char tmpl[] = "/tmp/vynbench-XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0) std::abort();
    done = true;
}

inline void WriteDoubles(const char* path, const std::vector<double>& v) {
    FILE* f = std::fopen(path, "wb");
    if (!f || std::fwrite(v.data(), sizeof(double), v.size(), f) != v.size()) std::abort();
    std::fclose(f);
}

// nspins coupled spins-1/2: offsets -200 + 75 s Hz, J(i,k) = 3 + i + k/2 Hz,
// exact coupling.
inline void SpinHalfSystem(int nspins) {
    VYNSpinState& s = vyn_spin;
    std::memset(s.jc, 0, sizeof s.jc);
    s.Nspins = nspins;
    s.Jexact = 2;
    s.Jcount = 0;
    for (int i = 1; i <= nspins; ++i) {
        s.quantnum[i] = 1;
        s.relspinamp[i] = 1.0;
        s.resofreqs[i] = -200.0 + 75.0 * i;
        for (int k = i + 1; k <= nspins; ++k) s.couplings[++s.Jcount] = 3.0 + i + 0.5 * k;
    }
}

// Quiet engine in the scratch directory, empty sequence, nspins coupled spins-1/2.
inline void FreshEngine(int nspins) {
    EnterScratchDir();
    VYN_SetSmokeCheckMode(1);
    init();
    VYNSequenceState_Reset();
    SpinHalfSystem(nspins);
}

// Sector s of the sequence: type (1 normal, 2 evolution), samples, evolution
// rows, duration (s), waveform file and remark; no static offset.
inline void DefineSector(int s, int type, int noti, int nevo, double dur, const char* file, const char* remark) {
    VYNSequenceState& q = vyn_sequence;
    if (q.nos < s) q.nos = s;
    q.sectype[s] = type;
    q.noti[s] = noti;
    q.nevo[s] = nevo;
    q.sectdur[s] = dur;
    q.statoff[s] = 0.0;
    std::snprintf(q.fnames[s], sizeof q.fnames[s], "%s", file);
    std::snprintf(q.remarks[s], sizeof q.remarks[s], "%s", remark);
}

}  // namespace vynbench
