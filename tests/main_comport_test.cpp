// The main window's serial port: its stored settings and the two port error
// handlers, over a simulated device.
#include <gtest/gtest.h>

#include <sstream>

#include "app/Main.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace {

class MainComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Transcript::SetStream(&out);
    line = serial.AddDevice("COM7");
    app.CreateForm(form);
    form->SetPortName("COM7");
    form->ComPort->SetDeviceName("\\\\.\\COM7");
  }
  void TearDown() override {
    delete form;
    EXPECT_EQ(serial.LiveEvents(), 0);
    platform::Transcript::SetStream(nullptr);
  }
  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  std::ostringstream out;
  TApplication app;
  TMainForm* form = nullptr;
  std::shared_ptr<platform::SimSerialLine> line;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
  ScopedToolkit useTk{tk};
};

TEST_F(MainComPortTest, ThePortIsCreatedClosedWithTheStoredSettings) {
  TComPort& p = RunHost().Port();
  EXPECT_EQ(&p, form->ComPort);
  EXPECT_EQ(p.Owner(), form);
  EXPECT_FALSE(p.Active());
  EXPECT_EQ(p.BaudRate(), br9600);
  EXPECT_EQ(p.DataBits(), db8);
  EXPECT_EQ(p.Parity(), paNone);
  EXPECT_EQ(p.StopBits(), sb1);
  EXPECT_EQ(p.FlowControl().DTR(), dcDisable);
  EXPECT_EQ(p.FlowControl().RTS(), rcDisable);
  EXPECT_EQ(p.FlowControl().XOnXOff(), xcDisable);
  EXPECT_TRUE(p.Options().Empty());
  EXPECT_EQ(p.PriorityClass(), pcRealTime);
  EXPECT_EQ(p.BufferSizes().Input(), 64000);
  EXPECT_EQ(p.BufferSizes().Output(), 2048);
  EXPECT_EQ(p.Timeouts().ReadConstant(), 0);
  EXPECT_TRUE(p.OnError.Assigned());
  EXPECT_TRUE(p.OnLineError().Assigned());
  TMainForm other(nullptr);
  EXPECT_EQ(other.ComPort->DeviceName(), "COM1");
}

TEST_F(MainComPortTest, APortErrorShowsThePortNameAndAbortsSilently) {
  EXPECT_THROW(form->ComPort->WriteByte(1), EAbort);
  EXPECT_EQ(out.str(), "beep\nbox Fehler: ComPortError:  COM7 !\n");
}

TEST_F(MainComPortTest, ALineErrorShowsThePortNameAndClosesThePort) {
  form->ComPort->Open();
  std::uint8_t b = 0;
  line->Send(&b, 1, platform::kCeFrame);
  sim.Clock().SleepMs(2);
  EXPECT_EQ(form->ComPort->InputCount(), 1);
  EXPECT_FALSE(form->ComPort->Active());
  EXPECT_FALSE(line->IsOpen());
  // The stage's next port operation then fails through ComPortError.
  EXPECT_THROW(form->ComPort->ReadByte(), EAbort);
  EXPECT_EQ(out.str(),
            "beep\nbox Fehler: ComPortLineError:  COM7 !\n"
            "beep\nbox Fehler: ComPortError:  COM7 !\n");
}

TEST_F(MainComPortTest, ClosingTheWindowClosesThePort) {
  int before = sim.GetProcessPriorityClass();
  form->ComPort->Open();
  EXPECT_EQ(sim.GetProcessPriorityClass(), platform::kRealtimePriorityClass);
  bool canClose = false;
  form->FormCloseQuery(form, canClose);
  EXPECT_TRUE(canClose);
  EXPECT_FALSE(line->IsOpen());
  EXPECT_EQ(sim.GetProcessPriorityClass(), before);
}

}  // namespace
