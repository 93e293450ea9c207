#include "patch/PatchWriter.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace patchfile {

std::string PatchTextFor(const std::int32_t (&values)[ImageLength]) {
  std::string body;
  body.reserve(ImageLength * 16);
  for (int i = 0; i < ImageLength; ++i) {
    if (i > 0) body += '\n';
    body += std::to_string(i) + ";" + std::to_string(values[i]);
  }
  // The sum of the characters before the end mark as signed 8-bit numbers,
  // wrapping like the reader's 32-bit add.
  std::uint32_t sum = 0;
  for (char c : body)
    sum += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(c)));
  return body + "E" + std::to_string(static_cast<std::int32_t>(sum)) + "\n";
}

namespace {

namespace fs = std::filesystem;

fs::path DirectoryOf(const fs::path& p) {
  fs::path dir = p.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

TWriteResult CheckTarget(const std::string& path, bool overwrite) {
  std::error_code ec;
  fs::path p(path);
  if (path.empty() || !p.has_filename()) return TWriteResult::wrFailed;
  if (!fs::is_directory(DirectoryOf(p), ec)) return TWriteResult::wrNoDirectory;
  if (fs::exists(p, ec)) {
    if (!overwrite) return TWriteResult::wrExists;
    if (!fs::is_regular_file(p, ec)) return TWriteResult::wrFailed;
  }
  return TWriteResult::wrWritten;
}

TWriteResult WriteTextFile(const std::string& path, const std::string& text, bool overwrite) {
  TWriteResult check = CheckTarget(path, overwrite);
  if (check != TWriteResult::wrWritten) return check;

  const std::string side = path + ".part";
  std::FILE* f = std::fopen(side.c_str(), "wb");
  if (f == nullptr) return TWriteResult::wrFailed;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  std::error_code ec;
  if (ok) {
    // Checked once more just before the name is taken: the file may have
    // come into being while the board was read.
    if (!overwrite && fs::exists(path, ec)) {
      fs::remove(side, ec);
      return TWriteResult::wrExists;
    }
    fs::rename(side, path, ec);
    ok = !ec;
  }
  if (!ok) {
    fs::remove(side, ec);
    return TWriteResult::wrFailed;
  }
  return TWriteResult::wrWritten;
}

}  // namespace patchfile
