// The stage operations of the run, each supplied by its own module.
#pragma once

#include "patch/PatchFile.h"
#include "protocol/Protocol.h"

// Port discovery: true when the board's port was found and is open.
bool FindBoardPort();
// VerifyPatchFile and ApplyPatchFile: patch/PatchFile.h; ReadConfiguration
// and ProgramConfiguration: protocol/Protocol.h.
