// The termios driver under the port component, over pty pairs: the data
// path, the purges and the settings as the tty holds them.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <linux/futex.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "framework/Thread.h"
#include "platform/FaultSerial.h"
#include "platform/Scoped.h"
#include "platform/linux/PosixSerial.h"
#include "platform/sim/SimPlatform.h"
#include "serial/Comport.h"
#include "tests/support/Child.h"
#include "tests/support/PortSetup.h"
#include "tools/modemline/ModemLineState.h"

namespace {

// Waits for a condition that the driver's worker brings about; the bound
// only keeps a broken driver from hanging the test.
bool Eventually(const std::function<bool()>& cond) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// The port's errors and closes, with a received-character handler so that
// the port runs an event thread.
struct PortRecord : TObject {
  explicit PortRecord(TComPort& port) {
    port.OnError = TComErrorEvent(this, &PortRecord::Error);
    port.AfterClose = TOpenCloseEvent(this, &PortRecord::Closed);
    port.SetOnRxChar(TNotifyEvent(this, &PortRecord::Rx));
  }
  std::vector<int> errors;
  int closes = 0;
  void Error(TCustomComPort*, EComError& e, TComAction&) { errors.push_back(e.ErrorCode); }
  void Closed(TCustomComPort*) { ++closes; }
  void Rx(TObject*) {}
};

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
    port = std::make_unique<TComPort>(nullptr);
    port->SetDeviceName(path);
    qvtest::ConfigureBoardLine(*port);
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) close(master);
    close(slave);
  }
  std::string ReadMaster(std::size_t n) {
    std::string got;
    while (got.size() < n) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      char buf[256];
      ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }
  void WriteMaster(const std::string& s) { ASSERT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }

  platform::SimPlatform sim{false};
  platform::PosixSerialSystem serial;
  int master = -1, slave = -1;
  std::string path;
  std::unique_ptr<TComPort> port;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
};

TEST_F(PosixSerialTest, DeviceNames) {
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("\\\\.\\ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("ttyS1"), "/dev/ttyS1");
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("/dev/pts/3"), "/dev/pts/3");
  // The device root the port discovery probes in is the one opened here.
  setenv("QUORVALTINE_DEV_ROOT", "/tmp/devs", 1);
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("\\\\.\\ttyUSB0"), "/tmp/devs/ttyUSB0");
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("ttyS1"), "/tmp/devs/ttyS1");
  EXPECT_EQ(platform::PosixSerialSystem::DevicePath("/dev/pts/3"), "/dev/pts/3");
  unsetenv("QUORVALTINE_DEV_ROOT");
}

TEST_F(PosixSerialTest, TheSettingsReachTheTty) {
  port->Open();
  struct termios t {};
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  port->SetStopBits(sb2);
  port->FlowControl().SetXOnXOff(xcInputOutput);
  port->Characters().SetXOn(0x11 + 1);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x12);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  // A rate without a B constant goes through BOTHER.
  port->SetCustomBaudRate(31250);
  unsigned rate = 0;
  ASSERT_TRUE(platform::posix_speed::GetRate(slave, rate));
  EXPECT_EQ(rate, 31250u);
  port->SetBaudRate(br115200);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));

  // A pty only carries 8 data bits without parity; the refused setting is
  // reported, not silently lost.
  for (auto change : std::vector<std::function<void()>>{[&] { port->SetDataBits(db7); },
                                                        [&] { port->SetParity(paEven); }}) {
    try {
      change();
      ADD_FAILURE();
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, EINVAL);
    }
  }
}

TEST_F(PosixSerialTest, WritesWithoutWaitingReachTheOtherSide) {
  port->Open();
  port->WriteByte(0xA5);
  port->WriteString("hello");
  EXPECT_EQ(ReadMaster(6), "\xA5hello");
  EXPECT_TRUE(Eventually([&] { return !port->WritePending(); }));
  EXPECT_EQ(port->OutputCount(), 0);
  std::string big(3000, 'x');
  port->Write(big.data(), static_cast<int>(big.size()), false);
  EXPECT_EQ(ReadMaster(big.size()), big);
  port->WaitForWriteCompletion();
  EXPECT_FALSE(port->WritePending());
}

