// The port's event thread over simulated devices: its life, the dispatch,
// wait errors, device notifications and destruction while it runs.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "serial/ComThread.h"
#include "serial/Comport.h"
#include "serial/DeviceNotify.h"
#include "tests/support/EventSettle.h"
#ifndef _WIN32
#include "framework/linux/UeventNotify.h"
#include "platform/linux/Uevent.h"
#endif

namespace {

using platform::SimCall;

class ComThreadTest : public ::testing::Test {
 public:
  // Handlers record what they see, with the thread they ran on.
  void Log(const std::string& what) {
    log.push_back(what);
    onMainThread.push_back(std::this_thread::get_id() == mainThread);
  }
  void Cts(TObject* sender) {
    EXPECT_EQ(sender, port.get());
    Log("CTS");
    if (ctsRaises) throw Exception("boom");
  }
  void Dsr(TObject*) { Log("DSR"); }
  void Rx(TObject*) { Log("RxChar"); }
  void Rx2(TObject*) { Log("RxChar2"); }
  // Changes the lines while no wait is pending, so that the next wait
  // returns both at once: DSR first, to show that the order is the table's.
  void RingThenBoth(TObject*) {
    Log("Ring");
    dsr = !dsr;
    cts = !cts;
    line->SetDSR(dsr);
    line->SetCTS(cts);
  }
  void CtsSetsDtr(TObject*) {
    Log("CTS");
    port->SetDTR();
  }
  void LineError(TObject*, TLineErrors e) { Log(e.Contains(leFrame) ? "LineError frame" : "LineError"); }
  void Error(TCustomComPort*, EComError& e, TComAction& action) {
    Log("OnError " + std::to_string(e.ErrorCode));
    action = errorAction;
  }
  void AfterClose(TCustomComPort*) { Log("AfterClose"); }
  // What the CTS handler does to its port after logging.
  enum class CtsAction { None, Close, Destroy, Reassign };
  CtsAction ctsAction = CtsAction::None;
  void CtsActs(TObject*) {
    Log("CTS");
    switch (ctsAction) {
      case CtsAction::None:
        break;
      case CtsAction::Close:
        port->Close();
        break;
      case CtsAction::Destroy:
        settler.Forget(port.get());
        port.reset();
        break;
      case CtsAction::Reassign:
        // All events away and back: the old thread stops, a new one waits.
        port->SetOnDSRChange(nullptr);
        port->SetOnCTSChange(nullptr);
        port->SetOnRing(nullptr);
        port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
        break;
    }
  }

 protected:
  void SetUp() override {
    platform::Transcript::SetStream(&out);
    line = serial.AddDevice("COM5");
    port = std::make_unique<TComPort>(nullptr);
    port->SetDeviceName("\\\\.\\COM5");
    port->SetBaudRate(br9600);
    port->SetDataBits(db8);
    settler.Watch(port.get(), line);
  }
  void TearDown() override {
    settler.Forget(port.get());
    port.reset();
    settler.Drain();
    EXPECT_EQ(serial.LiveEvents(), 0);
    platform::Transcript::SetStream(nullptr);
  }
  void SendByte() {
    std::uint8_t b = 0x41;
    line->Send(&b, 1);
  }

  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  std::ostringstream out;
  TApplication app;
  qvtest::EventSettler settler{*sim.Virtual(), tk};
  std::shared_ptr<platform::SimSerialLine> line;
  std::unique_ptr<TComPort> port;
  std::vector<std::string> log;
  std::vector<bool> onMainThread;
  std::thread::id mainThread = std::this_thread::get_id();
  bool ctsRaises = false;
  bool dsr = false, cts = false;
  TComAction errorAction = caAbort;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
  ScopedToolkit useTk{tk};
};

// --- The thread's life ---

TEST_F(ComThreadTest, AThreadRunsExactlyWhileAnEventIsAssignedOnAnOpenPort) {
  port->Open();
  settler.Drain();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
  EXPECT_EQ(line->EventMask(), 0u);

  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  settler.Drain();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::Waiting);
  EXPECT_EQ(line->EventMask(), platform::kEvRxChar);
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"RxChar"}));
  EXPECT_EQ(onMainThread, (std::vector<bool>{true}));

  port->SetOnRxChar(nullptr);
  settler.Drain();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log.size(), 1u);

  // A new start after the stop, and the close stops it again.
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  settler.Drain();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::Waiting);
  port->Close();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
}

