// Waveform state of the vyn engine: the sample arrays of the current sector.
#pragma once

constexpr int VYN_MAX_RF_POINTS = 8192;  // length of xb, yb, gx, gy, gz

// Sample arrays of the current sector: RF components xb, yb in rad/s and
// gradient samples gx, gy, gz in rad/s per cm, one per time interval. One
// instance, vyn_waveform, is the engine's waveform state.
struct VYNWaveformState {
    double xb[VYN_MAX_RF_POINTS];
    double yb[VYN_MAX_RF_POINTS];
    double gx[VYN_MAX_RF_POINTS];
    double gy[VYN_MAX_RF_POINTS];
    double gz[VYN_MAX_RF_POINTS];
};
extern VYNWaveformState vyn_waveform;