TEST_F(PosixSerialTest, InputCountReadByteAndThePurges) {
  port->Open();
  WriteMaster("abc");
  ASSERT_TRUE(Eventually([&] { return port->InputCount() == 3; }));
  EXPECT_EQ(port->ReadByte(), 'a');
  EXPECT_EQ(port->InputCount(), 2);
  port->PurgeInput();
  EXPECT_EQ(port->InputCount(), 0);

  // A read not waited for ends on the worker when its bytes arrive.
  char buf[2] = {0, 0};
  port->Read(buf, 2, false);
  EXPECT_TRUE(port->ReadPending());
  WriteMaster("xy");
  EXPECT_TRUE(Eventually([&] { return !port->ReadPending(); }));
  port->WaitForReadCompletion();
  EXPECT_EQ(std::string(buf, 2), "xy");

  // Aborting a pending read ends it.
  port->Read(buf, 2, false);
  port->AbortInput();
  EXPECT_FALSE(port->ReadPending());
  port->ClearOutput();
  port->PurgeOutput();
}

TEST_F(PosixSerialTest, OpenFailuresCarryErrno) {
  port->Open();
  TComPort second(nullptr);
  second.SetDeviceName(path);
  second.SetPriorityClass(pcHigh);
  int before = sim.GetProcessPriorityClass();
  struct Row {
    std::string name;
    int code;
  };
  for (const Row& r : {Row{path, EBUSY}, Row{"\\\\.\\qv-no-such-tty", ENOENT}, Row{"/dev/null", ENOTTY}}) {
    second.SetDeviceName(r.name);
    try {
      second.Open();
      ADD_FAILURE() << r.name;
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, r.code) << r.name;
      EXPECT_EQ(e.Message(), std::strerror(r.code));
    }
    EXPECT_FALSE(second.Active());
    EXPECT_EQ(sim.GetProcessPriorityClass(), before);
  }
}

TEST_F(PosixSerialTest, APtyHasNoModemLinesButKeepsItsDataPath) {
  port->Open();
  EXPECT_THROW(port->SetDTR(), EComError);
  EXPECT_THROW(port->GetModemStatus(), EComError);
  port->WriteByte('z');
  EXPECT_EQ(ReadMaster(1), "z");
}

TEST_F(PosixSerialTest, AVanishedOtherSideFailsTheRead) {
  port->Open();
  close(master);
  master = -1;
  try {
    port->ReadByte();
    ADD_FAILURE();
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EIO);
  }
  EXPECT_TRUE(port->Active());
}

TEST_F(PosixSerialTest, AHungUpTtyFailsThePendingWaitWithTheDeviceGoneCode) {
  // The other side going away hangs the tty up, as unplugging a USB adapter
  // does: the pending wait fails (not "ended with no events"), and so does
  // every later one, with the one code the port closes itself on.
  port->Open();
  platform::ISerialDevice& dev = *port->Device();
  auto ev = serial.NewEvent(false, false);
  std::uint32_t word = 0x10;
  ASSERT_TRUE(dev.SetCommMask(platform::kEvRxChar | platform::kEvDsr));
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  EXPECT_EQ(serial.LastError(), platform::kErrorIoPending);
  close(master);
  master = -1;
  ASSERT_TRUE(ev->Wait(5000));
  EXPECT_FALSE(dev.GetWaitResult());
  EXPECT_EQ(serial.LastError(), serial.DeviceGoneCode());
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  EXPECT_EQ(serial.LastError(), serial.DeviceGoneCode());
}

TEST_F(PosixSerialTest, AHungUpTtyClosesAPortWithAnEventThread) {
  PortRecord rec(*port);
  port->Open();
  close(master);
  master = -1;
  // This thread is the UI thread: it runs the event thread's calls.
  EXPECT_TRUE(Eventually([&] {
    CheckSynchronize();
    return !port->Active();
  }));
  EXPECT_EQ(rec.errors, (std::vector<int>{static_cast<int>(serial.DeviceGoneCode())}));
  EXPECT_EQ(rec.closes, 1);
}