TEST_F(ComThreadTest, ThePriorityIsTheThreadsFromItsStartAndChangesAtOnce) {
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  port->Open();
  settler.Drain();
  std::uint64_t id = sim.LastPrioritisedThread();
  ASSERT_NE(id, 0u);
  EXPECT_NE(id, sim.CurrentThreadId());
  EXPECT_EQ(sim.ThreadPriorityOf(id), platform::kThreadTimeCritical);
  // Given at once to the running thread, which is blocked in its wait.
  port->SetThreadPriority(tpLower);
  EXPECT_EQ(sim.ThreadPriorityOf(id), platform::kThreadLower);
  // And to the next thread from its start.
  port->Close();
  port->Open();
  settler.Drain();
  std::uint64_t next = sim.LastPrioritisedThread();
  EXPECT_EQ(sim.ThreadPriorityOf(next), platform::kThreadLower);
  EXPECT_EQ(port->ThreadPriority(), tpLower);
}

TEST_F(ComThreadTest, ReplacingAHandlerKeepsTheThreadAndDeliversToTheNewOne) {
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  port->Open();
  settler.Drain();
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx2));
  settler.Drain();
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"RxChar2"}));
}

// --- Dispatch ---

TEST_F(ComThreadTest, EventsOfOneWaitArriveInTableOrder) {
  port->SetOnRing(TNotifyEvent(this, &ComThreadTest::RingThenBoth));
  port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::Cts));
  port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
  port->Open();
  settler.Drain();
  line->SetRing(true);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"Ring", "CTS", "DSR"}));
}

TEST_F(ComThreadTest, AHandlerThatRaisesEndsOnlyThatDispatch) {
  ctsRaises = true;
  port->SetOnRing(TNotifyEvent(this, &ComThreadTest::RingThenBoth));
  port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::Cts));
  port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
  port->Open();
  settler.Drain();
  line->SetRing(true);
  settler.Pump(1);
  // DSR changed in the same wait as CTS: skipped.
  EXPECT_EQ(log, (std::vector<std::string>{"Ring", "CTS"}));
  EXPECT_EQ(out.str(), "exception boom\n");
  // The thread goes on: the next wait's events arrive.
  dsr = !dsr;
  line->SetDSR(dsr);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"Ring", "CTS", "DSR"}));
}

TEST_F(ComThreadTest, AHandlerThatClosesDestroysOrReassignsEndsThatDispatchSafely) {
  // CTS and DSR change in one wait; the CTS handler comes first and pulls
  // the ground away. No later event of that wait may reach a handler, no
  // box may follow, and nothing may touch a port that has gone.
  struct Row {
    CtsAction action;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {CtsAction::Close, {"Ring", "CTS", "AfterClose"}},
      {CtsAction::Destroy, {"Ring", "CTS", "AfterClose"}},
      // Assigning anew starts a new thread whose wait fills the mask word
      // while this dispatch still runs: the DSR of this wait still arrives,
      // read from this wait's word.
      {CtsAction::Reassign, {"Ring", "CTS", "DSR"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.action));
    log.clear();
    out.str("");
    if (!port) {
      port = std::make_unique<TComPort>(nullptr);
      port->SetDeviceName("\\\\.\\COM5");
      settler.Watch(port.get(), line);
    }
    ctsAction = row.action;
    port->AfterClose = TOpenCloseEvent(this, &ComThreadTest::AfterClose);
    port->SetOnRing(TNotifyEvent(this, &ComThreadTest::RingThenBoth));
    port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::CtsActs));
    port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
    port->Open();
    settler.Drain();
    line->SetRing(true);
    settler.Pump(2);
    line->SetRing(false);
    settler.Pump(2);
    EXPECT_EQ(log, row.log);
    EXPECT_EQ(out.str(), "");
    if (port) {
      port->Close();
      port->SetOnRing(nullptr);
      port->SetOnCTSChange(nullptr);
      port->SetOnDSRChange(nullptr);
      port->AfterClose = nullptr;
    }
  }
}

