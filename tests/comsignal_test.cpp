// The signal indicator over a simulated port: line states, pulses, the
// writing flag, colours, taking over and giving back the port's events.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "framework/Controls.h"
#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "serial/Comsignal.h"
#include "tests/support/EventSettle.h"

namespace {

class ComSignalTest : public ::testing::Test {
 public:
  void Signalled(TObject* sender) {
    auto* s = static_cast<TComSignal*>(sender);
    log.push_back(s->Name() + (s->SignalValue() ? " on" : " off"));
  }
  void AppAfterOpen(TCustomComPort*) { log.push_back("app AfterOpen"); }
  void AppRx(TObject* sender) {
    EXPECT_EQ(sender, port);
    log.push_back("app RxChar");
  }

 protected:
  void SetUp() override {
    platform::Transcript::SetStream(&out);
    line = serial.AddDevice("COM5");
    owner = new TComponent(nullptr);
    port = new TComPort(owner);
    port->SetDeviceName("COM5");
    port->SetBaudRate(br9600);
    port->SetDataBits(db8);
    panel = new TPanel(owner);
    settler.Watch(port, line);
  }
  void TearDown() override {
    settler.Forget(port);
    delete owner;
    settler.Drain();
    EXPECT_EQ(serial.LiveEvents(), 0);
    platform::Transcript::SetStream(nullptr);
  }
  // An indicator as a form creates it: properties set while loading.
  TComSignal* Indicator(const char* name, TSignal signal, int delay, TControl* control = nullptr) {
    auto* s = new TComSignal(owner);
    s->BeginLoading();
    s->SetName(name);
    s->SetComPort(port);
    s->SetSignal(signal);
    s->SetDelay(delay);
    s->SetControl(control);
    s->OnSignal = TNotifyEvent(this, &ComSignalTest::Signalled);
    s->EndLoading();
    return s;
  }
  void SendByte() {
    std::uint8_t b = 0x55;
    line->Send(&b, 1);
  }

  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  std::ostringstream out;
  TApplication app;
  qvtest::EventSettler settler{*sim.Virtual(), tk};
  std::shared_ptr<platform::SimSerialLine> line;
  TComponent* owner = nullptr;
  TComPort* port = nullptr;
  TPanel* panel = nullptr;
  std::vector<std::string> log;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
  ScopedToolkit useTk{tk};
};

TEST_F(ComSignalTest, TheDefaults) {
  TComSignal s(nullptr);
  EXPECT_EQ(s.ColorOff(), 0x8000u);
  EXPECT_EQ(s.ColorOn(), 0xFF00u);
  EXPECT_EQ(s.Delay(), 100);
  EXPECT_EQ(s.Signal(), siNone);
  EXPECT_FALSE(s.SignalValue());
  EXPECT_EQ(s.ComPort(), nullptr);
  // The timer runs from construction, with the delay as its interval.
  EXPECT_TRUE(s.Timer()->Running());
  EXPECT_EQ(s.Timer()->Interval(), 100);
  std::string about = s.About();
  s.SetAbout("x");
  EXPECT_EQ(s.About(), about);
}

TEST_F(ComSignalTest, ALineStateFollowsOpenCloseAndItsEvent) {
  line->SetDSR(true);
  TComSignal* s = Indicator("dsr", siDSR, 10, panel);
  EXPECT_FALSE(s->Timer()->Running());  // setting the port stopped it
  EXPECT_EQ(panel->Color(), clGreen);
  port->Open();
  EXPECT_TRUE(s->SignalValue());
  EXPECT_EQ(panel->Color(), clLime);
  port->Close();
  EXPECT_FALSE(s->SignalValue());
  EXPECT_EQ(panel->Color(), clGreen);
  EXPECT_EQ(log, (std::vector<std::string>{"dsr on", "dsr off"}));

  // Through the event thread while open.
  log.clear();
  line->SetDSR(false);
  port->Open();
  settler.Drain();
  line->SetDSR(true);
  settler.Pump(1);
  EXPECT_EQ(panel->Color(), clLime);
  line->SetDSR(false);
  settler.Pump(1);
  EXPECT_EQ(panel->Color(), clGreen);
  EXPECT_EQ(log, (std::vector<std::string>{"dsr on", "dsr off"}));
}

TEST_F(ComSignalTest, APulseEndsOneDelayAfterTheLastEvent) {
  TComSignal* s = Indicator("rx", siRxChar, 10);
  port->Open();
  settler.Drain();
  std::int64_t start = sim.Clock().NowMs();
  // A burst: one byte every 5 ms keeps the value on.
  for (int i = 0; i < 4; ++i) {
    SendByte();
    settler.Pump(5);
    EXPECT_TRUE(s->SignalValue()) << i;
  }
  std::int64_t lastByteMs = start + 15 + 1;  // the fourth byte arrives after one character time
  while (s->SignalValue()) settler.Pump(1);
  std::int64_t offMs = sim.Clock().NowMs();
  EXPECT_GE(offMs, lastByteMs + 10);
  EXPECT_LE(offMs, lastByteMs + 11);
  EXPECT_EQ(log, (std::vector<std::string>{"rx on", "rx off"}));
}

TEST_F(ComSignalTest, WithDelay0APulseStaysOn) {
  TComSignal* s = Indicator("rx", siRxChar, 0);
  port->Open();
  settler.Drain();
  SendByte();
  settler.Pump(1000);
  EXPECT_TRUE(s->SignalValue());
  EXPECT_FALSE(s->Timer()->Running());
  // The next open or close switches it off.
  port->Close();
  EXPECT_FALSE(s->SignalValue());
}

TEST_F(ComSignalTest, TxCharIsHeldWhileAWriteIsInsideItsCall) {
  TComSignal* s = Indicator("tx", siTxChar, 10);
  port->Open();
  // 40 bytes take about 42 ms; timer ticks are handled halfway.
  bool duringWrite = false;
  sim.Clock().Schedule(sim.Clock().NowUs() + 25000, [&] {
    tk.ProcessMessages();
    duringWrite = s->SignalValue();
  });
  std::vector<std::uint8_t> bytes(40, 0x33);
  port->Write(bytes.data(), static_cast<int>(bytes.size()), true);
  EXPECT_TRUE(duringWrite);
  EXPECT_TRUE(s->SignalValue());
  settler.Pump(2);
  // The timer kept running: the next tick after the write ends it.
  EXPECT_FALSE(s->SignalValue());
}

TEST_F(ComSignalTest, ColorOnShowsAtTheNextRepaintColorOffAtOnce) {
  line->SetDSR(true);
  TComSignal* s = Indicator("dsr", siDSR, 10, panel);
  port->Open();
  s->SetColorOn(clRed);
  EXPECT_EQ(panel->Color(), clLime);
  s->SetColorOff(clWhite);  // repaints with the value's colour
  EXPECT_EQ(panel->Color(), clRed);
  port->Close();
  EXPECT_EQ(panel->Color(), clWhite);
  s->SetColorOff(clBlack);
  EXPECT_EQ(panel->Color(), clBlack);
}

TEST_F(ComSignalTest, TwoIndicatorsChainTheLaterFirstAndKeepTheAppsHandler) {
  port->AfterOpen = TOpenCloseEvent(this, &ComSignalTest::AppAfterOpen);
  line->SetDSR(true);
  line->SetCTS(true);
  TComSignal* first = Indicator("first", siDSR, 10);
  TComSignal* second = Indicator("second", siCTS, 10);
  port->Open();
  EXPECT_EQ(log, (std::vector<std::string>{"second on", "first on", "app AfterOpen"}));
  // Giving back: the later one first, then the earlier; the app's remains.
  delete second;
  delete first;
  EXPECT_EQ(port->AfterOpen, TOpenCloseEvent(this, &ComSignalTest::AppAfterOpen));
  EXPECT_FALSE(port->OnDSRChange().Assigned());
  EXPECT_FALSE(port->OnCTSChange().Assigned());
}

TEST_F(ComSignalTest, IndicatorsDestroyedInAnyOrderLeaveAChainWithoutThem) {
  // Three indicators chain on the port's AfterOpen and AfterClose; the
  // middle one or the first one goes first. The chain must skip it at once
  // and, when all are gone, the port must hold the application's handler.
  line->SetDSR(true);
  line->SetCTS(true);
  line->SetRLSD(true);
  const std::vector<std::vector<int>> orders = {{1, 0, 2}, {0, 1, 2}, {0, 2, 1}, {2, 1, 0}};
  for (const auto& order : orders) {
    SCOPED_TRACE(::testing::PrintToString(order));
    port->AfterOpen = TOpenCloseEvent(this, &ComSignalTest::AppAfterOpen);
    std::vector<TComSignal*> s = {Indicator("a", siDSR, 10), Indicator("b", siCTS, 10),
                                  Indicator("c", siRLSD, 10)};
    std::vector<std::string> left = {"c", "b", "a"};
    for (int i : order) {
      delete s[static_cast<std::size_t>(i)];
      std::erase(left, std::string(1, static_cast<char>('a' + i)));
      log.clear();
      port->Open();
      port->Close();
      // The later indicator first, each live one once, then the app's;
      // nothing calls into one that has gone (the sanitizers watch that).
      std::vector<std::string> expected;
      for (const std::string& n : left) expected.push_back(n + " on");
      expected.push_back("app AfterOpen");
      for (const std::string& n : left) expected.push_back(n + " off");
      EXPECT_EQ(log, expected);
    }
    EXPECT_EQ(port->AfterOpen, TOpenCloseEvent(this, &ComSignalTest::AppAfterOpen));
    EXPECT_FALSE(port->AfterClose.Assigned());
    port->AfterOpen = nullptr;
  }
}

TEST_F(ComSignalTest, AnIndicatorDestroyedByItsOwnSignalHandlerStillPassesTheEventOn) {
  struct Killer : TObject {
    TComSignal* victim = nullptr;
    void Kill(TObject*) {
      delete victim;
      victim = nullptr;
    }
  } killer;
  port->SetOnRxChar(TNotifyEvent(this, &ComSignalTest::AppRx));
  TComSignal* s = Indicator("rx", siRxChar, 10);
  killer.victim = s;
  s->OnSignal = TNotifyEvent(&killer, &Killer::Kill);
  port->Open();
  settler.Drain();
  SendByte();
  settler.Pump(20);
  EXPECT_EQ(killer.victim, nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"app RxChar"}));
  EXPECT_EQ(port->OnRxChar(), TNotifyEvent(this, &ComSignalTest::AppRx));
  port->SetOnRxChar(nullptr);
}