TEST_F(PosixSerialTest, InjectedFailuresOverTheRealDriverReachThePortAsTheSystemsOwn) {
  // The fault-injecting driver wraps the termios one: a write that fails
  // once, then the adapter vanishing under the waiting event thread.
  platform::FaultSerialSystem fault(serial, platform::ErrorFlavour::Linux);
  platform::ScopedSerial useFault{fault};
  PortRecord rec(*port);
  fault.FailAt(platform::SerialOp::WriteFile, 1, EPROTO);
  port->Open();
  try {
    port->WriteString("a");
    ADD_FAILURE() << "the injected write failure was not raised";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EPROTO);
  }
  port->WriteString("b");
  EXPECT_EQ(ReadMaster(1), "b");
  fault.Vanish();
  // This thread is the UI thread: it runs the event thread's calls.
  EXPECT_TRUE(Eventually([&] {
    CheckSynchronize();
    return !port->Active();
  }));
  EXPECT_EQ(rec.errors, (std::vector<int>{EPROTO, static_cast<int>(fault.DeviceGoneCode())}));
  EXPECT_EQ(fault.DeviceGoneCode(), static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(rec.closes, 1);
  EXPECT_GE(fault.Calls(platform::SerialOp::WaitCommEvent), 1);
  // The port goes before the driver it was opened on.
  port.reset();
}

TEST_F(PosixSerialTest, TheEventWaitReportsReceivedCharacters) {
  port->Open();
  platform::ISerialDevice& dev = *port->Device();
  auto ev = serial.NewEvent(false, false);
  std::uint32_t word = 0xFFFF;
  ASSERT_TRUE(dev.SetCommMask(platform::kEvRxChar));
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  EXPECT_EQ(serial.LastError(), platform::kErrorIoPending);
  WriteMaster("q");
  EXPECT_TRUE(ev->Wait(5000));
  EXPECT_EQ(word, platform::kEvRxChar);
  // A new mask ends a pending wait with an empty word.
  word = 0xFFFF;
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  ASSERT_TRUE(dev.SetCommMask(platform::kEvRxChar | platform::kEvDsr));
  EXPECT_TRUE(ev->Wait(5000));
  EXPECT_EQ(word, 0u);
}

TEST_F(PosixSerialTest, StartingAWaitResetsItsEventFromTheLastOne) {
  // The event thread keeps one manual-reset event for all its waits: a
  // signal left from a finished wait must not end the next one.
  port->Open();
  platform::ISerialDevice& dev = *port->Device();
  auto ev = serial.NewEvent(true, false);
  std::uint32_t word = 0;
  ASSERT_TRUE(dev.SetCommMask(platform::kEvRxChar));
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  WriteMaster("q");
  ASSERT_TRUE(ev->Wait(5000));
  EXPECT_EQ(word, platform::kEvRxChar);
  word = 0xFFFF;
  EXPECT_FALSE(dev.WaitCommEvent(&word, *ev));
  EXPECT_EQ(serial.LastError(), platform::kErrorIoPending);
  EXPECT_FALSE(ev->Wait(0));
  WriteMaster("r");
  EXPECT_TRUE(ev->Wait(5000));
  EXPECT_EQ(word, platform::kEvRxChar);
}

