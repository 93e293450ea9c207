// The stage operations of the run, each supplied by its own module.
#pragma once

#include "patch/PatchFile.h"

// Port discovery: true when the board's port was found and is open.
bool FindBoardPort();
// Reads the board's configuration; returns only on success.
void ReadConfiguration();
// VerifyPatchFile and ApplyPatchFile: patch/PatchFile.h.
// Programs the board; returns only on success.
void ProgramConfiguration();
