#include "tools/cli/OsFaults.h"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "emulator/SimRig.h"
#include "platform/FaultSerial.h"
#include "platform/Platform.h"
#include "platform/Scoped.h"
#include "platform/sim/SimSerial.h"

namespace {

std::unique_ptr<platform::FaultSerialSystem> g_fault;
std::optional<platform::ScopedSerial> g_useFault;
emulator::TSimRig* g_rig = nullptr;
bool g_report = false;

int Number(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  long v = -1;
  try {
    v = std::stol(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || v < 1 || v > 0x7FFFFFFF) throw std::invalid_argument("bad number in " + what);
  return static_cast<int>(v);
}

platform::SerialOp Op(const std::string& name) {
  platform::SerialOp op;
  if (!platform::ParseSerialOp(name, op)) throw std::invalid_argument("unknown driver operation " + name);
  return op;
}

}  // namespace

bool ParseOsFaultOption(TOsFaultOptions& o, int argc, char** argv, int& i) {
  std::string a = argv[i];
  if (a != "--os-fault" && a != "--os-vanish" && a != "--error-flavour" && a != "--os-report") return false;
  if (a == "--os-report") {
    o.report = true;
    return true;
  }
  if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
  std::string v = argv[++i];
  if (a == "--error-flavour") {
    if (!platform::ParseFlavour(v, o.flavour))
      throw std::invalid_argument("--error-flavour is windows or linux");
  } else if (a == "--os-fault") {
    // Checked here, so a bad value is a usage error before the run.
    std::size_t eq = v.find('=');
    if (eq == std::string::npos) throw std::invalid_argument("--os-fault needs OP=K[:CODE]");
    Op(v.substr(0, eq));
    std::string rest = v.substr(eq + 1);
    std::size_t colon = rest.find(':');
    Number(rest.substr(0, colon), v);
    if (colon != std::string::npos) Number(rest.substr(colon + 1), v);
    o.faults.push_back(v);
  } else {
    std::size_t eq = v.find('=');
    if (eq == std::string::npos)
      Number(v, a);
    else {
      Op(v.substr(0, eq));
      Number(v.substr(eq + 1), a);
    }
    o.vanish = v;
  }
  return true;
}

void InstallOsFaults(const TOsFaultOptions& o, emulator::TSimRig& rig) {
  g_rig = &rig;
  g_report = o.report;
  g_fault = std::make_unique<platform::FaultSerialSystem>(rig.Serial(), o.flavour);
  for (const std::string& f : o.faults) {
    std::size_t eq = f.find('=');
    std::string rest = f.substr(eq + 1);
    std::size_t colon = rest.find(':');
    std::uint32_t code = platform::CodesOf(o.flavour).Failure;
    if (colon != std::string::npos) code = static_cast<std::uint32_t>(Number(rest.substr(colon + 1), f));
    g_fault->FailAt(Op(f.substr(0, eq)), Number(rest.substr(0, colon), f), code);
  }
  if (!o.vanish.empty()) {
    std::size_t eq = o.vanish.find('=');
    if (eq == std::string::npos)
      g_fault->VanishAt(Number(o.vanish, "--os-vanish"));
    else
      g_fault->VanishAt(Op(o.vanish.substr(0, eq)), Number(o.vanish.substr(eq + 1), "--os-vanish"));
  }
  g_useFault.emplace(*g_fault);
  if (o.report) rig.Board().OnStoreRequest = [] { platform::Transcript::Line("store-request"); };
}

void ReportOsFaults() {
  if (!g_fault || !g_report) return;
  std::string line = "os calls";
  for (int i = 0; i < platform::kSerialOpCount; ++i) {
    auto op = static_cast<platform::SerialOp>(i);
    line += std::string(" ") + platform::SerialOpName(op) + "=" + std::to_string(g_fault->Calls(op));
  }
  line += " devicecalls=" + std::to_string(g_fault->DeviceCalls());
  platform::Transcript::Line(line);
  const emulator::TLcdBoard& board = g_rig->Board();
  platform::Transcript::Line("os board received=" + std::to_string(board.BytesReceived()) +
                             " value-chars=" + std::to_string(board.ValueCharsReceived()));
  // A thread that has been told to end gets a moment of real time to do so;
  // one that is stuck stays counted.
  platform::SimSerialSystem& s = g_rig->Serial();
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (s.LiveThreads() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  platform::Transcript::Line("os left handles=" + std::to_string(s.LiveHandles()) + " events=" +
                             std::to_string(s.LiveEvents()) + " threads=" + std::to_string(s.LiveThreads()));
}