TEST_F(ComThreadTest, AFailedWaitDeliversOnlyItsErrorNeverTheLastWaitsEvents) {
  // A wait that fails leaves the driver's mask word as it was; the DSR of
  // the wait before must not be delivered again on a device that has gone.
  port->OnError = TComErrorEvent(this, &ComThreadTest::Error);
  port->AfterClose = TOpenCloseEvent(this, &ComThreadTest::AfterClose);
  port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
  port->Open();
  settler.Drain();
  line->SetDSR(true);
  settler.Pump(1);
  ASSERT_EQ(log, (std::vector<std::string>{"DSR"}));
  line->Unplug();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"DSR", "OnError " + std::to_string(serial.DeviceGoneCode()),
                                           "AfterClose"}));
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(out.str(), "");
}

TEST_F(ComThreadTest, APortErrorAbortedSilentlyInAHandlerShowsNothing) {
  port->OnError = TComErrorEvent(this, &ComThreadTest::Error);
  port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::CtsSetsDtr));
  port->Open();
  settler.Drain();
  line->FailNext(SimCall::EscapeCommFunction, 31);
  line->SetCTS(true);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"CTS", "OnError 31"}));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(port->EventThreadState(), TComThreadState::Waiting);
}

TEST_F(ComThreadTest, ALineErrorAlreadyClearedCallsNothing) {
  port->SetOnLineError(TLineErrorEvent(this, &ComThreadTest::LineError));
  port->Open();
  settler.Drain();
  line->InjectErrors(platform::kCeFrame);
  settler.Settle();
  ASSERT_EQ(port->EventThreadState(), TComThreadState::Synchronizing);
  // The input count reads and clears the word before the dispatch runs.
  EXPECT_EQ(port->InputCount(), 0);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"LineError frame"}));

  // Not cleared: the dispatch reports it.
  line->InjectErrors(platform::kCeFrame);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"LineError frame", "LineError frame"}));
}

TEST_F(ComThreadTest, ADispatchQueuedBeforeACloseDoesNothing) {
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  port->Open();
  settler.Drain();
  SendByte();
  sim.Virtual()->AdvanceTo(sim.Clock().NowUs() + 2000);
  settler.Settle();
  ASSERT_TRUE(SynchronizePending());
  port->Close();
  // Opened again before the UI thread runs the old thread's call: it still
  // belongs to the closed session.
  port->Open();
  settler.Pump(2);
  EXPECT_TRUE(log.empty());
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"RxChar"}));
}

TEST_F(ComThreadTest, UnsynchronisedEventsRunOnTheEventThreadInOrder) {
  port->SetSynchronizeEvents(false);
  port->SetOnRing(TNotifyEvent(this, &ComThreadTest::RingThenBoth));
  port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::Cts));
  port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
  port->Open();
  settler.Drain();
  line->SetRing(true);
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"Ring", "CTS", "DSR"}));
  EXPECT_EQ(onMainThread, (std::vector<bool>{false, false, false}));
}

// --- Wait errors ---

TEST_F(ComThreadTest, AWaitFailingWithCode5ReportsOnTheUiThreadThenCloses) {
  for (TComAction action : {caAbort, caFail}) {
    SCOPED_TRACE(action);
    log.clear();
    onMainThread.clear();
    errorAction = action;
    port->OnError = TComErrorEvent(this, &ComThreadTest::Error);
    port->AfterClose = TOpenCloseEvent(this, &ComThreadTest::AfterClose);
    port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
    port->Open();
    settler.Drain();
    line->FailNext(SimCall::WaitCommEvent, 5);
    // A new mask ends the pending wait; the next one fails.
    port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
    settler.Pump(1);
    EXPECT_EQ(log, (std::vector<std::string>{"OnError 5", "AfterClose"}));
    EXPECT_EQ(onMainThread, (std::vector<bool>{true, true}));
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
    // No exception box either way: caFail's error ended the thread.
    EXPECT_EQ(out.str(), "");
    port->SetOnDSRChange(nullptr);
  }
}

TEST_F(ComThreadTest, AnUnpluggedDeviceEndsTheWaitWithCode5) {
  port->OnError = TComErrorEvent(this, &ComThreadTest::Error);
  port->AfterClose = TOpenCloseEvent(this, &ComThreadTest::AfterClose);
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  port->Open();
  settler.Drain();
  line->Unplug();
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"OnError 5", "AfterClose"}));
  EXPECT_FALSE(port->Active());
}

