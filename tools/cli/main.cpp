// quorvaltine-cli: the same program and the same run with the headless
// toolkit (or, with --gui, the desktop window), for service scripts,
// production lines and dry runs on the simulated board.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Main.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "sim/SimRig.h"
#include "tools/cli/Desktop.h"

namespace {

const char* const kUsage =
    "usage: quorvaltine-cli [--dir DIR] [--simulate [--board FILE] [--fault NAME[=N]]... [--realtime]] "
    "[--gui]\n";

struct TCliOptions {
  std::string dir;
  bool simulate = false;
  bool realtime = false;
  bool gui = false;
  std::string boardFile;
  std::vector<std::string> faults;
};

std::int64_t g_startUs = 0;
bool g_success = false;
sim::TSimRig* g_rig = nullptr;

[[noreturn]] void UsageError(const std::string& why) {
  std::fprintf(stderr, "quorvaltine-cli: %s\n%s", why.c_str(), kUsage);
  std::exit(2);
}

TCliOptions Parse(int argc, char** argv) {
  TCliOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "--simulate")
      o.simulate = true;
    else if (a == "--realtime")
      o.realtime = true;
    else if (a == "--gui")
      o.gui = true;
    else if (a == "--dir")
      o.dir = value();
    else if (a == "--board")
      o.boardFile = value();
    else if (a == "--fault")
      o.faults.push_back(value());
    else if (a == "--version") {
      std::puts("quorvaltine-cli " QUORVALTINE_VERSION);
      std::exit(0);
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else
      UsageError("unknown argument " + a);
  }
  if (!o.simulate && (o.realtime || !o.boardFile.empty() || !o.faults.empty()))
    UsageError("--board, --fault and --realtime need --simulate");
  return o;
}

std::vector<std::int32_t> ReadBoardFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) UsageError("cannot read " + path);
  std::vector<std::int32_t> values;
  long long v;
  while (in >> v) {
    if (v < INT32_MIN || v > INT32_MAX) UsageError(path + ": value out of range");
    values.push_back(static_cast<std::int32_t>(v));
  }
  if (!in.eof()) UsageError(path + ": not a list of integers");
  if (values.size() != 120) UsageError(path + ": needs 120 values, has " + std::to_string(values.size()));
  return values;
}

// The process always ends through the library exit (the window's end of
// the run included): here the transcript gets its closing lines and the
// exit status tells success from failure.
void AtEnd() {
  if (g_rig != nullptr) {
    std::string line = "board";
    for (std::int32_t v : g_rig->BoardValues()) line += " " + std::to_string(v);
    platform::Transcript::Line(line);
  }
  std::int64_t ms = (platform::NowUs() - g_startUs) / 1000;
  int code = g_success ? 0 : 1;
  platform::Transcript::Line("time " + std::to_string(ms));
  platform::Transcript::Line("exit " + std::to_string(code));
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions o = Parse(argc, argv);
  if (!o.dir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(o.dir, ec);
    if (ec) UsageError("cannot change to " + o.dir + ": " + ec.message());
  }

  std::unique_ptr<sim::TSimRig> rig;
  std::unique_ptr<platform::IPlatform> realPlatform;
  if (o.simulate) {
    sim::TSimRigOptions ro;
    ro.virtualTime = !o.realtime;
    if (!o.boardFile.empty()) ro.boardValues = ReadBoardFile(o.boardFile);
    try {
      for (const auto& f : o.faults) ro.faults.push_back(sim::ParseFault(f));
    } catch (const std::exception& e) {
      UsageError(e.what());
    }
    rig = std::make_unique<sim::TSimRig>(ro);
    g_rig = rig.get();
  } else {
    realPlatform = MakeRealPlatform();
    platform::Install(realPlatform.get());
    InstallRealSystem();
  }

  THeadlessToolkit headless;
  std::unique_ptr<IToolkit> desktop;
  if (o.gui) {
    desktop = MakeDesktopToolkit(argc, argv);
    if (!desktop) UsageError("no desktop toolkit in this build");
    InstallToolkit(desktop.get());
  } else {
    InstallToolkit(&headless);
  }
  SetMessageBoxObserver([](const std::string& title, const std::string& text) {
    if (title == "Information" && text == "Patch erfolgreich beendet!") g_success = true;
  });
  platform::Transcript::SetStream(&std::cout);
  g_startUs = platform::NowUs();
  std::atexit(AtEnd);
  int code = RunQuorvaltine();
  std::exit(code);
}
