// quorvaltine-cli: the same program and the same run with the headless
// toolkit (or, with --gui, the desktop window), for service scripts,
// production lines and dry runs on the simulated board.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/Main.h"
#include "emulator/SimRig.h"
#include "framework/ScopedToolkit.h"
#include "framework/Thread.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "serial/ComThread.h"
#include "tools/cli/Desktop.h"
#include "tools/cli/OsFaults.h"
#include "tools/cli/Tasks.h"
#include "tools/cli/TerminalView.h"

namespace {

const char* const kUsage =
    "usage: quorvaltine-cli [--dir DIR] [--backup FILE [--force]] [--verify] [common options]\n"
    "       quorvaltine-cli --read [--save FILE [--force]] [common options]\n"
    "common options: [--port NAME] [--log FILE] [--transcript] [--gui]\n"
    "                [--simulate [--board FILE] [--fault NAME[=N]]... [--realtime] [--latency MS]\n"
    "                 [--no-low-latency] [--error-flavour windows|linux] [--os-fault OP=K[:CODE]]...\n"
    "                 [--os-vanish [OP=]K] [--os-report]]\n";

const char* const kHelp =
    "Patches the LCD board with Quorvaltine.ini, or reads its configuration.\n"
    "\n"
    "  --dir DIR          the directory holding Quorvaltine.ini (default: the current one)\n"
    "  --read             read the board and leave it running; no patch file, nothing programmed\n"
    "  --save FILE        with --read: write the configuration read as a patch file\n"
    "  --backup FILE      in a patch run: first save the configuration read to FILE, or program nothing\n"
    "  --force            let --save or --backup replace an existing file\n"
    "  --verify           after programming, read the board back and compare with what was sent\n"
    "  --port NAME        use this port (ttyUSB1, /dev/ttyUSB1, COM7) instead of the search\n"
    "  --log FILE         append the serial port's transfer log of the whole run to FILE\n"
    "  --transcript       write the transcript even when standard output is a terminal\n"
    "  --gui              show the desktop window instead of the terminal view or transcript\n"
    "  --simulate         run on a simulated machine and board, on a virtual clock\n"
    "  --board FILE       with --simulate: the board's 120 start values\n"
    "  --fault NAME[=N]   with --simulate: make the board misbehave (repeatable)\n"
    "  --realtime         with --simulate: use the real clock\n"
    "  --latency MS       with --simulate: the adapter's latency timer (default 16)\n"
    "  --no-low-latency   with --simulate: do not ask the adapter for low latency\n"
    "  --error-flavour F  with --simulate: the driver's error codes, windows or linux\n"
    "  --os-fault OP=K[:CODE]  with --simulate: the K-th call of driver operation OP fails\n"
    "  --os-vanish [OP=]K with --simulate: the device vanishes at driver call K (of OP)\n"
    "  --os-report        with --simulate: report driver calls and what was left open\n"
    "  --version          print the version\n"
    "  --help             print this help\n"
    "\n"
    "Exit status: 0 when the patch (or the read) succeeded, 1 when the run failed,\n"
    "2 for bad arguments.\n";

struct TCliOptions {
  std::string dir;
  bool simulate = false;
  bool realtime = false;
  bool gui = false;
  bool transcript = false;
  TCliTaskOptions task;
  std::string boardFile;
  std::vector<std::string> faults;
  TOsFaultOptions os;
  double latencyMs = 16;
  bool noLowLatency = false;
  bool adapterOptions = false;
};

std::int64_t g_startUs = 0;
bool g_success = false;
emulator::TSimRig* g_rig = nullptr;

[[noreturn]] void UsageError(const std::string& why) {
  // One line: the reason; the options are one --help away.
  std::fprintf(stderr, "quorvaltine-cli: %s (see --help)\n", why.c_str());
  std::exit(2);
}

TCliOptions Parse(int argc, char** argv) {
  TCliOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') UsageError(a + " needs a value");
      return argv[++i];
    };
    bool osOption = false;
    try {
      osOption = ParseOsFaultOption(o.os, argc, argv, i);
    } catch (const std::exception& e) {
      UsageError(e.what());
    }
    if (osOption) continue;
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
    else if (a == "--latency") {
      std::string v = value();
      char* end = nullptr;
      o.latencyMs = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || !(o.latencyMs >= 0 && o.latencyMs <= 255))
        UsageError("--latency: 0 to 255 ms");
      o.adapterOptions = true;
    } else if (a == "--no-low-latency") {
      o.noLowLatency = true;
      o.adapterOptions = true;
    } else if (a == "--read")
      o.task.read = true;
    else if (a == "--save")
      o.task.saveFile = value();
    else if (a == "--backup")
      o.task.backupFile = value();
    else if (a == "--force")
      o.task.force = true;
    else if (a == "--verify")
      o.task.verify = true;
    else if (a == "--port")
      o.task.port = value();
    else if (a == "--log")
      o.task.logFile = value();
    else if (a == "--transcript")
      o.transcript = true;
    else if (a == "--version") {
      std::printf("quorvaltine-cli %d.%d.%d\n", QUORVALTINE_VERSION_MAJOR, QUORVALTINE_VERSION_MINOR,
                  QUORVALTINE_VERSION_PATCH);
      std::exit(0);
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else
      UsageError("unknown argument " + a);
  }
  if (!o.simulate && (o.realtime || !o.boardFile.empty() || !o.faults.empty() || o.adapterOptions))
    UsageError("--board, --fault, --realtime, --latency and --no-low-latency need --simulate");
  if (!o.simulate && (o.os.Any() || o.os.flavour != platform::kNativeFlavour))
    UsageError("--error-flavour and the --os options need --simulate");
  const TCliTaskOptions& t = o.task;
  if (!t.saveFile.empty() && !t.read) UsageError("--save needs --read");
  if (t.verify && t.read) UsageError("--verify checks a patch run, not --read");
  if (!t.backupFile.empty() && t.read) UsageError("--backup belongs to a patch run; with --read use --save");
  if (t.force && t.saveFile.empty() && t.backupFile.empty()) UsageError("--force needs --save or --backup");
  return o;
}

