// The RF pulse optimisation dialogues.
#pragma once

// Run menu: optimises the RF waveform of one sector of the current 1D/2D
// sequence inside the whole sequence and, when the user accepts, replaces the
// sector's waveform file with the result.
void VYNModel_OptimizePreparedSequenceSectorInteractive();

// Main menu: designs a pulse of a chosen grid that acts on the initial state
// of the current spin system and maximises <O> right after it; the result can
// be written as a pulse CSV with a plot.
void VYNOptimizeSpinStateSelectivePulseInteractive();