TEST_F(ComThreadTest, AnotherWaitErrorEndsTheThreadAndLeavesThePortOpen) {
  port->OnError = TComErrorEvent(this, &ComThreadTest::Error);
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  port->Open();
  settler.Drain();
  line->FailNext(SimCall::WaitCommEvent, 31);
  port->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
  settler.Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"OnError 31"}));
  EXPECT_TRUE(port->Active());
  EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
  // The ended thread is neither signalled nor freed by what follows (the
  // sanitizers watch this): mask changes, then the close.
  port->SetOnCTSChange(TNotifyEvent(this, &ComThreadTest::Cts));
  port->SetThreadPriority(tpHigher);
  settler.Pump(1);
  EXPECT_EQ(port->EventThreadState(), TComThreadState::None);
  port->SetOnDSRChange(nullptr);
  port->SetOnCTSChange(nullptr);
  port->SetOnRxChar(nullptr);
  // All removed, then one assigned again: a new thread.
  port->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
  settler.Drain();
  EXPECT_EQ(port->EventThreadState(), TComThreadState::Waiting);
  SendByte();
  settler.Pump(2);
  EXPECT_EQ(log, (std::vector<std::string>{"OnError 31", "RxChar"}));
  port->Close();
  EXPECT_FALSE(line->IsOpen());
}

// --- Destruction while the thread runs ---

TEST_F(ComThreadTest, DestroyingAPortWhileItsThreadWaitsOrDispatches) {
  for (int i = 0; i < 300; ++i) {
    auto p = std::make_unique<TComPort>(nullptr);
    p->SetDeviceName("COM5");
    p->SetSynchronizeEvents(i % 3 != 2);
    p->SetOnRxChar(TNotifyEvent(this, &ComThreadTest::Rx));
    p->SetOnDSRChange(TNotifyEvent(this, &ComThreadTest::Dsr));
    p->Open();
    switch (i % 3) {
      case 0:
        // Waiting (or not yet waiting: no settling here).
        break;
      case 1:
        // A dispatch queued for the UI thread, or about to be.
        line->SetDSR(i % 2 == 0);
        break;
      case 2:
        // A dispatch running on the event thread.
        line->SetDSR(i % 2 == 0);
        break;
    }
    p.reset();
    // Whatever was queued for the destroyed port runs now, and does nothing.
    CheckSynchronize();
  }
  // No synchronised handler ran: each dispatch was dropped with its port.
  for (bool mainThreadCall : onMainThread) EXPECT_FALSE(mainThreadCall);
}

// --- Device notifications ---

class FakeNotifications final : public platform::IDeviceNotifications {
 public:
  int AddMainWindowHook(platform::MainWindowHook hook) override {
    hooks[next] = std::move(hook);
    return next++;
  }
  void RemoveMainWindowHook(int id) override { hooks.erase(id); }
  void* RegisterDeviceInterface(const platform::DeviceInterfaceFilter& f) override {
    filter = f;
    if (failRegister) return nullptr;
    ++registered;
    return &registered;
  }
  bool UnregisterDeviceInterface(void* r) override {
    EXPECT_EQ(r, &registered);
    --registered;
    return true;
  }
  // Offers a message to every hook, as the window does.
  bool Send(const platform::WindowMessage& m) {
    bool handled = false;
    auto copy = hooks;
    for (auto& [id, h] : copy) handled = h(m) || handled;
    return handled;
  }
  std::map<int, platform::MainWindowHook> hooks;
  int next = 1;
  int registered = 0;
  bool failRegister = false;
  platform::DeviceInterfaceFilter filter;
};

class DeviceNotifyTest : public ComThreadTest {
 public:
  void Arrived(TObject* sender, const std::string& name) {
    EXPECT_EQ(sender, port.get());
    Log("arrival " + name);
  }
  void Removed(TObject*, const std::string& name) { Log("removed " + name); }

 protected:
  void TearDown() override {
    ComThreadTest::TearDown();
    EXPECT_EQ(fake.registered, 0);
    EXPECT_TRUE(fake.hooks.empty());
  }
  FakeNotifications fake;
  ScopedDeviceNotifications useFake{fake};
};

