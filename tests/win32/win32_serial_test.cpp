// The Windows driver under the port component, against a pty that the
// runner (win32_pty_run.py) maps as the COM port named in QV_TEST_COM and
// answers as an echo: the data path, the device control block, the purges
// and the queue counts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "platform/Scoped.h"
#include "platform/sim/SimPlatform.h"
#include "platform/win32/Win32Serial.h"
#include "serial/Comport.h"
#include "tests/support/PortSetup.h"

namespace {

class Win32SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* com = std::getenv("QV_TEST_COM");
    ASSERT_NE(com, nullptr) << "run through win32_pty_run.py";
    name = com;
    port = std::make_unique<TComPort>(nullptr);
    port->SetDeviceName("\\\\.\\" + name);
    qvtest::ConfigureBoardLine(*port);
    port->SetPriorityClass(pcRealTime);
  }
  void TearDown() override { port.reset(); }
  // Polls the input count as the board dialogue does.
  int WaitForInput(int n) {
    int count = 0;
    for (int i = 0; i < 500 && (count = port->InputCount()) < n; ++i) platform::Sleep(10);
    return count;
  }
  platform::SimPlatform sim{false};
  platform::Win32SerialSystem serial;
  std::string name;
  std::unique_ptr<TComPort> port;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
};

TEST_F(Win32SerialTest, ClosingEndsInBoundedTimeWhateverStateTheWaitIsIn) {
  // A wait without a mask: Wine leaves it pending (a driver may also fail it
  // at once, which never signals its event). Either way the device's close
  // must end. A wait that fails at once is driven end to end by the Wine
  // run's vanish-wait-start scenario.
  std::unique_ptr<platform::ISerialDevice> dev = serial.Open("\\\\.\\" + name);
  ASSERT_NE(dev, nullptr);
  auto ev = serial.NewEvent(false, false);
  std::uint32_t word = 0;
  ASSERT_TRUE(dev->SetCommMask(0));
  EXPECT_FALSE(dev->WaitCommEvent(&word, *ev));
  // A close that hangs is this test's failure; the bound only keeps it from
  // hanging the suite.
  auto closed = std::async(std::launch::async, [&] { dev.reset(); });
  EXPECT_EQ(closed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  if (closed.wait_for(std::chrono::seconds(0)) != std::future_status::ready) std::_Exit(1);
}

TEST_F(Win32SerialTest, EchoOverTheDataPath) {
  port->Open();
  port->WriteByte(0xA5);
  port->WriteString("hello");
  port->WaitForWriteCompletion();
  EXPECT_FALSE(port->WritePending());
  ASSERT_EQ(WaitForInput(6), 6);
  EXPECT_EQ(port->ReadByte(), 0xA5);
  EXPECT_EQ(port->ReadString(), "hello");
  EXPECT_EQ(port->InputCount(), 0);
  EXPECT_EQ(port->OutputCount(), 0);
}

TEST_F(Win32SerialTest, PurgeDiscardsWhatArrived) {
  port->Open();
  port->WriteString("abc");
  ASSERT_EQ(WaitForInput(3), 3);
  port->PurgeInput();
  EXPECT_EQ(port->InputCount(), 0);
  port->PurgeOutput();
  port->WriteByte('z');
  ASSERT_EQ(WaitForInput(1), 1);
  EXPECT_EQ(port->ReadChar(), 'z');
}

TEST_F(Win32SerialTest, TheDeviceControlBlockReadsBack) {
  port->Open();
  for (TBaudRate r : {br19200, br115200, br9600}) {
    port->SetBaudRate(r);
    platform::Dcb d;
    ASSERT_TRUE(port->Device()->GetCommState(d));
    EXPECT_EQ(d.BaudRate, static_cast<std::uint32_t>(BaudRateValue(r)));
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, platform::kNoParity);
    EXPECT_EQ(d.StopBits, platform::kOneStopBit);
  }
  port->Timeouts().SetReadConstant(50);
  platform::CommTimeouts t;
  ASSERT_TRUE(port->Device()->GetCommTimeouts(t));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 50u);
  // With a read time-out, a read with nothing to read ends short: Windows
  // ends it with fewer bytes ("Timeout"), Wine with its wait time-out code.
  try {
    port->ReadByte();
    ADD_FAILURE();
  } catch (const EComError& e) {
    if (e.ErrorCode == 0)
      EXPECT_EQ(e.Message(), "Timeout");
    else
      EXPECT_EQ(e.ErrorCode, 1460) << e.Message();  // ERROR_TIMEOUT
  }
  EXPECT_TRUE(port->Active());
}

TEST_F(Win32SerialTest, SystemErrorsCarryTheirCodeAndText) {
  int before = sim.GetProcessPriorityClass();
  port->SetDeviceName("\\\\.\\COM199");
  try {
    port->Open();
    ADD_FAILURE();
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_EQ(e.Message(), serial.ErrorText(2));
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(sim.GetProcessPriorityClass(), before);
  try {
    port->InputCount();
    ADD_FAILURE();
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 6);
  }
  // A pty has no modem lines.
  port->SetDeviceName("\\\\.\\" + name);
  port->Open();
  try {
    port->GetModemStatus();
    ADD_FAILURE();
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 50);
  }
}

}  // namespace
