// The sector-optimisation dialogue of the run menu.
#pragma once

// Optimises the RF waveform of one sector of the current 1D/2D sequence;
// answers in one line while it is not available.
void VYNModel_OptimizePreparedSequenceSectorInteractive();
