// The main window's port events: the two indicators, the reset panel and
// the error handlers, driven through the event thread over a simulated port.
#include <gtest/gtest.h>

#include <sstream>

#include "app/Main.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "tests/support/EventSettle.h"

namespace {

class MainEventsTest : public ::testing::Test {
 public:
  void ModeSignalled(TObject*) { log.push_back("Mode"); }
  void ResetSignalled(TObject* sender) {
    log.push_back("Reset");
    form->ResetComSignalSignal(sender);
  }

 protected:
  void SetUp() override {
    platform::Transcript::SetStream(&out);
    saved = StageOperations();
    line = serial.AddDevice("COM7");
    app.CreateForm(form);
    form->SetPortName("COM7");
    form->ComPort->SetDeviceName("\\\\.\\COM7");
    settler.Watch(form->ComPort, line);
  }
  void TearDown() override {
    settler.Forget(form->ComPort);
    delete form;
    settler.Drain();
    StageOperations() = saved;
    EXPECT_EQ(serial.LiveEvents(), 0);
    platform::Transcript::SetStream(nullptr);
  }
  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  std::ostringstream out;
  TApplication app;
  TMainForm* form = nullptr;
  qvtest::EventSettler settler{*sim.Virtual(), tk};
  std::shared_ptr<platform::SimSerialLine> line;
  TStageOperations saved;
  std::vector<std::string> log;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
  ScopedToolkit useTk{tk};
};

TEST_F(MainEventsTest, TheIndicatorsAsTheWindowCreatesThem) {
  TComSignal& reset = *form->ResetComSignal;
  TComSignal& mode = *form->ModeComSignal;
  EXPECT_EQ(reset.Signal(), siDSR);
  EXPECT_EQ(reset.Delay(), 10);
  EXPECT_EQ(reset.Control(), form->ResetPanel);
  EXPECT_EQ(reset.ComPort(), form->ComPort);
  EXPECT_TRUE(reset.OnSignal.Assigned());
  EXPECT_EQ(mode.Signal(), siCTS);
  EXPECT_EQ(mode.Delay(), 10);
  EXPECT_EQ(mode.Control(), nullptr);
  EXPECT_EQ(mode.ComPort(), form->ComPort);
  EXPECT_FALSE(mode.OnSignal.Assigned());
  // Declaration order, and the events taken over at load: with the window's
  // line error that makes an event thread at every open.
  EXPECT_LT(form->ResetComSignal, form->ModeComSignal);
  EXPECT_TRUE(form->ComPort->OnDSRChange().Assigned());
  EXPECT_TRUE(form->ComPort->OnCTSChange().Assigned());
  EXPECT_FALSE(reset.Timer()->Running());
  EXPECT_FALSE(mode.Timer()->Running());
  EXPECT_EQ(RunHost().ResetColorOn(), clLime);
  EXPECT_EQ(RunHost().ResetColorOff(), clGreen);
}

TEST_F(MainEventsTest, BothIndicatorsRunOnAfterOpenTheLaterAttachedFirst) {
  form->ModeComSignal->OnSignal = TNotifyEvent(this, &MainEventsTest::ModeSignalled);
  form->ResetComSignal->OnSignal = TNotifyEvent(this, &MainEventsTest::ResetSignalled);
  line->SetDSR(true);
  line->SetCTS(true);
  form->ComPort->Open();
  EXPECT_EQ(log, (std::vector<std::string>{"Mode", "Reset"}));
  EXPECT_EQ(form->ResetPanel->Color(), clLime);
  form->ComPort->Close();
  EXPECT_EQ(log, (std::vector<std::string>{"Mode", "Reset", "Mode", "Reset"}));
  EXPECT_EQ(form->ResetPanel->Color(), clGreen);
}

TEST_F(MainEventsTest, TheResetPanelFollowsDsr) {
  form->ComPort->Open();
  settler.Drain();
  EXPECT_EQ(form->ComPort->EventThreadState(), TComThreadState::Waiting);
  for (bool on : {true, false, true}) {
    line->SetDSR(on);
    settler.Pump(1);
    EXPECT_EQ(form->ResetPanel->Color(), on ? clLime : clGreen);
    EXPECT_EQ(form->ResetComSignal->SignalValue(), on);
  }
  // CTS moves the mode indicator only.
  line->SetCTS(true);
  settler.Pump(1);
  EXPECT_TRUE(form->ModeComSignal->SignalValue());
  EXPECT_EQ(form->ResetPanel->Color(), clLime);
}

TEST_F(MainEventsTest, AWaitErrorShowsThePortErrorOnlyAndClosesThePort) {
  form->ComPort->Open();
  settler.Drain();
  line->Unplug();
  settler.Pump(1);
  EXPECT_EQ(out.str(), "beep\nbox Fehler: ComPortError:  COM7 !\n");
  EXPECT_FALSE(form->ComPort->Active());
  EXPECT_EQ(form->ResetPanel->Color(), clGreen);
}

TEST_F(MainEventsTest, ALineErrorDuringAStageClosesThePortAndTheStageStopsSilently) {
  form->ComPort->Open();
  settler.Drain();
  int writes = 0;
  StageOperations().VerifyPatchFile = [&] {
    for (int i = 0; i < 100; ++i) {
      platform::Sleep(10);
      RunHost().ProcessMessages();
      RunHost().Port().WriteByte(0x55);
      ++writes;
    }
  };
  StageOperations().ReadConfiguration = [] { ADD_FAILURE() << "the stage went on"; };
  sim.Clock().Schedule(sim.Clock().NowUs() + 25000, [&] { line->InjectErrors(platform::kCeFrame); });
  EXPECT_THROW(form->Timer2Timer(form->Timer2), EAbort);
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(out.str(),
            "stage patch begin\n"
            "beep\nbox Fehler: ComPortLineError:  COM7 !\n"
            "beep\nbox Fehler: ComPortError:  COM7 !\n");
  EXPECT_FALSE(form->ComPort->Active());
  EXPECT_FALSE(form->Timer3->Enabled());
  EXPECT_FALSE(form->StageRunning());
}

}  // namespace
