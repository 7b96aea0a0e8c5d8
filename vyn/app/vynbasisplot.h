// basis.png of a basis set: the pattern spectra stacked over a ppm axis, drawn
// by gnuplot when it is on PATH (nothing depends on the picture).
#pragma once

#include <string>
#include <vector>

struct VYNBasisPlotEntry {
    std::string name;  // the spectrum is OUT_DIR/<name>.bin
    int points;
    double dwell_s, spectrometer_mhz, carrier_ppm;
};

// Writes OUT_DIR/basis.png (temporary, then rename). Returns false when
// gnuplot is missing or failed; a message says so, no file is left.
bool vyn_basis_plot(const std::string& out_dir, const std::vector<VYNBasisPlotEntry>& entries);
