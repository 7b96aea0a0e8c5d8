// The "Run / Analyze Current Model" menu of vyn and its status printout.
#pragma once

void PrintNonInteractiveStatus();
void LiouvilleNonInteractive();
