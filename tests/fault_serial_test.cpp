// The fault-injecting serial driver over the sim driver, and what the sim
// driver itself offers the sweep: both error flavours in one build, and the
// count of handles, events and threads left behind.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/FaultSerial.h"
#include "platform/Scoped.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace {

using namespace platform;

struct Rig {
  explicit Rig(ErrorFlavour flavour = ErrorFlavour::Windows) : serial(flavour), fault(serial, flavour) {
    line = serial.AddDevice("COM3");
  }
  std::unique_ptr<ISerialDevice> Open() {
    auto d = fault.Open("\\\\.\\COM3");
    EXPECT_NE(d, nullptr);
    return d;
  }
  SimPlatform sim{true};
  SimSerialSystem serial;
  FaultSerialSystem fault;
  std::shared_ptr<SimSerialLine> line;
  ScopedPlatform useSim{sim};
};

// One operation, its call, and what the call would have changed.
struct OpRow {
  SerialOp op;
  std::function<bool(ISerialDevice&, Rig&)> call;
  std::function<bool(Rig&)> tookEffect;
};

std::vector<OpRow> OpRows() {
  return {
      {SerialOp::SetCommState,
       [](ISerialDevice& d, Rig&) {
         Dcb dcb;
         dcb.BaudRate = 1200;
         dcb.ByteSize = 7;
         return d.SetCommState(dcb);
       },
       [](Rig& r) { return r.line->CurrentDcb().BaudRate == 1200; }},
      {SerialOp::EscapeCommFunction,
       [](ISerialDevice& d, Rig&) { return d.EscapeCommFunction(kEscSetBreak); },
       [](Rig& r) { return r.line->InBreak(); }},
      {SerialOp::SetupComm, [](ISerialDevice& d, Rig&) { return d.SetupComm(1234, 100); },
       [](Rig& r) { return r.line->InputQueueSize() == 1234; }},
      {SerialOp::SetCommTimeouts,
       [](ISerialDevice& d, Rig&) {
         CommTimeouts t;
         t.ReadIntervalTimeout = 77;
         return d.SetCommTimeouts(t);
       },
       [](Rig& r) { return r.line->CurrentTimeouts().ReadIntervalTimeout == 77; }},
      {SerialOp::WriteFile,
       [](ISerialDevice& d, Rig& r) {
         static const std::uint8_t b = 0x41;
         auto ev = r.serial.NewEvent(true, false);
         std::uint32_t n = 0;
         bool ok = d.WriteFile(&b, 1, n, *ev) || r.fault.LastError() == kErrorIoPending;
         if (ok) d.GetWriteResult(n, true);
         return ok;
       },
       [](Rig& r) { return !r.line->TakeReceived().empty(); }},
  };
}

TEST(FaultSerialTest, AFailingCallReturnsItsCodeAndDoesNothing) {
  for (const OpRow& row : OpRows()) {
    Rig r;
    auto dev = r.Open();
    r.fault.FailAt(row.op, 1, 1234);
    std::string name = SerialOpName(row.op);
    EXPECT_FALSE(row.call(*dev, r)) << name;
    EXPECT_EQ(r.fault.LastError(), 1234u) << name;
    EXPECT_FALSE(row.tookEffect(r)) << name;
    EXPECT_TRUE(row.call(*dev, r)) << name << ": the next call";
    EXPECT_TRUE(row.tookEffect(r)) << name;
    EXPECT_EQ(r.fault.Calls(row.op), 2) << name;
  }
}

TEST(FaultSerialTest, OnlyTheKthCallFails) {
  Rig r;
  auto dev = r.Open();
  r.fault.FailAt(SerialOp::GetCommModemStatus, 3, 31);
  std::uint32_t s = 0;
  std::vector<bool> results;
  for (int i = 0; i < 5; ++i) results.push_back(dev->GetCommModemStatus(s));
  EXPECT_EQ(results, (std::vector<bool>{true, true, false, true, true}));
  EXPECT_EQ(r.fault.Calls(SerialOp::GetCommModemStatus), 5);
  EXPECT_EQ(r.fault.DeviceCalls(), 6);  // with the open
  EXPECT_FALSE(r.fault.Vanished());
}

