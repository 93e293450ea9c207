#include "app/PatchFolder.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "framework/Toolkit.h"
#include "platform/Platform.h"

namespace {

constexpr char kPatchFileName[] = "Quorvaltine.ini";

std::string Shown(const std::filesystem::path& p) {
  std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// Windows opens "quorvaltine.ini" as the patch file, Linux does not.
bool IsPatchFileName(const std::filesystem::path& name) {
  std::string n = Shown(name);
  if (!platform::Current().FileNamesIgnoreCase()) return n == kPatchFileName;
  std::string want = kPatchFileName;
  return n.size() == want.size() && std::equal(n.begin(), n.end(), want.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace

std::string EnterPatchFolder(const std::filesystem::path& argument) {
  std::error_code ec;
  std::filesystem::file_status st = std::filesystem::status(argument, ec);
  if (ec || !std::filesystem::exists(st)) return Shown(argument) + "\n\nnicht gefunden!";
  std::filesystem::path folder = argument;
  if (!std::filesystem::is_directory(st)) {
    if (!IsPatchFileName(argument.filename()))
      return Shown(argument) + "\n\nist keine Patch-Datei: sie muss " + kPatchFileName + " heißen!";
    folder = argument.parent_path();
    // A bare file name is in the working directory already.
    if (folder.empty()) return "";
  }
  std::filesystem::current_path(folder, ec);
  if (ec) return Shown(argument) + "\n\nOrdner kann nicht geöffnet werden!";
  return "";
}

bool AcceptStartArguments(const std::vector<std::filesystem::path>& arguments) {
  if (arguments.empty()) return true;
  std::string refusal = arguments.size() > 1 ? std::string("Bitte nur eine Patch-Datei ") + kPatchFileName +
                                                   " (oder ihren Ordner) angeben!"
                                             : EnterPatchFolder(arguments.front());
  if (refusal.empty()) return true;
  // The message convention's error box; the window does not exist yet.
  platform::Current().MessageBeep();
  InstalledToolkit()->MessageBox(refusal, "Fehler", TMsgBoxKind::Error);
  return false;
}