// On the virtual clock the port's event thread reacts to a step of time only
// after it: before the next step it must have caught up (blocked in a wait
// that has not ended, or with its dispatch queued for the UI thread), or a
// run's events would land at whatever virtual time the thread happened to
// reach. The bound only keeps a stuck thread from stopping the run.
void SettleEventThread() {
  if (g_rig == nullptr || MainForm == nullptr || MainForm->ComPort == nullptr) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool settled = false;
    switch (MainForm->ComPort->EventThreadState()) {
      case TComThreadState::None:
        settled = true;
        break;
      case TComThreadState::Waiting:
        settled = g_rig->BoardLine().EventWaitSettled();
        break;
      case TComThreadState::Synchronizing:
        settled = SynchronizePending();
        break;
      case TComThreadState::Busy:
        break;
    }
    if (settled || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::yield();
  }
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
  ReportOsFaults();
  // An exit from anywhere else: no thread may end while the process does.
  TThread::EndThreads(std::chrono::seconds(2));
  std::int64_t ms = (platform::NowUs() - g_startUs) / 1000;
  int code = g_success || CliReadSucceeded() ? 0 : 1;
  platform::Transcript::Line("time " + std::to_string(ms));
  platform::Transcript::Line("exit " + std::to_string(code));
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions o = Parse(argc, argv);
  // The files named on the command line are where the user's shell is, not
  // below --dir.
  for (std::string* f : {&o.task.saveFile, &o.task.backupFile, &o.task.logFile})
    if (!f->empty()) *f = std::filesystem::absolute(*f).string();
  if (!o.task.logFile.empty()) {
    std::FILE* log = std::fopen(o.task.logFile.c_str(), "a");
    if (log == nullptr) UsageError("cannot write the log " + o.task.logFile + ": " + std::strerror(errno));
    std::fclose(log);
  }
  if (!o.dir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(o.dir, ec);
    if (ec) UsageError("cannot change to " + o.dir + ": " + ec.message());
  }

  // The process ends through exit (AtEnd), never by leaving main: what is
  // installed below stays installed to the end.
  TuneRealClocks();
  std::unique_ptr<emulator::TSimRig> rig;
  std::unique_ptr<platform::IPlatform> realPlatform;
  std::optional<platform::ScopedPlatform> usePlatform;
  if (o.simulate) {
    emulator::TSimRigOptions ro;
    ro.virtualTime = !o.realtime;
    ro.latencyUs = static_cast<std::int64_t>(o.latencyMs * 1000);
    if (o.noLowLatency) ro.lowLatencyRequest = false;
    if (!o.boardFile.empty()) ro.boardValues = ReadBoardFile(o.boardFile);
    try {
      for (const auto& f : o.faults) ro.faults.push_back(emulator::ParseFault(f));
    } catch (const std::exception& e) {
      UsageError(e.what());
    }
    ro.flavour = o.os.flavour;
    rig = std::make_unique<emulator::TSimRig>(ro);
    g_rig = rig.get();
    if (platform::VirtualClock* clock = rig->Platform().Virtual()) clock->SetSettleHook(SettleEventThread);
    if (o.os.Any()) InstallOsFaults(o.os, *rig);
  } else {
    realPlatform = MakeRealPlatform();
    usePlatform.emplace(*realPlatform);
    InstallRealSystem();
  }

  THeadlessToolkit headless;
  std::unique_ptr<IToolkit> desktop;
  if (o.gui) {
    desktop = MakeDesktopToolkit(argc, argv);
    if (!desktop) UsageError("no desktop toolkit in this build");
  }
  ScopedToolkit useToolkit(desktop ? *desktop : static_cast<IToolkit&>(headless));
  SetMessageBoxObserver([](const std::string& title, const std::string& text) {
    if (title == "Information" && text == "Patch erfolgreich beendet!") g_success = true;
  });
  InstallCliTasks(o.task);
  // A person at a terminal gets the terminal view, a script the transcript.
  static std::unique_ptr<TTerminalView> view;
  if (!o.gui && !o.transcript && StdoutIsTerminal()) {
    view = std::make_unique<TTerminalView>(std::cout, true);
    platform::Transcript::SetStream(&view->Stream());
  } else {
    platform::Transcript::SetStream(&std::cout);
  }
  g_startUs = platform::NowUs();
  std::atexit(AtEnd);
  int code = RunQuorvaltine();
  std::exit(code);
}
