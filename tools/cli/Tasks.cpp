#include "tools/cli/Tasks.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/AlertTone.h"
#include "app/Main.h"
#include "app/PortSearch.h"
#include "app/Stages.h"
#include "discovery/Enumeration.h"
#include "patch/PatchWriter.h"
#include "platform/Platform.h"
#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "protocol/RunHost.h"

namespace {

TCliTaskOptions g_options;
bool g_readSucceeded = false;

[[noreturn]] void Fail(const std::string& text) {
  RunHost().ShowErrorMessage(text);
  RunHost().EndRun();
  std::abort();  // not reached: EndRun ends the process
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The message for a file that cannot be written, or nothing when it can.
std::string WriteProblem(patchfile::TWriteResult r, const std::string& path) {
  switch (r) {
    case patchfile::TWriteResult::wrWritten:
      return "";
    case patchfile::TWriteResult::wrExists:
      return "Die Datei " + Quoted(path) +
             " gibt es schon, sie wird nicht überschrieben!\n(--force ersetzt sie.)";
    case patchfile::TWriteResult::wrNoDirectory:
      return "Das Verzeichnis für die Datei " + Quoted(path) + " gibt es nicht!";
    case patchfile::TWriteResult::wrFailed:
      break;
  }
  return "Die Datei " + Quoted(path) + " konnte nicht vollständig geschrieben werden!";
}

// Before the board is touched: a file that could not be written stops the
// run at once rather than after the read.
void CheckTargetFile(const std::string& path, const char* consequence) {
  std::string problem = WriteProblem(patchfile::CheckTarget(path, g_options.force), path);
  if (!problem.empty()) Fail(problem + consequence);
}

// Writes the configuration as read; the message for a failure, or nothing.
std::string SaveConfiguration(const std::string& path) {
  return WriteProblem(
      patchfile::WriteTextFile(path, patchfile::PatchTextFor(ConfigImage.Values), g_options.force), path);
}

// The closing reset of programming on its own: DTR on and off again, so the
// board is left running.
void ResetBoardRunning() {
  protocol::ResetOn();
  platform::Sleep(200);
  protocol::ResetOff();
}

void ReportConfiguration() {
  using platform::Transcript;
  Transcript::Line("identity type " + std::to_string(ConfigImage.DeviceType) + " language " +
                   std::to_string(ConfigImage.Language) + " text " +
                   Transcript::Escape(ConfigImage.DeviceText));
  std::string line = "values";
  for (std::int32_t v : ConfigImage.Values) line += " " + std::to_string(v);
  Transcript::Line(line);
}

const char* const kNotProgrammed = "\n\nDie LCD-Platine wurde nicht programmiert.";

void ReadTask() {
  ::ReadConfiguration();
  ResetBoardRunning();
  ReportConfiguration();
  std::string text = "Konfiguration erfolgreich gelesen!";
  if (!g_options.saveFile.empty()) {
    std::string problem = SaveConfiguration(g_options.saveFile);
    if (!problem.empty()) Fail(problem);
    platform::Transcript::Line("saved " + platform::Transcript::Escape(g_options.saveFile));
    text += "\n\nGespeichert in " + Quoted(g_options.saveFile) + ".";
  }
  g_readSucceeded = true;
  RunHost().ShowInfoMessage(text);
  RunHost().EndRun();
}

void VerifyTask() {
  std::int32_t sent[ImageLength];
  std::memcpy(sent, ConfigImage.Values, sizeof sent);
  ::ProgramConfiguration();
  ::ReadConfiguration();
  ResetBoardRunning();
  std::string differences;
  for (int i = 0; i < ImageLength; ++i) {
    if (ConfigImage.Values[i] == sent[i]) continue;
    differences += "\nWert " + std::to_string(i) + ": gesendet " + std::to_string(sent[i]) + ", gelesen " +
                   std::to_string(ConfigImage.Values[i]);
  }
  if (!differences.empty())
    Fail("Prüfung fehlgeschlagen!\n\nDie LCD-Platine hält nicht die gesendete Konfiguration:\n" +
         differences);
  RunHost().Status().SetCaption("Konfiguration geprüft");
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The port the user named, in place of the search: it must be a port of the
// machine and is test-opened exclusively like the one the search finds.
bool UseNamedPort() {
  TMainForm& form = *MainForm;
  form.SetControlsEnabled(false);
  form.ComPort->SetActive(false);

  TStringList ports;
  EnumComDevicesFromRegistry(ports);
  form.ComboBox->ClearItems();
  for (int i = 0; i < ports.Count(); ++i) form.ComboBox->AddItem(ports[i]);
  auto enableSearch = [&form] {
    form.SuchenButton->SetEnabled(true);
    form.ComboBox->SetEnabled(true);
    form.ComboBox->Repaint();
  };

  const std::string wanted = ShortPortName(g_options.port);
  int index = ports.IndexOf(wanted);
  for (int i = 0; index < 0 && i < ports.Count(); ++i)
    if (SameIgnoringCase(ports[i], wanted)) index = i;
  if (index < 0) {
    std::string list;
    for (int i = 0; i < ports.Count(); ++i) list += (i > 0 ? ", " : "") + ports[i];
    form.ShowErrorMessage(
        "Port " + g_options.port + " nicht gefunden!\n\n" +
        (list.empty() ? "Auf dem PC gibt es keinen ComPort." : "Vorhandene Ports: " + list));
    enableSearch();
    return false;
  }
  form.ComboBox->SetItemIndex(index);
  form.SetPortName(ports[index]);
  form.ComPort->SetDeviceName(kDevicePathPrefix + std::string(form.PortName()));
  if (!ProbePort(form.PortName())) return false;
  form.ComPort->SetActive(true);
  PlayAlertTone();
  enableSearch();
  return true;
}

}  // namespace

std::string ShortPortName(const std::string& given) {
  std::string name = given;
  const std::string device = kDevicePathPrefix;
  if (name.compare(0, device.size(), device) == 0) return name.substr(device.size());
  const std::string dev = "/dev/";
  if (name.compare(0, dev.size(), dev) != 0) return name;
  name = name.substr(dev.size());
  if (name.find('/') != std::string::npos) {
    // /dev/serial/by-id/... and the like: the tty the link leads to.
    std::error_code ec;
    std::string target = std::filesystem::canonical(given, ec).string();
    if (!ec && target.compare(0, dev.size(), dev) == 0) name = target.substr(dev.size());
  }
  return name;
}

bool CliReadSucceeded() { return g_readSucceeded; }

void InstallCliTasks(const TCliTaskOptions& options) {
  g_options = options;
  TStageOperations& ops = StageOperations();
  const TStageOperations defaults = TStageOperations::Defaults();

  ops.FindBoardPort = [defaults] {
    // Set before the port is first opened, so the log holds the whole run.
    if (!g_options.logFile.empty()) MainForm->ComPort->SetLogFile(g_options.logFile);
    return g_options.port.empty() ? defaults.FindBoardPort() : UseNamedPort();
  };

  if (options.read) {
    ops.VerifyPatchFile = [] {
      if (!g_options.saveFile.empty()) CheckTargetFile(g_options.saveFile, "");
    };
    ops.ReadConfiguration = [] { ReadTask(); };
    return;
  }

  if (!options.backupFile.empty()) {
    ops.VerifyPatchFile = [defaults] {
      defaults.VerifyPatchFile();
      CheckTargetFile(g_options.backupFile, kNotProgrammed);
    };
    ops.ReadConfiguration = [defaults] {
      defaults.ReadConfiguration();
      std::string problem = SaveConfiguration(g_options.backupFile);
      if (!problem.empty()) {
        // Nothing will be programmed: leave the board running as it was.
        ResetBoardRunning();
        Fail(problem + kNotProgrammed);
      }
      platform::Transcript::Line("backup " + platform::Transcript::Escape(g_options.backupFile));
    };
  }
  if (options.verify) ops.ProgramConfiguration = [] { VerifyTask(); };
}