TEST_F(DeviceNotifyTest, AssigningADeviceEventRegistersAndRemovingBothUnregisters) {
  EXPECT_TRUE(fake.hooks.empty());
  port->SetOnDeviceArrival(TDeviceEvent(this, &DeviceNotifyTest::Arrived));
  EXPECT_EQ(fake.registered, 1);
  EXPECT_EQ(fake.hooks.size(), 1u);
  EXPECT_EQ(fake.filter.Size, 32u);
  EXPECT_EQ(fake.filter.DeviceType, 5u);
  EXPECT_EQ(fake.filter.ClassGuid.Data1, 0xA5DCBF10u);
  EXPECT_EQ(fake.filter.ClassGuid.Data4[7], 0xEDu);
  port->SetOnDeviceRemoved(TDeviceEvent(this, &DeviceNotifyTest::Removed));
  EXPECT_EQ(fake.registered, 1);
  port->SetOnDeviceArrival(nullptr);
  EXPECT_EQ(fake.registered, 1);
  port->SetOnDeviceRemoved(nullptr);
  EXPECT_EQ(fake.registered, 0);
  EXPECT_TRUE(fake.hooks.empty());
}

TEST_F(DeviceNotifyTest, AFailedRegistrationLeavesNoHook) {
  fake.failRegister = true;
  port->SetOnDeviceArrival(TDeviceEvent(this, &DeviceNotifyTest::Arrived));
  EXPECT_FALSE(port->NotificationRegistered());
  EXPECT_TRUE(fake.hooks.empty());
  // The next assignment tries again.
  fake.failRegister = false;
  port->SetOnDeviceRemoved(TDeviceEvent(this, &DeviceNotifyTest::Removed));
  EXPECT_TRUE(port->NotificationRegistered());
  settler.Forget(port.get());
  port.reset();  // the destructor unregisters
}

TEST_F(DeviceNotifyTest, DeviceChangeMessagesByEventAndDeviceType) {
  port->SetOnDeviceArrival(TDeviceEvent(this, &DeviceNotifyTest::Arrived));
  port->SetOnDeviceRemoved(TDeviceEvent(this, &DeviceNotifyTest::Removed));
  struct Case {
    unsigned msg;
    std::uintptr_t event;
    std::uint32_t type;
    std::string name;
    std::string expected;  // empty: nothing is called
  };
  const std::string path = "\\\\?\\USB#VID_0403&PID_6001#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const Case cases[] = {
      {0x219, 0x8000, 3, "COM9", "arrival COM9"},
      {0x219, 0x8004, 3, "COM9", "removed COM9"},
      {0x219, 0x8000, 5, path, "arrival " + path},
      {0x219, 0x8004, 5, path, "removed " + path},
      {0x219, 0x8000, 2, "COM9", ""},  // a volume
      {0x219, 0x8001, 3, "COM9", ""},  // query remove
      {0x219, 0x8003, 3, "COM9", ""},  // remove pending
      {0x218, 0x8000, 3, "COM9", ""},  // another message
  };
  for (const Case& c : cases) {
    log.clear();
    std::string storage;
    platform::WindowMessage m = platform::MakeDeviceChangeMessage(c.event, c.type, c.name, storage);
    m.Msg = c.msg;
    EXPECT_FALSE(fake.Send(m));
    std::vector<std::string> expected;
    if (!c.expected.empty()) expected.push_back(c.expected);
    EXPECT_EQ(log, expected) << c.msg << " " << c.event << " " << c.type;
  }
  // A record whose name runs to its end without a zero is cut there.
  std::string storage;
  platform::WindowMessage m = platform::MakeDeviceChangeMessage(0x8000, 3, "COM12", storage);
  storage.pop_back();
  std::uint32_t size = static_cast<std::uint32_t>(storage.size() - 2);
  std::memcpy(storage.data(), &size, 4);
  m.LParam = reinterpret_cast<std::intptr_t>(storage.data());
  log.clear();
  fake.Send(m);
  EXPECT_EQ(log, (std::vector<std::string>{"arrival COM"}));
}

#ifndef _WIN32