TEST(FaultSerialTest, AVanishedDeviceFailsEveryCallWithTheGoneCodeOfItsFlavour) {
  struct Row {
    ErrorFlavour flavour;
    std::uint32_t call, io, wait, open;
  };
  for (Row row : {Row{ErrorFlavour::Windows, 22, 5, 5, 2}, Row{ErrorFlavour::Linux, 5, 5, 5, 2}}) {
    Rig r(row.flavour);
    auto dev = r.Open();
    std::uint32_t status = 0;
    ASSERT_TRUE(dev->GetCommModemStatus(status));  // device call 2 (after Open)
    r.fault.VanishAt(3);
    std::uint32_t word = 0, n = 0;
    auto ev = r.fault.NewEvent(true, false);  // not a device call
    ASSERT_NE(ev, nullptr);
    std::uint8_t b = 0;
    const char* f = FlavourName(row.flavour);
    EXPECT_FALSE(dev->GetCommModemStatus(status)) << f;  // call 3: it vanishes
    EXPECT_EQ(r.fault.LastError(), row.call) << f;
    EXPECT_TRUE(r.fault.Vanished());
    EXPECT_FALSE(dev->SetCommMask(kEvDsr));
    EXPECT_EQ(r.fault.LastError(), row.call) << f;
    EXPECT_FALSE(dev->WaitCommEvent(&word, *ev));
    EXPECT_EQ(r.fault.LastError(), row.wait) << f;
    EXPECT_FALSE(dev->ReadFile(&b, 1, n, *ev));
    EXPECT_EQ(r.fault.LastError(), row.io) << f;
    EXPECT_FALSE(dev->GetWriteResult(n, true));
    EXPECT_EQ(r.fault.LastError(), row.io) << f;
    dev.reset();
    EXPECT_EQ(r.fault.Open("COM3"), nullptr);
    EXPECT_EQ(r.fault.LastError(), row.open) << f;
    EXPECT_EQ(r.fault.DeviceCalls(), 8);
    EXPECT_EQ(r.fault.Calls(SerialOp::NewEvent), 1);
  }
}

TEST(FaultSerialTest, VanishingEndsThePendingWaitAndTransfersOfOtherThreads) {
  Rig r;
  auto dev = r.Open();
  auto waitEv = r.fault.NewEvent(false, false);
  auto readEv = r.fault.NewEvent(true, false);
  ASSERT_TRUE(dev->SetCommMask(kEvDsr | kEvCts));
  std::uint32_t word = 0xFF;
  ASSERT_FALSE(dev->WaitCommEvent(&word, *waitEv));
  ASSERT_EQ(r.fault.LastError(), kErrorIoPending);
  std::uint8_t buf[4] = {1, 2, 3, 4};
  std::uint32_t n = 0;
  ASSERT_FALSE(dev->ReadFile(buf, 4, n, *readEv));
  ASSERT_EQ(r.fault.LastError(), kErrorIoPending);

  bool woke = false, waitOk = true, nextWaitFailed = false;
  std::uint32_t waitCode = 0, nextCode = 0;
  std::thread waiter([&] {
    woke = waitEv->Wait(-1);
    waitOk = dev->GetWaitResult();
    waitCode = r.fault.LastError();
    nextWaitFailed = !dev->WaitCommEvent(&word, *waitEv);
    nextCode = r.fault.LastError();
  });
  r.fault.Vanish();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_FALSE(waitOk);  // the ended wait failed as the device went
  EXPECT_EQ(waitCode, r.fault.DeviceGoneCode());
  EXPECT_TRUE(nextWaitFailed);
  EXPECT_EQ(nextCode, 5u);
  EXPECT_TRUE(readEv->Wait(0));
  EXPECT_FALSE(dev->GetReadResult(n, true));
  // Bytes that arrive later go nowhere.
  r.line->Send({9, 9, 9, 9});
  r.sim.Clock().SleepMs(10);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(r.serial.LiveThreads(), 0);  // the waiter has ended
}

