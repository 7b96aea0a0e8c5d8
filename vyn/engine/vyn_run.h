// Model run driver of vyn: readiness checks, result clean-up and dispatch to
// the propagators (the run / analyze menu is vynrunmenu.h).
#pragma once

void RunCurrentPreparedModel();
// Runs the prepared model; true when every sector was propagated and the
// result was written (false after any problem, which is reported on the console).
bool VYNRunCurrentPreparedModel();
void VYN_RunCurrentPreparedModel();
