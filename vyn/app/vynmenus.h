// Preparation menu of vyn, its dialogues, status printouts and label tables.
#pragma once

const char* SequenceTypeLabel(int type);
const char* SectorTypeLabel(int type);

void VYNPrepareMenu();
void PrintPrepareStatus();
void PrintCurrentModelSummary();
void RedefineSpinSystem();
void DefineSpatialSimulationDomain();
