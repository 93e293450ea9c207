// The patch file "Quorvaltine.ini" in the working directory: entries of
// index;value, an end mark "E" and an additive checksum. Read twice per run,
// never written. Every failure shows its message and ends the run.
#pragma once

// The checksum pass, before the board is touched. Returns only when the
// stored checksum equals the computed one; a file whose checksum differs is
// deleted after its message.
void VerifyPatchFile();

// The entry pass, after the board's configuration was read: writes every
// entry's value into ConfigImage.Values. Returns only when the whole entry
// list up to the end mark was applied, and only from the text that the
// checksum pass verified: a file changed since then, or one that was never
// verified, is a fault.
void ApplyPatchFile();

// The common fault of both passes: closes the file, shows
// "Quorvaltine.ini  ist fehlerhaft!" and ends the run.
[[noreturn]] void ReportPatchFileFault();

namespace patchfile {
inline constexpr const char* kFileName = "Quorvaltine.ini";
inline constexpr const char* kCannotOpenText = "Quorvaltine.ini kann nicht geöffnet werden!";
inline constexpr const char* kFaultText = "Quorvaltine.ini  ist fehlerhaft!";
inline constexpr const char* kChecksumText =
    "Die Datei \"Quorvaltine.ini\"  ist fehlerhaft oder wurde verändert,\n\ndie Datei wird gelöscht!";
}  // namespace patchfile
