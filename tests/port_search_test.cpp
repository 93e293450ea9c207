// The port search, the test-open and the pick in the port list, through the
// program's real entry in a child process on the simulated machine. After
// every search and every pick the child writes one "state" line: the result,
// the port, the device and port names, the four controls (ResetPanel,
// ProgressBar, SuchenButton, ComboBox), the port list with its selection,
// and how often a port was test-opened and the tone played.
#include <gtest/gtest.h>

#include <cctype>

#include "app/Main.h"
#include "app/Stages.h"
#include "platform/Scoped.h"
#include "platform/sim/SimDevices.h"
#include "platform/sim/SimSerial.h"
#include "tests/support/Child.h"
#include "tests/support/Scenario.h"

namespace {

using platform::SimDevices;
using qvtest::ChildResult;
using qvtest::RunChild;

SimDevices* g_machine = nullptr;
qvtest::ScenarioEnv* g_env = nullptr;

const std::string kFtdiKey = SimDevices::FtdiParametersKey("VID_0403+PID_6001", "A50285BIA");
const std::string kFtdiDos = std::string("FTDIBUS#VID_0403+PID_6001+A50285BIA") + SimDevices::kFtdiDosSuffix;

void State(const std::string& what) {
  TMainForm& f = *MainForm;
  std::string list;
  for (int i = 0; i < f.ComboBox->ItemCount(); ++i) list += (i ? "," : "") + f.ComboBox->Item(i);
  auto on = [](TControl* c) { return c->Enabled() ? "1" : "0"; };
  platform::Transcript::Line(
      "state " + what + " port=" + (f.ComPort->Active() ? "open" : "closed") +
      " device=" + f.ComPort->DeviceName() + " name=" + f.PortName() + " controls=" + on(f.ResetPanel) +
      on(f.ProgressBar) + on(f.SuchenButton) + on(f.ComboBox) + " list=" + list +
      " sel=" + std::to_string(f.ComboBox->ItemIndex()) + " opens=" + std::to_string(g_machine->TestOpens()) +
      " tones=" + std::to_string(g_env->sim.Tones()));
}

void Pick(std::int64_t atUs, int index, std::function<void()> before = {}) {
  g_env->toolkit.At(atUs, [index, before] {
    if (before) before();
    platform::Transcript::Line("user pick " + MainForm->ComboBox->Item(index));
    MainForm->ComboBox->DoUserSelect(index);
    State("pick");
  });
}

// Shapes the machine for one outcome; some modes also script the user.
void Shape(const std::string& mode, SimDevices& m) {
  auto& dos = m.DosNames();
  if (mode == "map-empty") {
    m.Registry().DeleteKey(SimDevices::kSerialMapKey);
    // What an earlier search left in the list stays there.
    g_env->toolkit.At(500'000, [] { MainForm->ComboBox->AddItem("COM9"); });
  } else if (mode == "no-adapter") {
    std::erase(dos, kFtdiDos);
  } else if (mode == "adapter-lower-case") {
    for (auto& n : dos)
      if (n == kFtdiDos)
        for (std::size_t i = 0; i < 26; ++i)
          n[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(n[i])));
  } else if (mode == "dos-empty") {
    dos.clear();
  } else if (mode == "key-missing") {
    m.Registry().DeleteKey(kFtdiKey);
  } else if (mode == "value-missing") {
    m.Registry().DeleteValue(kFtdiKey, "PortName");
  } else if (mode == "value-201") {
    m.Registry().SetText(kFtdiKey, "PortName", std::string(200, 'C'));  // 201 bytes with its NUL
  } else if (mode == "value-200") {
    m.Registry().SetText(kFtdiKey, "PortName", std::string(199, 'C'));
  } else if (mode == "value-binary") {
    // Any type is taken; the bytes end after the returned length.
    m.Registry().SetValue(kFtdiKey, "PortName", platform::kRegBinary, "COM5");
  } else if (mode == "not-listed") {
    m.Registry().SetText(kFtdiKey, "PortName", "COM7");
    m.AddPort("COM7");
  } else if (mode == "lower-case-entry") {
    // The map lists com5; the registered port is COM5.
    m.Registry().DeleteKey(SimDevices::kSerialMapKey);
    m.Registry().SetText(SimDevices::kSerialMapKey, "\\Device\\Serial0", "COM1");
    m.Registry().SetText(SimDevices::kSerialMapKey, "\\Device\\VCP0", "com5");
  } else if (mode == "held") {
    m.Hold("COM5");
  } else if (mode == "denied") {
    m.Deny("COM5", "/dev/ttyUSB0");
  } else if (mode == "two-adapters") {
    // The second adapter's name comes first in the listing; its port is held.
    m.AddFtdiAdapter("FT2XQ7Z1A", "COM6");
    std::rotate(dos.begin(), dos.end() - 2, dos.end());
    m.Hold("COM6");
  } else if (mode == "long-serial") {
    // Only nine characters after the prefix make the key; a key for the
    // whole name would lead elsewhere.
    for (auto& n : dos)
      if (n == kFtdiDos)
        n = std::string("FTDIBUS#VID_0403+PID_6001+A50285BIAXYZ") + SimDevices::kFtdiDosSuffix;
    for (const char* decoy : {"A50285BIAX", "A50285BIAXYZ"})
      m.Registry().SetText(SimDevices::FtdiParametersKey("VID_0403+PID_6001", decoy), "PortName", "COM1");
  } else if (mode == "short-serial") {
    for (auto& n : dos)
      if (n == kFtdiDos) n = "FTDIBUS#VID_0403+PID_6001+Q7";
    m.Registry().SetText(SimDevices::FtdiParametersKey("VID_0403+PID_6001", "Q7"), "PortName", "COM5");
  } else if (mode == "pick-open") {
    Pick(1'500'000, 1);
  } else if (mode == "pick-blocked") {
    Pick(1'500'000, 0, [] { g_machine->Hold("COM1"); });
  } else if (mode == "pick-after-failure") {
    m.Hold("COM5");
    Pick(5'000'000, 0);
  } else if (mode == "suchen-again") {
    std::erase(dos, kFtdiDos);
    g_env->toolkit.At(5'000'000, [] {
      // The adapter is plugged in, and a new port has appeared meanwhile.
      g_machine->AddPlainPort("COM2");
      g_machine->DosNames().push_back(kFtdiDos);
      platform::Transcript::Line("user suchen");
      MainForm->SuchenButton->DoUserClick();
    });
  }
}

QV_CHILD(search) {
  qvtest::ScenarioEnv env;
  SimDevices machine;
  platform::SimSerialSystem serial;
  for (const char* port : {"COM1", "COM2", "COM5", "COM6", "COM7"}) serial.AddDevice(port);
  platform::ScopedSerial useSerial(serial);
  g_env = &env;
  g_machine = &machine;
  platform::ScopedDevices useMachine(machine);
  // A port this program's serial component holds open counts as held, as it
  // does for the system.
  machine.SetOwnPortQuery([&serial](const std::string& port) {
    std::shared_ptr<platform::SimSerialLine> line = serial.Device(port);
    return line && line->IsOpen();
  });
  Shape(args.at(0), machine);
  TStageOperations& ops = StageOperations();
  ops.FindBoardPort = [] {
    bool found = ::FindBoardPort();
    State(std::string("search=") + (found ? "true" : "false"));
    return found;
  };
  // The patch stage only marks that it was reached and ends the run.
  ops.VerifyPatchFile = [] {
    platform::Transcript::Line("patch stage");
    RunHost().EndRun();
  };
  return RunQuorvaltine();
}

// The events the user sees and the states, in order.
std::vector<std::string> Events(const ChildResult& r) {
  std::vector<std::string> out;
  for (const std::string& l : r.Plain())
    if (l.rfind("box ", 0) == 0 || l.rfind("state ", 0) == 0 || l == "tone" || l == "beep" ||
        l == "patch stage" || l.rfind("user ", 0) == 0)
      out.push_back(l);
  return out;
}

struct Row {
  const char* mode;
  std::vector<std::string> events;
};

const std::string kNoPort = "box Fehler: Keinen ComPort auf dem PC gefunden!";
const std::string kNoAdapter = "box Fehler: USB-Port der LCD-Platine nicht gefunden!";
const std::string kNoKey = "box Fehler: RegSchlüssel nicht gefunden !";
const std::string kNoValue = "box Fehler: RegWert (PortName) nicht gefunden !";
const std::string kFailed = "box Fehler: PortSuche nicht erfolgreich !";
std::string ProbeBox(const std::string& port) {
  return "box Fehler: ComPortError:  " + port + " !\\n\\nDer Port kann nicht geöffnet werden.";
}

const std::string kDeniedBox =
    "box Fehler: Kein Zugriff auf /dev/ttyUSB0 !\\n\\nDieser Benutzer darf den Port nicht öffnen. "
    "Abhilfe:\\n- den Benutzer in die Gruppe \"dialout\" aufnehmen\\n  (sudo usermod -aG dialout $USER) "
    "und neu anmelden, oder\\n- die Geräteregel des Pakets quorvaltine installieren\\n  "
    "(/usr/lib/udev/rules.d/60-quorvaltine.rules für den\\n  USB-Adapter 0403:6001) und den Adapter neu "
    "einstecken.";

// Failure before the walk of the port list: the list is filled, nothing is
// selected, the names keep their start values.
const std::string kEarlyFailure =
    "state search=false port=closed device=COM1 name=COM1 controls=0011 list=COM1,COM5 sel=-1 opens=0 "
    "tones=0";

const Row kRows[] = {
    {"map-empty",
     {"beep", kNoPort,
      "state search=false port=closed device=COM1 name=COM1 controls=0000 list=COM9 sel=-1 opens=0 tones=0"}},
    {"no-adapter", {"beep", kNoAdapter, kEarlyFailure}},
    {"adapter-lower-case", {"beep", kNoAdapter, kEarlyFailure}},
    {"dos-empty", {"beep", kFailed, kEarlyFailure}},
    {"key-missing", {"beep", kNoKey, kEarlyFailure}},
    {"value-missing", {"beep", kNoValue, kEarlyFailure}},
    {"value-201", {"beep", kNoValue, kEarlyFailure}},
    {"value-200", {"beep", kFailed, kEarlyFailure}},
    {"not-listed", {"beep", kFailed, kEarlyFailure}},
    {"lower-case-entry",
     {"beep", kFailed,
      "state search=false port=closed device=COM1 name=COM1 controls=0011 list=COM1,com5 sel=-1 opens=0 "
      "tones=0"}},
    {"held",
     {"beep", ProbeBox("COM5"), "beep", kFailed,
      "state search=false port=closed device=\\\\.\\COM5 name=COM5 controls=0011 list=COM1,COM5 sel=1 "
      "opens=1 "
      "tones=0"}},
    // A user the system refuses is told what to do; the search still fails.
    {"denied",
     {"beep", kDeniedBox, "beep", kFailed,
      "state search=false port=closed device=\\\\.\\COM5 name=COM5 controls=0011 list=COM1,COM5 sel=1 "
      "opens=1 tones=0"}},
    {"two-adapters",
     {"beep", ProbeBox("COM6"), "beep", kFailed,
      "state search=false port=closed device=\\\\.\\COM6 name=COM6 controls=0011 list=COM1,COM5,COM6 sel=2 "
      "opens=1 "
      "tones=0"}},
};

class PortSearchOutcome : public ::testing::TestWithParam<Row> {};

TEST_P(PortSearchOutcome, MessagesAndStateAsInItsRow) {
  const Row& row = GetParam();
  ChildResult r = RunChild("search", {row.mode});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Events(r), row.events) << r.output;
  // A failed search never reaches the patch stage; the program waits.
  EXPECT_EQ(r.Find("stage patch begin"), -1);
  EXPECT_EQ(r.Plain().back(), "idle") << r.output;
}

