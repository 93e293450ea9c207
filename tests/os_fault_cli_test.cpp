// quorvaltine-cli's driver faults on the simulated machine: the report a
// sweep reads its ranges from, a failing call that ends the run with the
// port's error, and the options' checks.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/support/Child.h"

namespace {

using qvtest::ChildResult;

ChildResult RunCli(const std::vector<std::string>& extra) {
  std::string dir = qvtest::MakeTempDir();
  qvtest::WriteFile(dir + "/Quorvaltine.ini", "12;1\n40;255\n41;0E750");
  std::vector<std::string> args = {"--dir", dir, "--simulate"};
  args.insert(args.end(), extra.begin(), extra.end());
  return qvtest::RunProgram(QV_CLI_PATH, args);
}

std::map<std::string, int> Calls(const ChildResult& r) {
  std::map<std::string, int> calls;
  int i = r.Find("os calls ", true);
  if (i < 0) return calls;
  std::istringstream in(r.lines[static_cast<std::size_t>(i)].substr(9));
  std::string item;
  while (in >> item) {
    std::size_t eq = item.find('=');
    calls[item.substr(0, eq)] = std::stoi(item.substr(eq + 1));
  }
  return calls;
}

TEST(OsFaultCliTest, TheReportCountsTheCallsOfARun) {
  for (const char* flavour : {"windows", "linux"}) {
    ChildResult r = RunCli({"--os-report", "--error-flavour", flavour});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::map<std::string, int> c = Calls(r);
    // One open, one setting of each kind; the dialogue's polls are most.
    EXPECT_EQ(c["Open"], 1) << flavour;
    EXPECT_EQ(c["SetCommState"], 1) << flavour;
    EXPECT_EQ(c["SetupComm"], 1) << flavour;
    EXPECT_EQ(c["NewEvent"], 3) << flavour;
    EXPECT_GT(c["ClearCommError"], 10000) << flavour;
    int sum = 0;
    for (const auto& [op, n] : c)
      if (op != "devicecalls" && op != "NewEvent") sum += n;
    EXPECT_EQ(c["devicecalls"], sum) << flavour;
    EXPECT_EQ(r.Count("store-request"), 1) << flavour;
    EXPECT_GE(r.Find("os left handles=0 events=0 threads=", true), 0) << r.output;
  }
}

TEST(OsFaultCliTest, AFailingCallEndsTheRunWithThePortsError) {
  struct Row {
    std::vector<std::string> args;
    std::string lastStage;  // the last stage that began
  };
  for (const Row& row :
       {Row{{"--os-fault", "Open=1"}, "search"}, Row{{"--os-fault", "SetCommState=1:87"}, "search"},
        Row{{"--os-vanish", "EscapeCommFunction=1"}, "patch"},
        Row{{"--os-fault", "WriteFile=100"}, "program"},
        // The adapter gone as the event thread's first wait starts, between
        // the search and the patch stage: the port closes, and the run
        // stops there instead of starting the patch stage on it.
        Row{{"--os-vanish", "WaitCommEvent=1"}, "search"},
        Row{{"--error-flavour", "linux", "--os-vanish", "WaitCommEvent=1"}, "search"},
        // A line read of a signal indicator's handler, run by the reading's
        // message processing, fails: its abort ends only that handler, and
        // the read must still end there, with one box.
        Row{{"--os-fault", "GetCommModemStatus=8"}, "patch"}}) {
    std::vector<std::string> args = {"--os-report"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ChildResult r = RunCli(args);
    std::string label;
    for (const std::string& a : row.args) label += a + " ";
    EXPECT_EQ(r.exitCode, 1) << label << "\n" << r.output;
    EXPECT_EQ(r.Count("box Fehler: ComPortError:  COM5 !"), 1) << label;
    EXPECT_FALSE(r.Has("box Information: Patch erfolgreich beendet!")) << label;
    EXPECT_GE(r.Find("stage " + row.lastStage + " begin"), 0) << label;
    const std::vector<std::string> stages = {"search", "patch", "program"};
    bool later = false;
    for (const std::string& s : stages) {
      if (later) {
        EXPECT_LT(r.Find("stage " + s + " begin"), 0) << label << ": " << s;
      }
      if (s == row.lastStage) later = true;
    }
    EXPECT_EQ(r.Count("store-request"), 0) << label;
    EXPECT_GE(r.Find("os left handles=0 events=0", true), 0) << label;
  }
}

TEST(OsFaultCliTest, BadValuesAreUsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--os-fault", "Nope=1"},
                                             {"--os-fault", "ReadFile=0"},
                                             {"--os-fault", "ReadFile"},
                                             {"--os-fault", "ReadFile=3:x"},
                                             {"--os-vanish", "x"},
                                             {"--os-vanish", "ReadFile=-1"},
                                             {"--error-flavour", "mac"},
                                             {"--os-fault"}}) {
    ChildResult r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
  }
  ChildResult r = qvtest::RunProgram(QV_CLI_PATH, {"--os-report"});
  EXPECT_EQ(r.exitCode, 2) << "without --simulate";
}

}  // namespace
