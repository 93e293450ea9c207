// The simulated serial device: character timing and the event wait, which
// the port's event thread uses from another thread.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/Scoped.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace {

using namespace platform;

class SimSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line = serial.AddDevice("\\\\.\\COM3");
    dev = serial.Open("com3");
    ASSERT_NE(dev, nullptr);
  }
  void TearDown() override { dev.reset(); }
  SimPlatform sim{true};
  SimSerialSystem serial;
  std::shared_ptr<SimSerialLine> line;
  std::unique_ptr<ISerialDevice> dev;
  ScopedPlatform useSim{sim};
};

TEST_F(SimSerialTest, CharacterTimeFollowsRateAndFrame) {
  struct Row {
    std::uint32_t baud;
    std::uint8_t size, parity, stop;
    std::int64_t us;
  };
  for (Row r : {Row{9600, 8, kNoParity, kOneStopBit, 1042}, Row{9600, 7, kEvenParity, kTwoStopBits, 1146},
                Row{115200, 8, kNoParity, kOneStopBit, 87}, Row{300, 5, kNoParity, kOne5StopBits, 25000},
                Row{31250, 8, kOddParity, kOneStopBit, 352}}) {
    Dcb d;
    ASSERT_TRUE(dev->GetCommState(d));
    d.BaudRate = r.baud;
    d.ByteSize = r.size;
    d.Parity = r.parity;
    d.StopBits = r.stop;
    ASSERT_TRUE(dev->SetCommState(d));
    EXPECT_EQ(line->CharTimeUs(), r.us) << r.baud;
  }
  Dcb d;
  dev->GetCommState(d);
  d.ByteSize = 9;
  EXPECT_FALSE(dev->SetCommState(d));
  EXPECT_EQ(serial.LastError(), SimErrorCodes::InvalidParameter());
}

TEST_F(SimSerialTest, OpeningFollowsTheRealSystem) {
  EXPECT_EQ(serial.Open("COM3"), nullptr);
  EXPECT_EQ(serial.LastError(), SimErrorCodes::Busy());
  EXPECT_EQ(serial.Open("COM4"), nullptr);
  EXPECT_EQ(serial.LastError(), SimErrorCodes::NotFound());
  EXPECT_EQ(line->OpenCount(), 1);
}

TEST_F(SimSerialTest, TheEventWaitEndsOnAnotherThread) {
  auto ev = serial.NewEvent(false, false);
  std::uint32_t word = 0;
  ASSERT_TRUE(dev->SetCommMask(kEvAll));
  ASSERT_FALSE(dev->WaitCommEvent(&word, *ev));
  ASSERT_EQ(serial.LastError(), kErrorIoPending);
  EXPECT_TRUE(line->EventWaitSettled());
  std::uint32_t seen = 0;
  std::thread waiter([&] {
    ev->Wait(-1);
    seen = word;
  });
  line->SetCTS(true);
  line->SetDSR(true);  // after the wait ended: kept for the next wait
  waiter.join();
  EXPECT_EQ(seen, kEvCts);
  EXPECT_FALSE(line->EventWaitSettled());
  EXPECT_TRUE(dev->WaitCommEvent(&word, *ev));
  EXPECT_EQ(word, kEvDsr);
  EXPECT_TRUE(line->EventWaitSettled());

  // Received characters, the event character and the empty transmitter.
  Dcb d;
  dev->GetCommState(d);
  d.EvtChar = '\n';
  dev->SetCommState(d);
  ASSERT_FALSE(dev->WaitCommEvent(&word, *ev));
  line->Send({'\n'});
  sim.Clock().SleepMs(2);
  EXPECT_TRUE(ev->Wait(0));
  EXPECT_EQ(word, kEvRxChar | kEvRxFlag);
  auto wr = serial.NewEvent(true, false);
  std::uint32_t n;
  std::uint8_t b = 1;
  dev->WriteFile(&b, 1, n, *wr);
  ASSERT_FALSE(dev->WaitCommEvent(&word, *ev));
  sim.Clock().SleepMs(2);
  EXPECT_EQ(word, kEvTxEmpty);

  // A new mask ends a pending wait with an empty word.
  ASSERT_FALSE(dev->WaitCommEvent(&word, *ev));
  dev->SetCommMask(kEvRing);
  EXPECT_TRUE(ev->Wait(0));
  EXPECT_EQ(word, 0u);
  EXPECT_TRUE(dev->GetWaitResult());
  // Unplugging fails the pending wait, leaving its word as it was, as
  // Windows does; the next one fails at once as a removed device does.
  word = 7;
  ASSERT_FALSE(dev->WaitCommEvent(&word, *ev));
  line->Unplug();
  EXPECT_TRUE(ev->Wait(0));
  EXPECT_EQ(word, 7u);
  EXPECT_FALSE(dev->GetWaitResult());
  EXPECT_EQ(serial.LastError(), serial.DeviceGoneCode());
  EXPECT_FALSE(dev->WaitCommEvent(&word, *ev));
  EXPECT_EQ(serial.LastError(), SimErrorCodes::RemovedWait());
}

