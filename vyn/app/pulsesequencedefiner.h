// The interactive pulse-sequence composer.
#pragma once

// Composes or edits the current pulse sequence; answers in one line while it
// is not available.
void ComposePulseSequence();
