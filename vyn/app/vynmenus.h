// Preparation menu of vyn, its dialogues, status printouts and label tables.
#pragma once

#include "pulsesequencedefiner.h"  // ComposePulseSequence, item 3

const char* SequenceTypeLabel(int type);
const char* SectorTypeLabel(int type);

void VYNPrepareMenu();
void PrintPrepareStatus();
void PrintCurrentModelSummary();
void RedefineSpinSystem();
void DefineSpatialSimulationDomain();
