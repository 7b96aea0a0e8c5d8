// Model run driver of vyn: readiness checks, result clean-up and dispatch to
// the propagators (the run / analyze menu is vynrunmenu.h).
#pragma once

void RunCurrentPreparedModel();
void VYNRunCurrentPreparedModel();
void VYN_RunCurrentPreparedModel();
