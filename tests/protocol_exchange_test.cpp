// The two board exchanges in-process, against the board emulator on a
// simulated line, with a small host in place of the main window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "emulator/SimBoardLine.h"
#include "framework/Controls.h"
#include "framework/Forms.h"
#include "framework/SysUtils.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"
#include "tests/support/ExchangeRig.h"
#include "tests/support/RunHostDouble.h"

// Array allocations of this test binary are tracked, so a test can see
// which blocks an exchange still holds when it has been left.
namespace {
struct TArrayBlock {
  void* ptr;
  std::size_t size;
};
constexpr std::size_t kTrackedBlocks = 4096;
TArrayBlock g_arrayBlocks[kTrackedBlocks];

// Live array blocks of exactly `size` bytes.
int LiveArrayBlocks(std::size_t size) {
  int n = 0;
  for (const TArrayBlock& b : g_arrayBlocks)
    if (b.ptr != nullptr && b.size == size) ++n;
  return n;
}
}  // namespace

void* operator new[](std::size_t size) {
  void* p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  for (TArrayBlock& b : g_arrayBlocks)
    if (b.ptr == nullptr) {
      b = {p, size};
      break;
    }
  return p;
}
void operator delete[](void* p) noexcept {
  if (p == nullptr) return;
  for (TArrayBlock& b : g_arrayBlocks)
    if (b.ptr == p) {
      b = {nullptr, 0};
      break;
    }
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }

namespace {

using qvtest::TRunEnded;

class ExchangeTest : public ::testing::Test, protected qvtest::TExchangeRig {
 protected:
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
};

TEST_F(ExchangeTest, ReadFillsTheImageAndProgrammingStoresItOnTheBoard) {
  emulator::TLcdBoard& b = board->Board();
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

TEST_F(ExchangeTest, AByteThatNeverLeavesEndsTheExchangeWithItsCode) {
  // The transmitter stops after `sent` bytes; the next byte's wait gives up.
  struct Row {
    bool program;
    int sent;
    int code;
  };
  const Row rows[] = {{false, 0, 1}, {false, 1, 7}, {false, 2, 8}, {true, 0, 1},  {true, 1, 2},
                      {true, 2, 3},  {true, 3, 4},  {true, 4, 5},  {true, 243, 6}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.program) + "/" + std::to_string(row.sent));
    host->messages.clear();
    ConfigImage = TConfigImage{};
    ConfigImage.ConfigLoaded = row.program;  // all 120 values 0: one digit each
    host->port->SetActive(true);
    line->TakeReceived();
    line->StallTx(row.sent);
    std::int64_t t0 = sim.Clock().NowUs();
    bool finished = Exchange([&] { row.program ? ProgramConfiguration() : ReadConfiguration(); });
    std::int64_t ms = (sim.Clock().NowUs() - t0) / 1000;
    line->StallTx(-1);
    EXPECT_FALSE(finished);
    ASSERT_EQ(host->messages.size(), 1u);
    EXPECT_EQ(host->messages[0], "Fehler: Daten senden konnte nicht ausgeführt werden!  Fehlercode " +
                                     std::to_string(row.code) +
                                     "\n\n             Datenübertragung abgebrochen!");
    EXPECT_FALSE(host->port->Active());
    if (row.sent == 0) {
      // The handshake's sleeps, then 96 waits of 10 ms for the ping.
      EXPECT_EQ(ms, 50 + 200 + 50 + 2000 + 960);
    }
  }
}

// A port error that the window turns into a silent abort leaves an exchange
// by exception; the exchange's buffers go with it, as they do when the
// exchange ends the run or succeeds.
class TAbortOnError : public TObject {
 public:
  void ComPortError(TCustomComPort*, EComError&, TComAction& action) {
    ++errors;
    action = caAbort;
  }
  int errors = 0;
};

TEST(ExchangeBuffersTest, NoWayOutOfAnExchangeKeepsItsBuffers) {
  enum class TWayOut { Success, EndOfRun, Abort };
  struct Row {
    const char* name;
    bool program;
    const char* fault;  // of the board, or nullptr
    TWayOut way;
  };
  // The board receives the ping, the prefix and the command first.
  const Row rows[] = {
      {"read succeeds", false, nullptr, TWayOut::Success},
      {"read ends the run", false, "dump-silent", TWayOut::EndOfRun},
      {"read aborted by a port error", false, "unplug=3", TWayOut::Abort},
      {"programming succeeds", true, nullptr, TWayOut::Success},
      {"programming ends the run", true, "confirm-wrong", TWayOut::EndOfRun},
      {"programming aborted by a port error", true, "unplug=10", TWayOut::Abort},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    qvtest::TExchangeRig rig;
    TAbortOnError handler;
    rig.host->port->OnError = TComErrorEvent(&handler, &TAbortOnError::ComPortError);
    if (row.fault != nullptr) rig.board->Board().AddFault(emulator::ParseFault(row.fault));
    ConfigImage.ConfigLoaded = row.program;
    TWayOut way = TWayOut::Success;
    try {
      row.program ? ProgramConfiguration() : ReadConfiguration();
    } catch (const TRunEnded&) {
      way = TWayOut::EndOfRun;
    } catch (const EAbort&) {
      way = TWayOut::Abort;
    }
    EXPECT_EQ(way, row.way);
    EXPECT_EQ(handler.errors, row.way == TWayOut::Abort ? 1 : 0);
    EXPECT_EQ(LiveArrayBlocks(protocol::kReceiveBufferSize), 0);
    EXPECT_EQ(LiveArrayBlocks(protocol::kFieldBufferSize), 0);
  }
}

}  // namespace
