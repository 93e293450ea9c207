// The stage operations of the run, each supplied by its own module.
#pragma once

// Port discovery: true when the board's port was found and is open.
bool FindBoardPort();
// The patch file's checksum pass; returns only on success.
void VerifyPatchFile();
// Reads the board's configuration; returns only on success.
void ReadConfiguration();
// The patch file's second pass; returns only on success.
void ApplyPatchFile();
// Programs the board; returns only on success.
void ProgramConfiguration();