TEST_F(ComSignalTest, AnEventTakenOverByAnotherIsLeftAlone) {
  port->SetOnRxChar(TNotifyEvent(this, &ComSignalTest::AppRx));
  TComSignal* s = Indicator("rx", siRxChar, 10);
  // The indicator chains to the application's handler.
  port->Open();
  settler.Drain();
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"rx on", "app RxChar"}));
  // Someone else takes the event over: the indicator's end leaves it.
  port->SetOnRxChar(nullptr);
  TNotifyEvent theirs(this, &ComSignalTest::Signalled);
  port->SetOnRxChar(theirs);
  delete s;
  EXPECT_EQ(port->OnRxChar(), theirs);
  port->SetOnRxChar(nullptr);
}

TEST_F(ComSignalTest, AnotherPortGetsTheEventsTheOldOneGetsThemBack) {
  serial.AddDevice("COM6");
  auto* port2 = new TComPort(owner);
  port2->SetDeviceName("COM6");
  TComSignal* s = Indicator("dsr", siDSR, 10);
  EXPECT_TRUE(port->OnDSRChange().Assigned());
  s->SetComPort(port2);
  EXPECT_FALSE(port->OnDSRChange().Assigned());
  EXPECT_FALSE(port->AfterOpen.Assigned());
  EXPECT_TRUE(port2->OnDSRChange().Assigned());
  EXPECT_TRUE(port2->AfterOpen.Assigned());
  // Signal changed at run time: the taken-over event stays until the next
  // port change, which gives back that event and takes the new signal's.
  s->SetSignal(siCTS);
  EXPECT_TRUE(port2->OnDSRChange().Assigned());
  EXPECT_FALSE(port2->OnCTSChange().Assigned());
  s->SetComPort(port);
  EXPECT_FALSE(port2->OnDSRChange().Assigned());
  EXPECT_FALSE(port2->AfterOpen.Assigned());
  EXPECT_TRUE(port->OnCTSChange().Assigned());
  EXPECT_FALSE(port->OnDSRChange().Assigned());
}

TEST_F(ComSignalTest, RemovedPortAndControlAreLetGo) {
  line->SetDSR(true);
  TComSignal* s = Indicator("dsr", siDSR, 10, panel);
  port->Open();
  settler.Drain();
  ASSERT_TRUE(s->SignalValue());
  delete panel;
  panel = nullptr;
  EXPECT_EQ(s->Control(), nullptr);
  settler.Forget(port);
  delete port;
  port = nullptr;
  EXPECT_EQ(s->ComPort(), nullptr);
  EXPECT_FALSE(s->SignalValue());
  delete s;  // nothing left to give back
}

}  // namespace
