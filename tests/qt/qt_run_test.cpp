// The run sequence through the program's entry under the Qt backend, on the
// real clock, in a child process on Qt's offscreen platform. The stage
// operations are short doubles; message boxes are answered by a responder.
#include <gtest/gtest.h>

#include <QWidget>
#include <iostream>

#include "app/Main.h"
#include "framework/ScopedToolkit.h"
#include "framework/qt/QtToolkit.h"
#include "platform/sim/SimPlatform.h"
#include "tests/qt/QtTestSupport.h"
#include "tests/support/Child.h"

namespace {

using platform::Transcript;
using qvtest::ChildResult;
using qvtest::RunChild;

// A board exchange that keeps processing messages, as reading does.
void Exchange(const std::string& name, int ms) {
  Transcript::Line("op " + name + " begin");
  for (int t = 0; t < ms; t += 10) {
    platform::Sleep(10);
    MainForm->ProcessMessages();
  }
  Transcript::Line("op " + name + " end");
}

QV_CHILD(qtrun) {
  qvtest::QtApp();
  platform::SimPlatform sim(false);
  platform::ScopedPlatform useSim(sim);
  TQtToolkit toolkit;
  ScopedToolkit useToolkit(toolkit);
  Transcript::SetStream(&std::cout);
  Transcript::SetTimestamps(true);
  qvtest::BoxResponder responder({}, [](const qvtest::SeenBox& box) {
    Transcript::Line("answer " + box.title + ": " + Transcript::Escape(box.text));
  });

  const std::string mode = args.empty() ? "success" : args[0];
  TStageOperations ops;
  ops.FindBoardPort = [mode] {
    Exchange("find", 50);
    if (mode == "close-between") {
      // The user closes the window while the run waits for the patch stage.
      QTimer::singleShot(200, [] {
        Transcript::Line("user close");
        for (QWidget* w : QApplication::topLevelWidgets())
          if (w->objectName() == "MainForm") w->close();
      });
    }
    return true;
  };
  ops.VerifyPatchFile = [] { Exchange("verify", 0); };
  ops.ReadConfiguration = [] { Exchange("read", 300); };
  ops.ApplyPatchFile = [] { Exchange("apply", 0); };
  ops.ProgramConfiguration = [] { Exchange("program", 200); };
  StageOperations() = ops;

  Transcript::Line("start");
  int code = RunQuorvaltine();
  Transcript::Line("returned");
  std::cout.flush();
  return code;
}

TEST(QtRunTest, ThreeStagesInOrderEachAtLeastOneIntervalAfterThePrevious) {
  ChildResult r = RunChild("qtrun", {"success"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  int start = r.Find("start");
  int search = r.Find("stage search begin"), searchEnd = r.Find("stage search end");
  int patch = r.Find("stage patch begin"), patchEnd = r.Find("stage patch end");
  int program = r.Find("stage program begin");
  ASSERT_GE(start, 0) << r.output;
  ASSERT_TRUE(search > start && searchEnd > search && patch > searchEnd && patchEnd > patch &&
              program > patchEnd)
      << r.output;

  // Time stamps are whole milliseconds, and a stage arms the next timer a
  // moment before its end line is written: measured from the end line the
  // interval can show as 999 ms. From the stage's last operation, which
  // comes before the timer is armed, it is never less than 1000 ms.
  EXPECT_GE(r.TimeOf(search) - r.TimeOf(start), 1000);
  EXPECT_GE(r.TimeOf(patch) - r.TimeOf(r.Find("op find end")), 1000);
  EXPECT_GE(r.TimeOf(patch) - r.TimeOf(searchEnd), 999);
  EXPECT_GE(r.TimeOf(program) - r.TimeOf(r.Find("op apply end")), 1000);
  EXPECT_GE(r.TimeOf(program) - r.TimeOf(patchEnd), 999);

  std::vector<std::string> ops;
  for (const auto& l : r.Plain())
    if (l.rfind("op ", 0) == 0 && l.size() > 6 && l.compare(l.size() - 6, 6, " begin") == 0) ops.push_back(l);
  EXPECT_EQ(ops, (std::vector<std::string>{"op find begin", "op verify begin", "op read begin",
                                           "op apply begin", "op program begin"}));

  // Success is told after programming, answered by the user, and is the end.
  int success = r.Find("answer Information: Patch erfolgreich beendet!");
  ASSERT_GE(success, 0) << r.output;
  EXPECT_GT(success, r.Find("op program end"));
  int answers = 0;
  for (const auto& l : r.Plain()) answers += l.rfind("answer ", 0) == 0;
  EXPECT_EQ(answers, 1) << r.output;
  EXPECT_EQ(r.Find("stage program end"), -1) << "EndRun never returns";
  EXPECT_EQ(r.Find("returned"), -1);
  EXPECT_EQ(r.Find("beep"), -1);
}

TEST(QtRunTest, ClosingTheWindowBetweenStagesEndsTheProgram) {
  ChildResult r = RunChild("qtrun", {"close-between"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  int close = r.Find("user close");
  ASSERT_GT(close, r.Find("stage search end")) << r.output;
  EXPECT_EQ(r.Find("stage patch begin"), -1) << r.output;
  EXPECT_GT(r.Find("returned"), close) << "the message loop ended";
  EXPECT_EQ(r.Find("answer ", true), -1);
}

}  // namespace