TEST(FaultSerialTest, AFailedCompletionEndsTheTransferOfTheWrappedDriver) {
  for (SerialOp op : {SerialOp::GetReadResult, SerialOp::GetWriteResult}) {
    Rig r;
    auto dev = r.Open();
    auto ev = r.fault.NewEvent(true, false);
    std::uint8_t buf[2] = {7, 7};
    std::uint32_t n = 0;
    bool read = op == SerialOp::GetReadResult;
    ASSERT_FALSE(read ? dev->ReadFile(buf, 2, n, *ev) : dev->WriteFile(buf, 2, n, *ev));
    r.fault.FailAt(op, 1, 31);
    EXPECT_FALSE(read ? dev->GetReadResult(n, true) : dev->GetWriteResult(n, true));
    EXPECT_EQ(r.fault.LastError(), 31u);
    EXPECT_TRUE(ev->Wait(0)) << SerialOpName(op);
    r.line->Send({1, 2});
    r.sim.Clock().SleepMs(10);
    EXPECT_EQ(buf[0], 7) << SerialOpName(op);
    // Only the byte on the line when it ended goes out.
    if (!read) {
      EXPECT_LE(r.line->ReceivedBytes().size(), 1u);
    }
  }
}

TEST(FaultSerialTest, OperationNamesRoundTrip) {
  for (int i = 0; i < kSerialOpCount; ++i) {
    SerialOp op;
    ASSERT_TRUE(ParseSerialOp(SerialOpName(static_cast<SerialOp>(i)), op));
    EXPECT_EQ(static_cast<int>(op), i);
  }
  SerialOp op;
  EXPECT_FALSE(ParseSerialOp("clearcommerror", op));
}

// --- The sim driver ---

TEST(SimFlavourTest, BothFlavoursGiveTheirOwnCodesInOneBuild) {
  struct Row {
    ErrorFlavour flavour;
    std::uint32_t notFound, busy, removed, removedWait;
    std::string busyText;
  };
  for (const Row& row : {Row{ErrorFlavour::Windows, 2, 5, 22, 5, "Access is denied."},
                         Row{ErrorFlavour::Linux, 2, 16, 5, 5, "Device or resource busy"}}) {
    SimPlatform sim{true};
    ScopedPlatform useSim(sim);
    SimSerialSystem serial(row.flavour);
    auto line = serial.AddDevice("COM3");
    const char* f = FlavourName(row.flavour);
    EXPECT_EQ(serial.Open("COM9"), nullptr);
    EXPECT_EQ(serial.LastError(), row.notFound) << f;
    auto dev = serial.Open("COM3");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(serial.Open("COM3"), nullptr);
    EXPECT_EQ(serial.LastError(), row.busy) << f;
    EXPECT_EQ(serial.ErrorText(row.busy), row.busyText) << f;
    line->Unplug();
    std::uint32_t s = 0;
    EXPECT_FALSE(dev->GetCommModemStatus(s));
    EXPECT_EQ(serial.LastError(), row.removed) << f;
    auto ev = serial.NewEvent(false, false);
    EXPECT_FALSE(dev->WaitCommEvent(&s, *ev));
    EXPECT_EQ(serial.LastError(), row.removedWait) << f;
    EXPECT_EQ(serial.DeviceGoneCode(), row.removedWait) << f;
    dev.reset();
    ev.reset();
  }
}

TEST(SimFlavourTest, TheSystemCountsWhatIsLeftBehind) {
  SimPlatform sim{true};
  ScopedPlatform useSim(sim);
  SimSerialSystem serial;
  serial.AddDevice("COM3");
  auto dev = serial.Open("COM3");
  auto ev = serial.NewEvent(true, false);
  EXPECT_EQ(serial.LiveHandles(), 1);
  EXPECT_EQ(serial.LiveEvents(), 1);
  // The creating thread is not counted; another one is, until it ends.
  std::uint32_t s = 0;
  dev->GetCommModemStatus(s);
  EXPECT_EQ(serial.LiveThreads(), 0);
  bool release = false;
  std::mutex mu;
  std::condition_variable cv;
  std::thread t([&] {
    ev->Wait(-1);
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
  });
  ev->Set();
  for (int i = 0; i < 2000 && serial.LiveThreads() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(serial.LiveThreads(), 1);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  t.join();
  EXPECT_EQ(serial.LiveThreads(), 0);
  dev.reset();
  ev.reset();
  EXPECT_EQ(serial.LiveHandles(), 0);
  EXPECT_EQ(serial.LiveEvents(), 0);
}

}  // namespace