TEST(UeventTest, TtyAddsAndRemovesGiveTheShortName) {
  using std::string_literals::operator""s;
  struct Case {
    std::string datagram;
    bool some;
    bool added;
    const char* name;
  };
  const Case cases[] = {
      {"add@/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0ACTION=add\0"
       "DEVPATH=/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0SUBSYSTEM=tty\0"
       "MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4711\0"s,
       true, true, "ttyUSB0"},
      {"remove@/devices/x/tty/ttyACM1\0ACTION=remove\0DEVPATH=/devices/x/tty/ttyACM1\0"
       "SUBSYSTEM=tty\0DEVNAME=ttyACM1\0"s,
       true, false, "ttyACM1"},
      // Without DEVNAME: the last part of the path.
      {"add@/devices/x/tty/ttyS4\0ACTION=add\0DEVPATH=/devices/x/tty/ttyS4\0SUBSYSTEM=tty\0"s, true, true,
       "ttyS4"},
      {"add@/devices/x/usb1/1-1\0ACTION=add\0DEVPATH=/devices/x/usb1/1-1\0SUBSYSTEM=usb\0DEVNAME=bus/usb/001/002\0"s,
       false, false, nullptr},
      {"change@/devices/x/tty/ttyUSB0\0ACTION=change\0SUBSYSTEM=tty\0DEVNAME=ttyUSB0\0"s, false, false,
       nullptr},
      {"libudev\0\xfe\xed\xca\xfe"s, false, false, nullptr},
      {""s, false, false, nullptr},
      {"add@/x\0ACTION=add\0SUBSYSTEM=tty\0DEVPATH=/\0"s, false, false, nullptr},
  };
  for (const Case& c : cases) {
    std::optional<platform::TtyUevent> ev = platform::ParseTtyUevent(c.datagram);
    ASSERT_EQ(ev.has_value(), c.some) << c.datagram;
    if (!ev) continue;
    EXPECT_EQ(ev->Added, c.added);
    EXPECT_EQ(ev->Name, c.name);
  }
}

TEST(UeventTest, TheKernelSocketOpens) {
  platform::NetlinkUeventSource source;
  if (!source.Open()) GTEST_SKIP() << "no netlink uevent socket here";
  source.Interrupt();
  std::string d;
  EXPECT_FALSE(source.Receive(d));
}

// A source the test feeds.
class FedSource final : public platform::IUeventSource {
 public:
  explicit FedSource(FedSource** self) { *self = this; }
  bool Open() override { return true; }
  bool Receive(std::string& d) override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return false;
    d = queue_.front();
    queue_.pop_front();
    return true;
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cv_.notify_all();
  }
  void Feed(const std::string& d) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(d);
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  bool stop_ = false;
};

class UeventPortTest : public ComThreadTest {
 public:
  void Arrived(TObject*, const std::string& name) { Log("arrival " + name); }
  void Removed(TObject*, const std::string& name) { Log("removed " + name); }
};

TEST_F(UeventPortTest, KernelTtyEventsReachThePortOnTheUiThread) {
  FedSource* source = nullptr;
  TUeventNotifications uevents([&] { return std::make_unique<FedSource>(&source); });
  ScopedDeviceNotifications useUevents(uevents);
  EXPECT_FALSE(uevents.Listening());
  port->SetOnDeviceArrival(TDeviceEvent(this, &UeventPortTest::Arrived));
  port->SetOnDeviceRemoved(TDeviceEvent(this, &UeventPortTest::Removed));
  ASSERT_TRUE(uevents.Listening());
  ASSERT_NE(source, nullptr);
  using std::string_literals::operator""s;
  source->Feed("add@/devices/x/usb1/1-1\0ACTION=add\0SUBSYSTEM=usb\0"s);
  source->Feed("add@/devices/x/tty/ttyUSB0\0ACTION=add\0SUBSYSTEM=tty\0DEVNAME=ttyUSB0\0"s);
  source->Feed("remove@/devices/x/tty/ttyUSB0\0ACTION=remove\0SUBSYSTEM=tty\0DEVNAME=ttyUSB0\0"s);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (log.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    CheckSynchronize();
    std::this_thread::yield();
  }
  EXPECT_EQ(log, (std::vector<std::string>{"arrival ttyUSB0", "removed ttyUSB0"}));
  EXPECT_EQ(onMainThread, (std::vector<bool>{true, true}));
  // A datagram queued while the last registration goes does not reach the
  // port.
  source->Feed("add@/devices/x/tty/ttyUSB1\0ACTION=add\0SUBSYSTEM=tty\0DEVNAME=ttyUSB1\0"s);
  port->SetOnDeviceArrival(nullptr);
  port->SetOnDeviceRemoved(nullptr);
  EXPECT_FALSE(uevents.Listening());
  CheckSynchronize();
  EXPECT_EQ(log.size(), 2u);
}

#endif

}  // namespace
