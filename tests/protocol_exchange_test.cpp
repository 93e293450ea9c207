// The two board exchanges in-process, against the board emulator on a
// simulated line, with a small host in place of the main window.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Controls.h"
#include "framework/Forms.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"
#include "sim/SimBoardLine.h"

namespace {

// Thrown where the window would end the process.
struct TRunEnded {};

class THostDouble final : public IRunHost {
 public:
  explicit THostDouble(TComponent* owner)
      : progress(new TProgressBar(owner)),
        status(new TLabel(owner)),
        panel(new TPanel(owner)),
        port(new TComPort(owner)) {}
  void ShowErrorMessage(const std::string& text) override { messages.push_back("Fehler: " + text); }
  void ShowInfoMessage(const std::string& text) override { messages.push_back("Information: " + text); }
  [[noreturn]] void EndRun() override {
    port->SetActive(false);
    throw TRunEnded{};
  }
  void SetControlsEnabled(bool on) override { enabledLog.push_back(on); }
  void ProcessMessages() override { Application->ProcessMessages(); }
  TProgressBar& Progress() override { return *progress; }
  TLabel& Status() override { return *status; }
  TPanel& ResetIndicatorPanel() override { return *panel; }
  std::uint32_t ResetColorOn() override { return clLime; }
  std::uint32_t ResetColorOff() override { return clGreen; }
  TComPort& Port() override { return *port; }

  TProgressBar* progress;
  TLabel* status;
  TPanel* panel;
  TComPort* port;
  std::vector<std::string> messages;
  std::vector<bool> enabledLog;
};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Install(&sim);
    platform::InstallSerial(&serial);
    InstallToolkit(&tk);
    tk.SetTraceControls(false);
    line = serial.AddDevice("COM5", sim.Clock());
    board = std::make_unique<sim::TSimBoardLine>(sim.Clock(), line);
    host = std::make_unique<THostDouble>(&app);
    SetRunHost(host.get());
    TComPort& p = *host->port;
    p.SetBaudRate(br9600);
    p.SetDataBits(db8);
    p.SetParity(paNone);
    p.SetStopBits(sb1);
    p.FlowControl().SetDTR(dcDisable);
    p.FlowControl().SetRTS(rcDisable);
    p.BufferSizes().SetInput(64000);
    p.SetDeviceName("\\\\.\\COM5");
    p.SetActive(true);
    ConfigImage = TConfigImage{};
  }
  void TearDown() override {
    SetRunHost(nullptr);
    host.reset();
    board.reset();
    InstallToolkit(nullptr);
    platform::InstallSerial(nullptr);
    platform::Install(nullptr);
  }
  // Runs an exchange; false when it ended the run.
  template <class F>
  bool Exchange(F&& f) {
    try {
      f();
      return true;
    } catch (const TRunEnded&) {
      return false;
    }
  }

  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  TApplication app;
  std::shared_ptr<platform::SimSerialLine> line;
  std::unique_ptr<sim::TSimBoardLine> board;
  std::unique_ptr<THostDouble> host;
};

TEST_F(ExchangeTest, ReadFillsTheImageAndProgrammingStoresItOnTheBoard) {
  sim::TLcdBoard& b = board->Board();
  b.Values[7] = -2147483647 - 1;
  b.Values[8] = 0;
  ASSERT_TRUE(Exchange([] { ReadConfiguration(); })) << (host->messages.empty() ? "" : host->messages[0]);
  EXPECT_TRUE(ConfigImage.ConfigLoaded);
  for (int i = 0; i < ImageLength; ++i)
    EXPECT_EQ(ConfigImage.Values[i], b.Values[static_cast<std::size_t>(i)]) << i;
  EXPECT_EQ(ConfigImage.Language, b.Language);
  EXPECT_EQ(ConfigImage.DeviceType, b.DeviceType);
  EXPECT_EQ(std::string(ConfigImage.DeviceText), b.DeviceText);
  EXPECT_EQ(std::string(ConfigImage.TailText4), b.TailText4);
  EXPECT_EQ(std::string(ConfigImage.TailText3), b.TailText3);
  EXPECT_EQ(host->progress->Position(), 100);
  EXPECT_EQ(host->status->Caption(), "Konfiguration gelesen");
  EXPECT_EQ(host->enabledLog, (std::vector<bool>{false, true}));

  ConfigImage.Values[3] = 4711;
  ConfigImage.Values[4] = -5;
  ASSERT_TRUE(Exchange([] { ProgramConfiguration(); })) << (host->messages.empty() ? "" : host->messages[0]);
  EXPECT_TRUE(host->messages.empty());
  EXPECT_EQ(b.Programmed(), 1);
  for (int i = 0; i < ImageLength; ++i)
    EXPECT_EQ(b.Values[static_cast<std::size_t>(i)], ConfigImage.Values[i]) << i;
  EXPECT_EQ(host->progress->Position(), 100);
  EXPECT_EQ(host->status->Caption(), "Programmierung beendet");
  EXPECT_EQ(host->panel->Color(), clGreen);
}

TEST_F(ExchangeTest, ProgrammingWithoutAReadResetsThePingsAndSendsNothing) {
  ASSERT_FALSE(Exchange([] { ProgramConfiguration(); }));
  ASSERT_EQ(host->messages.size(), 1u);
  EXPECT_EQ(host->messages[0], "Information: Es wurde noch keine Konfiguration geladen!");
  EXPECT_EQ(sim.Beeps(), 1);
  // Only the ping went over the line.
  std::vector<std::uint8_t> sent;
  for (const auto& r : line->ReceivedBytes()) sent.push_back(r.Byte);
  EXPECT_EQ(sent, std::vector<std::uint8_t>{protocol::PingByte});
  EXPECT_EQ(board->Board().Programmed(), 0);
}

TEST_F(ExchangeTest, TheHandshakeTakesItsMandatedTime) {
  std::int64_t t0 = sim.Clock().NowUs();
  ASSERT_TRUE(Exchange([] { protocol::ResetHandshake(); }));
  std::int64_t ms = (sim.Clock().NowUs() - t0) / 1000;
  // 50 + 200 + 50 + 2000 ms of sleeps, then the ping (send, 10 ms, polls).
  EXPECT_GE(ms, 2300 + 10);
  EXPECT_LT(ms, 2300 + 10 + 20 + 10);
  EXPECT_EQ(host->panel->Color(), clGreen);
}

TEST_F(ExchangeTest, BytesBeforeThePingAreDiscarded) {
  line->Send(std::vector<std::uint8_t>{0x00, 0x11, 0x22});
  sim.Clock().SleepMs(10);
  ASSERT_TRUE(Exchange([] { EXPECT_TRUE(protocol::PingBoard()); }));
}

}  // namespace
