// Model run driver of vyn: readiness checks, result clean-up, dispatch to
// the propagators, the run status printout and the run / analyze menu.
#pragma once

void RunCurrentPreparedModel();
// Runs the prepared model; true when every sector was propagated and the
// result was written (false after any problem, which is reported on the console).
bool VYNRunCurrentPreparedModel();
void VYN_RunCurrentPreparedModel();
void PrintNonInteractiveStatus();
void LiouvilleNonInteractive();