// The driver over a pty with the modem-line preload library, which answers
// the line ioctls as an FTDI adapter does and counts the TIOCMGET calls. The
// child process (started with the library preloaded) is the board side as
// well: it owns the shared state and moves DSR itself.
void Bump(std::uint32_t* seq) {
  __atomic_add_fetch(seq, 1u, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, seq, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

QV_CHILD(preloaded) {
  const std::string mode = args.at(0);
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 3;
  const std::string statePath = qvtest::MakeTempDir() + "/lines.state";
  int sfd = open(statePath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (sfd < 0 || ftruncate(sfd, sizeof(qv_modemline_state)) != 0) return 3;
  void* mem = mmap(nullptr, sizeof(qv_modemline_state), PROT_READ | PROT_WRITE, MAP_SHARED, sfd, 0);
  close(sfd);
  if (mem == MAP_FAILED) return 3;
  auto* st = static_cast<qv_modemline_state*>(mem);
  struct stat sst {};
  stat(name, &sst);
  st->size = sizeof *st;
  st->rdev = static_cast<std::uint64_t>(sst.st_rdev);
  st->board_pid = static_cast<std::int32_t>(getpid());
  if (mode == "flag-set-before") st->serial_flags = ASYNC_LOW_LATENCY;
  __atomic_store_n(&st->magic, QV_MODEMLINE_MAGIC, __ATOMIC_RELEASE);
  setenv(QV_MODEMLINE_ENV, statePath.c_str(), 1);
  if (mode == "refused") setenv("QV_MODEMLINE_NO_SERIAL", "1", 1);
  auto flag = [&] {
    return (__atomic_load_n(&st->serial_flags, __ATOMIC_ACQUIRE) & ASYNC_LOW_LATENCY) ? "on" : "off";
  };

  platform::PosixSerialSystem serial;
  std::unique_ptr<platform::ISerialDevice> dev = serial.Open(name);
  std::printf("open %s low-latency %s\n", dev ? "ok" : "failed", flag());
  if (!dev) return 1;
  auto ev = serial.NewEvent(false, false);
  std::uint32_t word = 0;
  dev->SetCommMask(platform::kEvDsr | platform::kEvCts);
  const bool pending = !dev->WaitCommEvent(&word, *ev) && serial.LastError() == platform::kErrorIoPending;
  // A tenth of a second of waiting: a driver that looks at the lines each
  // millisecond reads them about a hundred times.
  const std::uint32_t before = __atomic_load_n(&st->tiocmget_calls, __ATOMIC_ACQUIRE);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("waiting %d, lines read while idle %u\n", pending ? 1 : 0,
              __atomic_load_n(&st->tiocmget_calls, __ATOMIC_ACQUIRE) - before);
  // A DSR pulse of 100 us, far shorter than any look.
  __atomic_or_fetch(&st->board_lines, static_cast<std::uint32_t>(TIOCM_DSR), __ATOMIC_ACQ_REL);
  __atomic_add_fetch(&st->dsr, 1, __ATOMIC_ACQ_REL);
  Bump(&st->seq);
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
  while (std::chrono::steady_clock::now() < end) {
  }
  __atomic_and_fetch(&st->board_lines, ~static_cast<std::uint32_t>(TIOCM_DSR), __ATOMIC_ACQ_REL);
  __atomic_add_fetch(&st->dsr, 1, __ATOMIC_ACQ_REL);
  Bump(&st->seq);
  const bool got = ev->Wait(5000);
  std::printf("pulse event %d word %u\n", got ? 1 : 0, word);
  // Closing ends a pending wait. The pulse's second edge may still be due
  // (it is an event of its own): a wait that ends at once with it is taken
  // first, so that the wait the close ends is really pending.
  word = 7;
  for (int i = 0; i < 10 && dev->WaitCommEvent(&word, *ev); ++i) word = 7;
  dev.reset();
  std::printf("closed wait ended %d word %u low-latency %s\n", ev->Wait(0) ? 1 : 0, word, flag());
  close(master);
  close(slave);
  return 0;
}

TEST(PosixPreloadTest, LowLatencyWhileOpenAndNoLineReadsWhileWaiting) {
  struct Row {
    const char* mode;
    const char* open;
    const char* closed;
  };
  const std::string pulse = "pulse event 1 word " + std::to_string(platform::kEvDsr);
  for (Row r : {Row{"plain", "open ok low-latency on", "closed wait ended 1 word 0 low-latency off"},
                // Set by someone else before: left as it was found.
                Row{"flag-set-before", "open ok low-latency on", "closed wait ended 1 word 0 low-latency on"},
                // A driver without the setting: the port opens all the same.
                Row{"refused", "open ok low-latency off", "closed wait ended 1 word 0 low-latency off"}}) {
    const char* old = std::getenv("LD_PRELOAD");
    const std::string oldAsan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("LD_PRELOAD", QV_MODEMLINE_LIB, 1);
    setenv("ASAN_OPTIONS", (oldAsan + (oldAsan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    qvtest::ChildResult res = qvtest::RunChild("preloaded", {r.mode});
    if (old)
      setenv("LD_PRELOAD", old, 1);
    else
      unsetenv("LD_PRELOAD");
    setenv("ASAN_OPTIONS", oldAsan.c_str(), 1);
    EXPECT_EQ(res.exitCode, 0) << r.mode << "\n" << res.output;
    EXPECT_TRUE(res.Has(r.open)) << r.mode << "\n" << res.output;
    EXPECT_TRUE(res.Has("waiting 1, lines read while idle 0")) << r.mode << "\n" << res.output;
    EXPECT_TRUE(res.Has(pulse)) << r.mode << "\n" << res.output;
    EXPECT_TRUE(res.Has(r.closed)) << r.mode << "\n" << res.output;
  }
}

}  // namespace