INSTANTIATE_TEST_SUITE_P(Rows, PortSearchOutcome, ::testing::ValuesIn(kRows), [](const auto& info) {
  std::string n = info.param.mode;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
});

const std::string kFound =
    "state search=true port=open device=\\\\.\\COM5 name=COM5 controls=1111 list=COM1,COM5 sel=1 opens=1 "
    "tones=1";

TEST(PortSearchTest, FoundPortIsOpenedWithTheToneAndThePatchStageFollows) {
  for (const char* mode : {"found", "value-binary", "long-serial", "short-serial"}) {
    ChildResult r = RunChild("search", {mode});
    EXPECT_EQ(Events(r), (std::vector<std::string>{"tone", kFound, "patch stage"})) << mode << "\n"
                                                                                    << r.output;
    EXPECT_GE(r.Find("stage patch begin"), 0) << mode;
  }
}

TEST(PortSearchTest, PickingTheOpenPortClosesProbesAndReopensItWithoutTone) {
  ChildResult r = RunChild("search", {"pick-open"});
  EXPECT_EQ(Events(r),
            (std::vector<std::string>{
                "tone", kFound, "user pick COM5",
                "state pick port=open device=\\\\.\\COM5 name=COM5 controls=1111 list=COM1,COM5 sel=1 "
                "opens=2 tones=1",
                "patch stage"}))
      << r.output;
}

