// The run sequence, through the program's real entry in a child process on
// the headless toolkit and the virtual clock. The stage operations are test
// doubles here; the real ones have scenario tests of their own.
#include <gtest/gtest.h>

#include "app/Main.h"
#include "tests/support/Child.h"
#include "tests/support/Scenario.h"

namespace {

using qvtest::ChildResult;
using qvtest::RunChild;

void Op(const std::string& name, int ms = 0) {
  platform::Transcript::Line("op " + name);
  if (ms > 0) platform::Sleep(ms);
}

// A long board exchange that keeps processing messages, as reading does.
void BusyExchange(const std::string& name, int ms) {
  platform::Transcript::Line("op " + name + " begin");
  for (int t = 0; t < ms; t += 10) {
    platform::Sleep(10);
    MainForm->ProcessMessages();
  }
  platform::Transcript::Line("op " + name + " end");
}

TStageOperations Doubles() {
  TStageOperations ops;
  ops.FindBoardPort = [] {
    Op("find", 120);
    return true;
  };
  ops.VerifyPatchFile = [] { Op("verify", 5); };
  ops.ReadConfiguration = [] { Op("read", 900); };
  ops.ApplyPatchFile = [] { Op("apply", 5); };
  ops.ProgramConfiguration = [] { Op("program", 1500); };
  return ops;
}

QV_CHILD(run) {
  qvtest::ScenarioEnv env;
  TStageOperations ops = Doubles();
  const std::string mode = args.empty() ? "success" : args[0];
  if (mode == "search-fails") {
    ops.FindBoardPort = [] {
      Op("find", 50);
      return false;
    };
    // The user presses "suchen" once, long after the failed search.
    env.toolkit.At(10'000'000, [] {
      platform::Transcript::Line("user suchen");
      MainForm->SuchenButton->DoUserClick();
    });
  } else if (mode == "verify-fails") {
    ops.VerifyPatchFile = [] {
      Op("verify");
      RunHost().ShowErrorMessage("Quorvaltine.ini  ist fehlerhaft!");
      RunHost().EndRun();
    };
  } else if (mode == "program-fails") {
    ops.ProgramConfiguration = [] {
      Op("program", 300);
      RunHost().ShowErrorMessage("Programmierfehler!  Fehlercode 8\n\nZeitüberschreitung.");
      RunHost().EndRun();
    };
  } else if (mode == "close-between") {
    // Between the end of the search (at 1120 ms) and the patch stage (2120).
    env.toolkit.At(1'500'000, [] {
      platform::Transcript::Line("user close");
      MainForm->Close();
    });
  } else if (mode == "exception" || mode == "abort") {
    bool silent = mode == "abort";
    ops.FindBoardPort = [silent]() -> bool {
      Op("find");
      if (silent) Abort();
      throw Exception("Portfehler");
    };
  } else if (mode == "reentrant") {
    ops.ReadConfiguration = [] { BusyExchange("read", 5000); };
    ops.ProgramConfiguration = [] { BusyExchange("program", 3000); };
    // "suchen" pressed in the middle of reading, and again while programming.
    env.toolkit.At(4'000'000, [] {
      platform::Transcript::Line("user suchen");
      MainForm->SuchenButton->DoUserClick();
    });
  }
  StageOperations() = ops;
  return RunQuorvaltine();
}

struct Stage {
  long long begin, end;
};

Stage StageTimes(const ChildResult& r, const std::string& name, int from = 0) {
  int b = r.Find("stage " + name + " begin", false, from);
  int e = r.Find("stage " + name + " end", false, b < 0 ? 0 : b);
  return Stage{r.TimeOf(b), r.TimeOf(e)};
}

TEST(RunSequenceTest, ThreeStagesInOrderEachOneIntervalAfterThePrevious) {
  ChildResult r = RunChild("run", {"success"});
  EXPECT_EQ(r.exitCode, 0);
  Stage s1 = StageTimes(r, "search"), s2 = StageTimes(r, "patch");
  int programBegin = r.Find("stage program begin");
  ASSERT_GE(s1.begin, 0) << r.output;
  ASSERT_GE(s2.begin, 0) << r.output;
  ASSERT_GE(programBegin, 0) << r.output;
  EXPECT_GE(s1.begin, 1000);
  EXPECT_GE(s2.begin - s1.end, 1000);
  EXPECT_GE(r.TimeOf(programBegin) - s2.end, 1000);
  // The operations run in the order of the stages.
  std::vector<std::string> ops;
  for (const auto& l : r.Plain())
    if (l.rfind("op ", 0) == 0) ops.push_back(l);
  EXPECT_EQ(ops, (std::vector<std::string>{"op find", "op verify", "op read", "op apply", "op program"}));
  // Success is told only after programming has returned, and is the end.
  int program = r.Find("op program");
  int success = r.Find("box Information: Patch erfolgreich beendet!");
  ASSERT_GE(success, 0);
  EXPECT_GE(r.TimeOf(success), r.TimeOf(program) + 1500);
  EXPECT_EQ(r.Find("stage program end"), -1) << "EndRun never returns";
  EXPECT_EQ(r.Find("beep"), -1);
}

TEST(RunSequenceTest, FailedSearchWaitsAndSuchenSearchesAgainOneIntervalLater) {
  ChildResult r = RunChild("run", {"search-fails"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.Count("op find"), 2) << r.output;
  EXPECT_EQ(r.Find("stage patch begin"), -1);
  int press = r.Find("user suchen");
  int second = r.Find("stage search begin", false, press);
  ASSERT_GE(second, 0) << r.output;
  EXPECT_EQ(r.TimeOf(second) - r.TimeOf(press), 1000);
  // Nothing is pending after the second failure: the program just waits.
  EXPECT_EQ(r.Plain().back(), "idle");
}

TEST(RunSequenceTest, FailingOperationsEndTheProcessWithoutSuccess) {
  for (const char* mode : {"verify-fails", "program-fails"}) {
    ChildResult r = RunChild("run", {mode});
    EXPECT_EQ(r.exitCode, 0) << mode;
    EXPECT_EQ(r.Find("box Information: Patch erfolgreich beendet!"), -1) << mode;
    EXPECT_GE(r.Find("box Fehler:", true), 0) << mode;
    EXPECT_EQ(r.Find("idle"), -1) << mode << ": the process ended in the stage";
  }
  ChildResult v = RunChild("run", {"verify-fails"});
  EXPECT_EQ(v.Find("op read"), -1) << "the board is not touched after a bad patch file";
}

TEST(RunSequenceTest, ClosingBetweenStagesEndsWithNoLaterStage) {
  ChildResult r = RunChild("run", {"close-between"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_GE(r.Find("close"), 0) << r.output;
  EXPECT_EQ(r.Find("stage patch begin"), -1);
  EXPECT_EQ(r.Find("op verify"), -1);
}

TEST(RunSequenceTest, ExceptionLeavingAStageIsShownAndTheProgramWaits) {
  ChildResult shown = RunChild("run", {"exception"});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_GE(shown.Find("exception Portfehler"), 0) << shown.output;
  EXPECT_EQ(shown.Plain().back(), "idle");
  EXPECT_EQ(shown.Find("stage patch begin"), -1);

  ChildResult silent = RunChild("run", {"abort"});
  EXPECT_EQ(silent.exitCode, 0);
  EXPECT_EQ(silent.Find("exception", true), -1) << silent.output;
  EXPECT_EQ(silent.Plain().back(), "idle");
}

TEST(RunSequenceTest, SuchenDuringABoardExchangeNeverStartsAStageInsideIt) {
  ChildResult r = RunChild("run", {"reentrant"});
  EXPECT_EQ(r.exitCode, 0);
  int readBegin = r.Find("op read begin"), readEnd = r.Find("op read end");
  ASSERT_GE(readBegin, 0) << r.output;
  ASSERT_GT(readEnd, readBegin);
  // The search timer fired during the read and stayed pending.
  EXPECT_GE(r.Find("stage search pending", false, readBegin), 0);
  for (int i = readBegin; i < readEnd; ++i) EXPECT_NE(r.Plain()[static_cast<std::size_t>(i)], "op find");
  // Once the patch stage has ended, the pending search runs.
  int patchEnd = r.Find("stage patch end");
  int search2 = r.Find("stage search begin", false, patchEnd);
  ASSERT_GE(search2, 0) << r.output;
  EXPECT_GT(search2, readEnd);
  // Every begin is followed by its own end before the next begin.
  int open = 0;
  for (const auto& l : r.Plain()) {
    if (l.rfind("stage ", 0) == 0 && l.size() > 6 && l.find(" begin") != std::string::npos) ++open;
    if (l.rfind("stage ", 0) == 0 && l.find(" end") != std::string::npos) --open;
    EXPECT_LE(open, 1) << l;
  }
}

}  // namespace