TEST_F(SimSerialTest, TheFarEndSeesLinesAndBytesWithTheirTimes) {
  std::vector<std::pair<bool, bool>> lines;
  line->OnLinesChanged([&](bool dtr, bool rts) { lines.emplace_back(dtr, rts); });
  std::vector<std::pair<std::uint8_t, std::int64_t>> got;
  line->OnReceive([&](std::uint8_t byte, std::int64_t at) {
    got.emplace_back(byte, at);
    // The far end may answer from its callback.
    line->Send(&byte, 1);
  });
  EXPECT_TRUE(dev->EscapeCommFunction(kEscClrDtr));
  auto wr = serial.NewEvent(true, false);
  std::uint32_t n;
  const std::uint8_t data[2] = {0x41, 0x42};
  EXPECT_FALSE(dev->WriteFile(data, 2, n, *wr));
  EXPECT_TRUE(dev->GetWriteResult(n, true));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(sim.Clock().NowUs(), 2084);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], std::make_pair(std::uint8_t{0x42}, std::int64_t{2084}));
  sim.Clock().SleepMs(5);
  EXPECT_EQ(line->InputQueued(), 2u);
  dev.reset();
  EXPECT_EQ(lines, (std::vector<std::pair<bool, bool>>{{false, true}, {false, false}}));
}