TEST(PortSearchTest, PickingAPortThatCannotBeOpenedLeavesItClosedWithTwoControlsOn) {
  ChildResult r = RunChild("search", {"pick-blocked"});
  EXPECT_EQ(Events(r),
            (std::vector<std::string>{
                "tone", kFound, "user pick COM1", "beep", ProbeBox("COM1"),
                "state pick port=closed device=\\\\.\\COM1 name=COM1 controls=0011 list=COM1,COM5 sel=0 "
                "opens=2 tones=1",
                "patch stage"}))
      << r.output;
}

TEST(PortSearchTest, PickAfterAFailedSearchOpensThatPortAndStartsNoStage) {
  ChildResult r = RunChild("search", {"pick-after-failure"});
  EXPECT_EQ(Events(r),
            (std::vector<std::string>{
                "beep", ProbeBox("COM5"), "beep", kFailed,
                "state search=false port=closed device=\\\\.\\COM5 name=COM5 controls=0011 "
                "list=COM1,COM5 sel=1 opens=1 tones=0",
                "user pick COM1",
                "state pick port=open device=\\\\.\\COM1 name=COM1 controls=1111 list=COM1,COM5 sel=0 "
                "opens=2 tones=0"}))
      << r.output;
  EXPECT_EQ(r.Count("stage search begin"), 1);
  EXPECT_EQ(r.Find("stage patch begin"), -1);
}

TEST(PortSearchTest, SuchenAfterAFailedSearchRunsTheWholeSearchAgain) {
  ChildResult r = RunChild("search", {"suchen-again"});
  EXPECT_EQ(Events(r), (std::vector<std::string>{
                           "beep", kNoAdapter, kEarlyFailure, "user suchen", "tone",
                           "state search=true port=open device=\\\\.\\COM5 name=COM5 controls=1111 "
                           "list=COM1,COM5,COM2 sel=1 opens=1 tones=1",
                           "patch stage"}))
      << r.output;
  EXPECT_EQ(r.Count("stage search begin"), 2);
}

}  // namespace
