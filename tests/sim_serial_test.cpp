// The simulated serial device: character timing and the event wait, which
// the port's event thread uses from another thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace {

using namespace platform;

class SimSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Install(&sim);
    line = serial.AddDevice("\\\\.\\COM3");
    dev = serial.Open("com3");
    ASSERT_NE(dev, nullptr);
  }
  void TearDown() override {
    dev.reset();
    Install(nullptr);
  }
  SimPlatform sim{true};
  SimSerialSystem serial;
  std::shared_ptr<SimSerialLine> line;
  std::unique_ptr<ISerialDevice> dev;
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

}  // namespace
