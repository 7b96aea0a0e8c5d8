// Model run driver of vyn: readiness checks, result clean-up, dispatch to
// the propagators, the run status printout and the run / analyze menu.
#pragma once

void RunCurrentPreparedModel();
void VYNRunCurrentPreparedModel();
void VYN_RunCurrentPreparedModel();
void PrintNonInteractiveStatus();
void LiouvilleNonInteractive();