TEST_F(SimSerialTest, AWriteEndsAtItsTotalTimeoutWithTheBytesThatHaveGone) {
  // 9600 baud, 8N1: a character takes 1042 us; ten of them 10.42 ms.
  struct Row {
    std::uint32_t multiplier, constant;
    std::uint32_t sent;      // when the write ends
    std::size_t farEnd;      // in the end: the character on the line finishes
    std::int64_t endedAtUs;  // -1: not before its last byte
  };
  for (Row r :
       {Row{0, 5, 4, 5, 5'000}, Row{1, 0, 9, 10, 10'000}, Row{0, 0, 10, 10, -1}, Row{2, 0, 10, 10, -1}}) {
    CommTimeouts t;
    t.WriteTotalTimeoutMultiplier = r.multiplier;
    t.WriteTotalTimeoutConstant = r.constant;
    ASSERT_TRUE(dev->SetCommTimeouts(t));
    line->TakeReceived();
    const std::int64_t start = sim.Clock().NowUs();
    auto done = serial.NewEvent(true, false);
    const std::vector<std::uint8_t> data(10, 0x55);
    std::uint32_t n = 0;
    ASSERT_FALSE(dev->WriteFile(data.data(), 10, n, *done));
    EXPECT_TRUE(dev->GetWriteResult(n, true));
    EXPECT_EQ(n, r.sent) << r.multiplier << "/" << r.constant;
    EXPECT_EQ(sim.Clock().NowUs() - start, r.endedAtUs >= 0 ? r.endedAtUs : 10'420);
    sim.Clock().SleepMs(20);
    EXPECT_EQ(line->TakeReceived().size(), r.farEnd) << r.multiplier << "/" << r.constant;
  }
}

TEST_F(SimSerialTest, StartingATransferOrAnEventWaitResetsItsEvent) {
  // One manual-reset event for every call, as the port's threads keep
  // them: a signal left from the last call must not pass for this one's end.
  ASSERT_TRUE(dev->SetCommMask(kEvRing));
  std::uint8_t buffer[4] = {};
  std::uint32_t n = 0, word = 0;
  auto ev = serial.NewEvent(true, true);
  struct Row {
    const char* what;
    std::function<bool()> start;
  };
  const Row rows[] = {
      {"read", [&] { return dev->ReadFile(buffer, 4, n, *ev); }},
      {"write", [&] { return dev->WriteFile(buffer, 4, n, *ev); }},
      {"event wait", [&] { return dev->WaitCommEvent(&word, *ev); }},
  };
  for (const Row& r : rows) {
    ASSERT_TRUE(ev->Set());
    EXPECT_FALSE(r.start()) << r.what;
    EXPECT_EQ(serial.LastError(), kErrorIoPending) << r.what;
    EXPECT_FALSE(ev->Wait(0)) << r.what;
  }
  // Closed while the event and the buffer still live.
  dev.reset();
}

// The input queue's length each time it changes, with the time, until
// untilUs on the virtual clock.
std::vector<std::pair<std::uint32_t, std::int64_t>> QueueSteps(VirtualClock& clock, SimSerialLine& line,
                                                               std::int64_t untilUs) {
  std::vector<std::pair<std::uint32_t, std::int64_t>> steps;
  std::uint32_t last = line.InputQueued();
  for (;;) {
    std::int64_t next = clock.NextEventUs();
    if (next < 0 || next > untilUs) break;
    clock.AdvanceTo(next);
    std::uint32_t now = line.InputQueued();
    if (now != last) steps.emplace_back(now, clock.NowUs());
    last = now;
  }
  return steps;
}

TEST(SimLatencyTest, TheAdapterHandsOnItsBufferAtTheTimerFullOrOnALineChange) {
  using Steps = std::vector<std::pair<std::uint32_t, std::int64_t>>;
  struct Row {
    const char* what;
    std::int64_t latencyUs;
    bool lowLatency;
    std::uint32_t baud;
    std::size_t bytes;
    std::int64_t dsrAtUs;  // -1: no line change
    Steps steps;
  };
  const Row rows[] = {
      {"no timer: as each byte arrives", 0, false, 9600, 2, -1, {{1, 1042}, {2, 2084}}},
      {"16 ms: at the first tick", 16'000, false, 9600, 2, -1, {{2, 16'000}}},
      // 16 bytes take 16.7 ms: the tick at 16 ms takes 15 of them.
      {"16 ms: one packet per tick", 16'000, false, 9600, 16, -1, {{15, 16'000}, {16, 32'000}}},
      {"low latency: 1 ms ticks", 16'000, true, 9600, 1, -1, {{1, 2'000}}},
      // 62 bytes at 115200 baud fill the buffer in 5.4 ms; the timer starts
      // again from that packet.
      {"full buffer", 16'000, false, 115200, 70, -1, {{62, 62 * 87}, {70, 62 * 87 + 16'000}}},
      {"DSR change", 16'000, false, 9600, 1, 3'000, {{1, 3'000}}},
  };
  for (const Row& r : rows) {
    SimPlatform sim(true);
    ScopedPlatform useSim(sim);
    SimSerialSystem serial;
    serial.SetLowLatencyRequest(false);
    auto line = serial.AddDevice("COM5");
    line->SetLatencyTimer(r.latencyUs);
    line->SetLowLatency(r.lowLatency);
    auto dev = serial.Open("COM5");
    ASSERT_NE(dev, nullptr);
    Dcb d;
    ASSERT_TRUE(dev->GetCommState(d));
    d.BaudRate = r.baud;
    ASSERT_TRUE(dev->SetCommState(d));
    std::vector<std::uint8_t> bytes(r.bytes, 0x5A);
    line->Send(bytes);
    if (r.dsrAtUs >= 0) sim.Clock().Schedule(r.dsrAtUs, [&] { line->SetDSR(true); });
    auto& clock = static_cast<VirtualClock&>(sim.Clock());
    EXPECT_EQ(QueueSteps(clock, *line, 100'000), r.steps) << r.what;
    dev.reset();
  }
}

TEST(SimLatencyTest, AnOpenAsksForLowLatencyWhereThePlatformsDriverDoesAndACloseGivesItBack) {
  SimPlatform sim(true);
  ScopedPlatform useSim(sim);
  SimSerialSystem serial;
#ifdef _WIN32
  EXPECT_FALSE(serial.LowLatencyRequest());
#else
  EXPECT_TRUE(serial.LowLatencyRequest());
#endif
  auto line = serial.AddDevice("COM5");
  line->SetLatencyTimer(16'000);
  struct Row {
    bool request, before;
    bool whileOpen;
  };
  for (Row r :
       {Row{true, false, true}, Row{true, true, true}, Row{false, false, false}, Row{false, true, true}}) {
    serial.SetLowLatencyRequest(r.request);
    line->SetLowLatency(r.before);
    auto dev = serial.Open("COM5");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(line->LowLatency(), r.whileOpen) << r.request << r.before;
    EXPECT_EQ(line->EffectiveLatencyUs(), r.whileOpen ? 1'000 : 16'000);
    dev.reset();
    EXPECT_EQ(line->LowLatency(), r.before) << r.request << r.before;
  }
}

}  // namespace
