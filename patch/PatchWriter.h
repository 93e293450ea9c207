// Writes a configuration as a patch file: one "index;value" entry per value,
// the end mark and the checksum, in the form the patch run reads. Patching a
// board with such a file gives it back exactly these values.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/ConfigImage.h"

namespace patchfile {

// The whole text of the file, ending in a line end after the checksum.
std::string PatchTextFor(const std::int32_t (&values)[ImageLength]);

enum class TWriteResult {
  wrWritten,
  wrExists,       // the file is there and overwriting was not asked for
  wrNoDirectory,  // the directory it should go to does not exist
  wrFailed,       // it could not be created or written completely
};

// Writes `text` to `path`. The text goes to a side file first and takes the
// name only when it is complete, so a failed write leaves no partial file
// and never spoils a file it was to replace.
TWriteResult WriteTextFile(const std::string& path, const std::string& text, bool overwrite);

// Whether a file could go to `path` at all (no write is made); the same
// results as WriteTextFile but for wrWritten, which here means "looks
// possible".
TWriteResult CheckTarget(const std::string& path, bool overwrite);

}  // namespace patchfile
