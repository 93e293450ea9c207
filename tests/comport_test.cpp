// The serial port component over simulated devices on the virtual clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "platform/Scoped.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "serial/Comport.h"
#include "tests/support/PortSetup.h"

namespace {

using platform::SimCall;
using platform::SimErrorCodes;

constexpr const char* kClosed = "Can't perform this operation on a closed port";
constexpr const char* kOpen = "Can't perform this operation on an open port";

struct Handlers : TObject {
  void A(TObject*) {}
  void B(TObject*) {}
};
Handlers handlers, otherHandlers;

// 9600 baud, 8N1: ten bits.
constexpr std::int64_t kCharUs = 1042;

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line = serial.AddDevice("COM5");
    port = std::make_unique<TComPort>(nullptr);
    // The main window's settings.
    port->SetDeviceName("\\\\.\\COM5");
    qvtest::ConfigureBoardLine(*port);
    port->SetPriorityClass(pcRealTime);
  }
  void TearDown() override {
    port.reset();
    EXPECT_EQ(serial.LiveEvents(), 0);
  }
  std::int64_t Now() { return sim.Clock().NowUs(); }

  // Runs f and returns the EComError it raises.
  static EComError Raised(const std::function<void()>& f) {
    try {
      f();
    } catch (const EComError& e) {
      return e;
    }
    ADD_FAILURE() << "no EComError";
    return EComError("", -1);
  }

 public:
  void LineError(TObject*, TLineErrors e) { lineErrors.push_back(e); }

 protected:
  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  std::shared_ptr<platform::SimSerialLine> line;
  std::unique_ptr<TComPort> port;
  std::vector<TLineErrors> lineErrors;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
};

// --- Opening and closing ---

TEST_F(ComPortTest, OpenAppliesTheMainWindowSettingsAndClosingReleasesEverything) {
  int before = sim.GetProcessPriorityClass();
  port->SetActive(true);
  ASSERT_TRUE(port->GetActive());
  EXPECT_TRUE(line->IsOpen());
  EXPECT_EQ(sim.GetProcessPriorityClass(), platform::kRealtimePriorityClass);
  platform::Dcb d = line->CurrentDcb();
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, platform::kNoParity);
  EXPECT_EQ(d.StopBits, platform::kOneStopBit);
  // The device came with DTR and RTS control enabled; both are cleared.
  EXPECT_EQ(d.Flags, platform::kDcbBinary);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.XonLim, 0);
  EXPECT_EQ(d.XoffLim, 0);
  EXPECT_FALSE(line->DTR());
  EXPECT_FALSE(line->RTS());
  EXPECT_EQ(line->InputQueueSize(), 64000u);
  EXPECT_EQ(serial.LiveEvents(), 3);

  port->SetActive(false);
  EXPECT_FALSE(port->GetActive());
  EXPECT_FALSE(line->IsOpen());
  EXPECT_EQ(serial.LiveEvents(), 0);
  EXPECT_EQ(sim.GetProcessPriorityClass(), before);
}

TEST_F(ComPortTest, AFailedOpenLeavesNothingBehind) {
  auto other = std::make_shared<TComPort>(nullptr);
  struct Row {
    const char* what;
    std::function<void()> arrange;
    int code;
  };
  const Row rows[] = {
      {"missing device", [&] { port->SetDeviceName("\\\\.\\COM9"); }, int(SimErrorCodes::NotFound())},
      {"busy device",
       [&] {
         other->SetDeviceName("COM5");
         other->Open();
       },
       int(SimErrorCodes::Busy())},
      {"event", [&] { serial.FailNextEvent(8); }, 8},
      {"queue sizes", [&] { line->FailNext(SimCall::SetupComm, 31); }, 31},
      {"device control block", [&] { line->FailNext(SimCall::SetCommState, 87); }, 87},
      {"time-outs", [&] { line->FailNext(SimCall::GetCommTimeouts, 21); }, 21},
      {"purge", [&] { line->FailNext(SimCall::PurgeComm, 1117); }, 1117},
      {"event mask", [&] { line->FailNext(SimCall::SetCommMask, 1167); }, 1167},
  };
  port->SetOnRxChar(TNotifyEvent(&handlers, &Handlers::A));
  for (const Row& r : rows) {
    port->SetDeviceName("\\\\.\\COM5");
    r.arrange();
    int liveBefore = serial.LiveEvents();
    int priorityBefore = sim.GetProcessPriorityClass();
    EComError e = Raised([&] { port->SetActive(true); });
    EXPECT_EQ(e.ErrorCode, r.code) << r.what;
    EXPECT_EQ(e.Message(), serial.ErrorText(static_cast<std::uint32_t>(r.code))) << r.what;
    EXPECT_FALSE(port->GetActive()) << r.what;
    EXPECT_EQ(serial.LiveEvents(), liveBefore) << r.what;
    EXPECT_EQ(sim.GetProcessPriorityClass(), priorityBefore) << r.what;
    other->Close();
    EXPECT_FALSE(line->IsOpen()) << r.what;
  }
}

TEST_F(ComPortTest, OpenCloseEventsAndLoading) {
  std::vector<std::string> calls;
  struct Recorder : TObject {
    std::vector<std::string>* calls;
    TComPort* port;
    void Before(TCustomComPort*) {
      calls->push_back(std::string("before ") + (port->Active() ? "open" : "closed"));
    }
    void After(TCustomComPort*) {
      calls->push_back(std::string("after ") + (port->Active() ? "open" : "closed"));
    }
  } rec;
  rec.calls = &calls;
  rec.port = port.get();
  port->BeforeOpen = TOpenCloseEvent(&rec, &Recorder::Before);
  port->AfterOpen = TOpenCloseEvent(&rec, &Recorder::After);
  port->BeforeClose = TOpenCloseEvent(&rec, &Recorder::Before);
  port->AfterClose = TOpenCloseEvent(&rec, &Recorder::After);
  port->Open();
  port->Open();
  port->Close();
  port->Close();
  EXPECT_EQ(calls, (std::vector<std::string>{"before closed", "after open", "before open", "after closed"}));

  // While loading, Active is only stored; Loaded applies it.
  port->BeginLoading();
  port->SetActive(true);
  EXPECT_FALSE(line->IsOpen());
  port->EndLoading();
  EXPECT_TRUE(line->IsOpen());
  port->BeforeClose = nullptr;
  port->AfterClose = nullptr;
}

TEST_F(ComPortTest, TheDesignStateNeverTouchesTheDevice) {
  port->SetDesigning(true);
  port->SetActive(true);
  EXPECT_TRUE(port->GetActive());
  EXPECT_FALSE(line->IsOpen());
  EXPECT_TRUE(port->GetModemStatus().Empty());
  port->SetDeviceName("COM7");
  EXPECT_EQ(port->DeviceName(), "COM7");
}

TEST_F(ComPortTest, DestroyingAnOpenPortClosesIt) {
  int before = sim.GetProcessPriorityClass();
  port->Open();
  port.reset();
  EXPECT_FALSE(line->IsOpen());
  EXPECT_EQ(serial.LiveEvents(), 0);
  EXPECT_EQ(sim.GetProcessPriorityClass(), before);
}

// --- The error path ---

TEST_F(ComPortTest, ClosedPortOperationsRaiseWithCodeZero) {
  const std::pair<const char*, std::function<void()>> ops[] = {
      {"SetDTR", [&] { port->SetDTR(); }},
      {"ClearDTR", [&] { port->ClearDTR(); }},
      {"SetRTS", [&] { port->SetRTS(); }},
      {"ClearRTS", [&] { port->ClearRTS(); }},
      {"SetXOn", [&] { port->SetXOn(); }},
      {"SetXOff", [&] { port->SetXOff(); }},
      {"ResetDevice", [&] { port->ResetDevice(); }},
      {"SetBreak", [&] { port->SetBreak(); }},
      {"ClearBreak", [&] { port->ClearBreak(); }},
      {"TransmitChar", [&] { port->TransmitChar('x'); }},
      {"GetModemStatus", [&] { port->GetModemStatus(); }},
      {"CheckLineErrors", [&] { port->CheckLineErrors(); }},
      {"ClearLineErrors", [&] { port->ClearLineErrors(); }},
      {"Read", [&] { port->Read(nullptr, 0, true); }},
      {"Write", [&] { port->Write(nullptr, 0, true); }},
      {"ReadByte", [&] { port->ReadByte(); }},
      {"WriteByte", [&] { port->WriteByte(1); }},
      {"WriteLine", [&] { port->WriteLine("x"); }},
      {"GetCapabilities", [&] { port->GetCapabilities(); }},
      {"GetMaxInput", [&] { port->BufferSizes().GetMaxInput(); }},
  };
  for (const auto& [name, op] : ops) {
    EComError e = Raised(op);
    EXPECT_EQ(e.Message(), kClosed) << name;
    EXPECT_EQ(e.ErrorCode, 0) << name;
  }
  // Purges and Flush do nothing on a closed port.
  port->PurgeInput();
  port->PurgeOutput();
  port->ClearInput();
  port->ClearOutput();
  port->AbortInput();
  port->AbortOutput();
  port->Flush();
  EXPECT_FALSE(port->ReadPending());
  EXPECT_FALSE(port->WritePending());
}

TEST_F(ComPortTest, QueueCountsOnAClosedPortRaiseTheInvalidHandleError) {
  for (auto op : {&TComPort::InputCount, &TComPort::OutputCount}) {
    EComError e = Raised([&] { (port.get()->*op)(); });
    EXPECT_EQ(e.ErrorCode, int(SimErrorCodes::InvalidHandle()));
    EXPECT_EQ(e.Message(), serial.ErrorText(SimErrorCodes::InvalidHandle()));
  }
}

TEST_F(ComPortTest, DriverFailuresWhileOpenCarryTheSystemCodeAndLeaveThePortOpen) {
  port->Open();
  struct Row {
    SimCall call;
    std::function<void()> op;
  };
  const Row rows[] = {
      {SimCall::EscapeCommFunction, [&] { port->SetDTR(); }},
      {SimCall::EscapeCommFunction, [&] { port->ClearRTS(); }},
      {SimCall::GetCommModemStatus, [&] { port->GetModemStatus(); }},
      {SimCall::ClearCommError, [&] { port->InputCount(); }},
      {SimCall::ClearCommError, [&] { port->CheckLineErrors(); }},
      {SimCall::PurgeComm, [&] { port->PurgeInput(); }},
      {SimCall::WriteFile, [&] { port->WriteByte(0xA5); }},
      {SimCall::ReadFile, [&] { port->ReadByte(); }},
      {SimCall::GetCommState, [&] { port->SetBaudRate(br19200); }},
      {SimCall::SetCommState, [&] { port->Characters().SetEvent('\n'); }},
      {SimCall::SetCommTimeouts, [&] { port->Timeouts().SetReadConstant(5); }},
      {SimCall::SetupComm, [&] { port->BufferSizes().SetOutput(512); }},
      {SimCall::GetCommProperties, [&] { port->GetSettableBaudRates(); }},
      {SimCall::Break, [&] { port->SetBreak(); }},
      {SimCall::TransmitCommChar, [&] { port->TransmitChar('x'); }},
      {SimCall::Flush, [&] { port->Flush(); }},
      {SimCall::SetCommMask, [&] { port->SetOnRing(TNotifyEvent(&handlers, &Handlers::B)); }},
  };
  std::uint32_t code = 1000;
  for (const Row& r : rows) {
    line->FailNext(r.call, ++code);
    EComError e = Raised(r.op);
    EXPECT_EQ(e.ErrorCode, int(code));
    EXPECT_EQ(e.Message(), serial.ErrorText(code));
    EXPECT_TRUE(port->Active());
  }
  // After the failed write the next one goes through.
  port->WriteByte(0x11);
  sim.Clock().SleepMs(2);
  ASSERT_EQ(line->ReceivedBytes().size(), 1u);
  EXPECT_EQ(line->ReceivedBytes()[0].Byte, 0x11);
}

struct ErrorSink : TObject {
  TComAction set = caFail;
  std::vector<std::pair<std::string, int>> seen;
  void Handle(TCustomComPort*, EComError& e, TComAction& action) {
    EXPECT_EQ(action, caFail);
    seen.emplace_back(e.Message(), e.ErrorCode);
    action = set;
  }
};

TEST_F(ComPortTest, OnErrorSeesEveryErrorAndDecidesBetweenTheErrorAndTheSilentAbort) {
  ErrorSink sink;
  port->OnError = TComErrorEvent(&sink, &ErrorSink::Handle);
  sink.set = caAbort;
  EXPECT_THROW(port->SetDTR(), EAbort);
  port->SetDeviceName("COM9");
  EXPECT_THROW(port->Open(), EAbort);
  sink.set = caFail;
  EXPECT_THROW(port->SetDTR(), EComError);
  ASSERT_EQ(sink.seen.size(), 3u);
  EXPECT_EQ(sink.seen[0], std::make_pair(std::string(kClosed), 0));
  EXPECT_EQ(sink.seen[1],
            std::make_pair(serial.ErrorText(SimErrorCodes::NotFound()), int(SimErrorCodes::NotFound())));
  EXPECT_EQ(sink.seen[2], std::make_pair(std::string(kClosed), 0));
}

TEST_F(ComPortTest, SettingsThatNeedAClosedPort) {
  port->Open();
  port->SetDeviceName("\\\\.\\COM5");  // the same name changes nothing
  EXPECT_EQ(Raised([&] { port->SetDeviceName("\\\\.\\COM6"); }).Message(), kOpen);
  EXPECT_EQ(port->DeviceName(), "\\\\.\\COM5");
  EXPECT_EQ(Raised([&] { port->SetPriorityClass(pcHigh); }).Message(), kOpen);
  EXPECT_EQ(port->PriorityClass(), pcRealTime);
  EXPECT_EQ(Raised([&] { port->SetSynchronizeEvents(false); }).Message(), kOpen);
  EXPECT_TRUE(port->SynchronizeEvents());
  port->Close();
  port->SetDeviceName("COM6");
  EXPECT_EQ(port->DeviceName(), "COM6");
}

// --- Settings ---

TEST_F(ComPortTest, CopyDcbMapsThePropertiesOntoTheBlock) {
  struct Row {
    TBaudRate rate;
    TDataBits bits;
    std::uint32_t wantRate;
    int wantSize;
  };
  for (Row r : {Row{br134_5, db16x, 134, 16}, Row{br134_5, db16, 134, 16}, Row{br256000, db4, 256000, 4},
                Row{brDefault, dbDefault, 4711, 7}}) {
    TComPort p(nullptr);
    p.SetBaudRate(r.rate);
    p.SetDataBits(r.bits);
    platform::Dcb d;
    d.BaudRate = 4711;
    d.ByteSize = 7;
    d.Flags = 0xFFFF;  // every option bit set by the driver
    p.CopyDCB(d, true);
    EXPECT_EQ(d.BaudRate, r.wantRate);
    EXPECT_EQ(d.ByteSize, r.wantSize);
    // Defaults leave DTR, RTS and XON/XOFF alone; options are all cleared.
    EXPECT_EQ(d.Flags, 0xFFFFu & ~0x4CCEu);
  }
  TComPort p(nullptr);
  p.SetOptions({opCheckParity, opAbortOnError});
  p.FlowControl().SetRTS(rcToggle);
  p.FlowControl().SetDTR(dcHandshake);
  p.FlowControl().SetXOnXOff(xcInput);
  platform::Dcb d;
  p.CopyDCB(d, true);
  EXPECT_EQ(d.Flags, platform::kDcbBinary | platform::kDcbParity | platform::kDcbAbortOnError |
                         platform::kDcbRtsControlToggle | platform::kDcbDtrControlHandshake |
                         platform::kDcbInX);
}

TEST_F(ComPortTest, CopyDcbBackReadsSharedCodesAsTheDefaultMember) {
  TComPort p(nullptr);
  platform::Dcb d;
  d.BaudRate = 19200;
  d.ByteSize = 16;
  d.Parity = platform::kNoParity;
  d.StopBits = platform::kTwoStopBits;
  d.Flags = platform::kDcbDtrControlEnable | platform::kDcbOutX | platform::kDcbNull;
  d.XonChar = 1;
  d.XoffLim = 9;
  p.CopyDCB(d, false);
  EXPECT_EQ(p.BaudRate(), brCustom);
  EXPECT_EQ(p.CustomBaudRate(), 19200);
  EXPECT_EQ(p.DataBits(), db16);
  EXPECT_EQ(p.Parity(), paDefault);
  EXPECT_EQ(p.StopBits(), sb2);
  EXPECT_EQ(p.FlowControl().DTR(), dcEnable);
  EXPECT_EQ(p.FlowControl().RTS(), rcDefault);
  EXPECT_EQ(p.FlowControl().XOnXOff(), xcOutput);
  EXPECT_EQ(p.Options(), TOptions({opDiscardNullBytes}));
  EXPECT_EQ(p.Characters().XOn(), 1);
  EXPECT_EQ(p.FlowControl().XOffLimit(), 9);
}

TEST_F(ComPortTest, CustomBaudRate) {
  EXPECT_EQ(port->CustomBaudRate(), 9600);
  port->SetCustomBaudRate(0);  // the stored custom value: nothing happens
  EXPECT_EQ(port->BaudRate(), br9600);
  EXPECT_FALSE(port->StoredCustomBaudRate());
  port->Open();
  port->SetCustomBaudRate(31250);
  EXPECT_EQ(port->BaudRate(), brCustom);
  EXPECT_EQ(line->CurrentDcb().BaudRate, 31250u);
  port->SetBaudRate(br19200);
  EXPECT_EQ(line->CurrentDcb().BaudRate, 19200u);
  port->SetCustomBaudRate(31250);
  EXPECT_EQ(port->BaudRate(), br19200);
}

TEST_F(ComPortTest, QueueSizesOfMinusOneAreNotRequested) {
  port->BufferSizes().SetInput(-1);
  line->FailNext(SimCall::SetupComm, 31);
  port->Open();
  EXPECT_TRUE(port->Active());
  EXPECT_EQ(line->InputQueueSize(), 4096u);
}

TEST_F(ComPortTest, SettingsObjectsApplyAtOnceAndAssignCopies) {
  port->Open();
  TComPort other(nullptr);
  other.Timeouts().SetReadInterval(7);
  other.Timeouts().SetWriteConstant(9);
  other.Characters().SetEof('Z');
  other.FlowControl().SetXOnLimit(100);
  port->SetTimeouts(other.Timeouts());
  port->SetCharacters(other.Characters());
  port->SetFlowControl(other.FlowControl());
  EXPECT_EQ(line->CurrentTimeouts().ReadIntervalTimeout, 7u);
  EXPECT_EQ(line->CurrentTimeouts().WriteTotalTimeoutConstant, 9u);
  EXPECT_EQ(line->CurrentDcb().EofChar, 'Z');
  EXPECT_EQ(line->CurrentDcb().XonLim, 100);
  // other's defaults came along too.
  EXPECT_EQ(port->FlowControl().DTR(), dcDefault);
  EXPECT_EQ(&port->Timeouts().ComPort()->Timeouts(), &port->Timeouts());
}

TEST_F(ComPortTest, AssigningDriverEventsRecomputesTheMask) {
  port->Open();
  EXPECT_EQ(line->EventMask(), 0u);
  port->SetOnLineError(TLineErrorEvent(this, &ComPortTest::LineError));
  EXPECT_EQ(line->EventMask(), platform::kEvErr);
  port->SetOnDSRChange(TNotifyEvent(&handlers, &Handlers::B));
  port->SetOnCTSChange(TNotifyEvent(&handlers, &Handlers::A));
  EXPECT_EQ(line->EventMask(), platform::kEvErr | platform::kEvDsr | platform::kEvCts);
  // Another object with the same function is ignored.
  line->FailNext(SimCall::SetCommMask, 5);
  port->SetOnDSRChange(TNotifyEvent(&otherHandlers, &Handlers::B));
  EXPECT_EQ(port->OnDSRChange().Data(), &handlers);
  EXPECT_EQ(Raised([&] { port->SetOnRxFlag(TNotifyEvent(&handlers, &Handlers::A)); }).ErrorCode, 5);
  port->SetOnRxFlag(nullptr);
  port->SetOnDSRChange(nullptr);
  port->SetOnCTSChange(nullptr);
  port->SetOnLineError(nullptr);
  EXPECT_EQ(line->EventMask(), 0u);
}

// --- Line control ---

TEST_F(ComPortTest, ModemLinesBothWays) {
  port->Open();
  port->SetDTR();
  port->SetRTS();
  EXPECT_TRUE(line->DTR());
  EXPECT_TRUE(line->RTS());
  port->ClearDTR();
  EXPECT_FALSE(line->DTR());
  port->SetBreak();
  EXPECT_TRUE(line->InBreak());
  port->ClearBreak();
  EXPECT_FALSE(line->InBreak());
  EXPECT_TRUE(port->GetModemStatus().Empty());
  line->SetDSR(true);
  line->SetCTS(true);
  line->SetRLSD(true);
  EXPECT_EQ(port->ModemStatus(), TModemStatus({msCTS, msDSR, msRLSD}));
  line->SetDSR(false);
  line->SetRing(true);
  EXPECT_EQ(port->GetModemStatus(), TModemStatus({msCTS, msRing, msRLSD}));
}

TEST_F(ComPortTest, Capabilities) {
  port->Open();
  TBaudRates rates = port->GetSettableBaudRates();
  for (TBaudRate r : {br75, br134_5, br9600, br57600, br115200, br128000, brCustom})
    EXPECT_TRUE(rates.Contains(r));
  for (TBaudRate r : {br50, br2000, br3600, br10400, br15625, br28800, br256000})
    EXPECT_FALSE(rates.Contains(r));
  EXPECT_EQ(port->GetMaxBaudRate(), brCustom);
  EXPECT_EQ(port->GetSettableDataBits(), TSettableDataBits({db5, db6, db7, db8}));
  EXPECT_EQ(port->GetSettableStopBits(), TSettableStopBits({sb1, sb1_5, sb2}));
  EXPECT_EQ(port->GetSettableParity(), TSettableParity({paNone, paOdd, paEven, paMark, paSpace}));
  EXPECT_TRUE(port->GetCapabilities().Contains(caDtrDsr));
  EXPECT_FALSE(port->GetCapabilities().Contains(ca16BitMode));
  EXPECT_TRUE(port->GetSettableParameters().Contains(spRLSD));
  EXPECT_EQ(port->BufferSizes().GetCurrentInput(), 64000);
}

TEST_F(ComPortTest, ShortDeviceNameAndTheDialogs) {
  EXPECT_EQ(port->ShortDeviceName(), "COM5");
  port->SetDeviceName("COM\\\\.\\5");
  EXPECT_EQ(port->ShortDeviceName(), "COM\\\\.\\5");
  // The simulated system has no configuration dialog.
  EXPECT_FALSE(port->ConfigDialog());
  EXPECT_FALSE(port->DefaultConfigDialog());
  EXPECT_EQ(port->BaudRate(), br9600);
  port->SetAbout("x");
  EXPECT_FALSE(port->About().empty());
  EXPECT_NE(port->About(), "x");
}

// --- Transfers ---

TEST_F(ComPortTest, WriteByteReturnsAtOnceAndStaysPendingUntilTheByteHasLeft) {
  port->Open();
  port->WriteByte(0xA5);
  EXPECT_EQ(Now(), 0);
  EXPECT_TRUE(port->WritePending());
  EXPECT_EQ(port->OutputCount(), 1);
  sim.Clock().SleepMs(1);
  EXPECT_TRUE(port->WritePending());
  static_cast<platform::VirtualClock&>(sim.Clock()).AdvanceTo(kCharUs);
  EXPECT_FALSE(port->WritePending());
  EXPECT_EQ(port->OutputCount(), 0);
  // A second byte right after the first: the call waits for the first.
  port->WriteByte(1);
  port->WriteByte(2);
  EXPECT_EQ(Now(), 2 * kCharUs);
  port->WaitForWriteCompletion();
  auto got = line->ReceivedBytes();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].AtUs, kCharUs);
  EXPECT_EQ(got[1].AtUs, 2 * kCharUs);
  EXPECT_EQ(got[2].AtUs, 3 * kCharUs);
  EXPECT_EQ(got[2].Byte, 2);
}

TEST_F(ComPortTest, ReadByteTakesTheOldestByteOrWaitsForOne) {
  port->Open();
  line->Send({7, 8});
  sim.Clock().SleepMs(5);
  ASSERT_EQ(port->InputCount(), 2);
  std::int64_t t = Now();
  EXPECT_EQ(port->ReadByte(), 7);
  EXPECT_EQ(Now(), t);
  EXPECT_EQ(port->ReadByte(), 8);
  // Nothing there: the read waits until a byte arrives.
  sim.Clock().Schedule(20'000, [this] { line->Send({9}); });
  EXPECT_EQ(port->ReadByte(), 9);
  EXPECT_EQ(Now(), 20'000 + kCharUs);
}

TEST_F(ComPortTest, ZeroLengthTransfersFinishThePreviousOneAndCallTheEvents) {
  struct Rec : TObject {
    std::vector<std::string> calls;
    void Before(TObject*, const void*, int n, bool w) {
      calls.push_back("before " + std::to_string(n) + (w ? " w" : ""));
    }
    void After(TObject*, const void*, int n, bool w) {
      calls.push_back("after " + std::to_string(n) + (w ? " w" : ""));
    }
  } rec;
  port->BeforeWrite = TReadWriteEvent(&rec, &Rec::Before);
  port->AfterWrite = TReadWriteEvent(&rec, &Rec::After);
  port->BeforeRead = TReadWriteEvent(&rec, &Rec::Before);
  port->AfterRead = TReadWriteEvent(&rec, &Rec::After);
  port->Open();
  port->WriteByte(1);
  port->Write(nullptr, 0, false);
  EXPECT_EQ(Now(), kCharUs);
  EXPECT_FALSE(port->WritePending());
  port->Read(nullptr, 0, true);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"before 1", "after 1", "before 0", "after 0", "before 0 w",
                                                 "after 0 w"}));
}

TEST_F(ComPortTest, LineErrorsAreReportedByTheQueueCountsAndThenCleared) {
  port->Open();
  port->SetOnLineError(TLineErrorEvent(this, &ComPortTest::LineError));
  std::uint8_t b = 0x55;
  line->Send(&b, 1, platform::kCeFrame);
  sim.Clock().SleepMs(2);
  EXPECT_EQ(port->InputCount(), 1);
  ASSERT_EQ(lineErrors.size(), 1u);
  EXPECT_EQ(lineErrors[0], TLineErrors({leFrame}));
  EXPECT_EQ(port->InputCount(), 1);
  EXPECT_EQ(lineErrors.size(), 1u);
  // A queue overflow.
  port->Close();
  port->BufferSizes().SetInput(4);
  port->Open();
  line->Send({1, 2, 3, 4, 5, 6});
  sim.Clock().SleepMs(10);
  EXPECT_EQ(port->InputCount(), 4);
  ASSERT_EQ(lineErrors.size(), 2u);
  EXPECT_EQ(lineErrors[1], TLineErrors({leRxOverflow}));
  line->InjectErrors(platform::kCeBreak | platform::kCeOverrun | platform::kCeRxParity);
  port->CheckLineErrors();
  EXPECT_EQ(lineErrors.back(), TLineErrors({leBreak, leOverrun, leParity}));
  line->InjectErrors(platform::kCeTxFull);
  port->ClearLineErrors();
  port->CheckLineErrors();
  EXPECT_EQ(lineErrors.size(), 3u);
}

TEST_F(ComPortTest, AHandlerThatClosesThePortInsideATransferGivesAClosedPortError) {
  // Each handler that a read or write calls out to closes the port, as the
  // main window's line error handler does. The transfer must then end with
  // the closed-port error through OnError, not go on with the device.
  struct Closer : TObject {
    TComPort* port = nullptr;
    std::vector<std::string> errors;
    void Close(TObject*, const void*, int, bool) { port->Close(); }
    void LineError(TObject*, TLineErrors) { port->Close(); }
    void Error(TCustomComPort*, EComError& e, TComAction&) { errors.push_back(e.Message()); }
  };
  struct Row {
    const char* name;
    std::function<void(TComPort&, Closer&)> arm;
    std::function<void(TComPort&)> transfer;
  };
  auto frameError = [this] { line->InjectErrors(platform::kCeFrame); };
  const Row rows[] = {
      {"BeforeRead", [](TComPort& p, Closer& c) { p.BeforeRead = TReadWriteEvent(&c, &Closer::Close); },
       [](TComPort& p) { p.ReadByte(); }},
      {"BeforeWrite", [](TComPort& p, Closer& c) { p.BeforeWrite = TReadWriteEvent(&c, &Closer::Close); },
       [](TComPort& p) { p.WriteByte(1); }},
      // The line error found while the previous write is completed.
      {"line error before a write",
       [&](TComPort& p, Closer& c) {
         p.WriteByte(1);
         p.SetOnLineError(TLineErrorEvent(&c, &Closer::LineError));
         frameError();
       },
       [](TComPort& p) { p.WriteByte(2); }},
      {"line error before a read",
       [&](TComPort& p, Closer& c) {
         p.SetOnLineError(TLineErrorEvent(&c, &Closer::LineError));
         frameError();
       },
       [](TComPort& p) { p.ReadByte(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Closer closer;
    closer.port = port.get();
    port->Open();
    port->OnError = TComErrorEvent(&closer, &Closer::Error);
    row.arm(*port, closer);
    EComError e = Raised([&] { row.transfer(*port); });
    EXPECT_EQ(e.Message(), kClosed);
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(closer.errors, (std::vector<std::string>{kClosed}));
    EXPECT_FALSE(port->Active());
    EXPECT_FALSE(line->IsOpen());
    port->BeforeRead = nullptr;
    port->BeforeWrite = nullptr;
    port->OnError = nullptr;
    port->SetOnLineError(nullptr);
  }
}

TEST_F(ComPortTest, GetLineErrorsDecodesEveryFlag) {
  const std::pair<unsigned, TLineError> rows[] = {{0x10, leBreak},     {0x800, leDeviceNotSelected},
                                                  {0x8, leFrame},      {0x400, leIO},
                                                  {0x8000, leMode},    {0x1000, leOutOfPaper},
                                                  {0x2, leOverrun},    {0x200, leDeviceTimeOut},
                                                  {0x1, leRxOverflow}, {0x4, leParity},
                                                  {0x100, leTxFull}};
  for (const auto& [flag, member] : rows)
    EXPECT_EQ(TComPort::GetLineErrors(flag), TLineErrors({member})) << flag;
  EXPECT_TRUE(TComPort::GetLineErrors(0x60E0).Empty());
}

TEST_F(ComPortTest, AShortReadRaisesTimeoutAndLeavesThePortOpen) {
  port->Timeouts().SetReadConstant(10);
  port->Open();
  line->Send({0x31});
  EComError e = Raised([&] { port->ReadWord(); });
  EXPECT_EQ(e.Message(), "Timeout");
  EXPECT_EQ(e.ErrorCode, 0);
  EXPECT_EQ(Now(), 10'000);
  EXPECT_TRUE(port->Active());
}

TEST_F(ComPortTest, TypedWritesAndReads) {
  port->Open();
  port->WriteWord(0x1234);
  port->WriteDWord(0xA1B2C3D4);
  port->WriteLine("ok");
  port->WriteUtf8(L"\u00e4\u20ac");
  port->WriteBytes(TBytes{9, 8, 7, 6}, 1, 2);
  port->WaitForWriteCompletion();
  TBytes sent;
  for (const auto& r : line->TakeReceived()) sent.push_back(r.Byte);
  EXPECT_EQ(sent,
            (TBytes{0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 'o', 'k', 13, 0xC3, 0xA4, 0xE2, 0x82, 0xAC, 8, 7}));

  line->Send(sent);
  EXPECT_EQ(port->ReadWord(), 0x1234);
  EXPECT_EQ(port->ReadDWord(), 0xA1B2C3D4u);
  EXPECT_EQ(port->ReadLine(), "ok\r");
  EXPECT_EQ(port->ReadUntilUtf8(0xAC), L"\u00e4\u20ac");
  EXPECT_EQ(port->ReadUntil(""), "");
  EXPECT_EQ(port->InputCount(), 0);  // nothing arrived yet: 8 and 7 are still on the line
  sim.Clock().SleepMs(5);
  TBytes buf(4, 0);
  port->ReadBytes(buf, 2, 2);
  EXPECT_EQ(buf, (TBytes{0, 0, 8, 7}));

  line->Send({'a', 'b', 'x', 'y', 'z'});
  EXPECT_EQ(port->ReadUntil("yz"), "abxyz");
  line->Send({1, 2, 3});
  sim.Clock().SleepMs(5);
  EXPECT_EQ(port->ReadBytes(), (TBytes{1, 2, 3}));
  line->Send({'h', 'i'});
  sim.Clock().SleepMs(5);
  EXPECT_EQ(port->ReadString(), "hi");
  EXPECT_EQ(port->ReadString(), "");
}

TEST_F(ComPortTest, BadIndexOrCountIsAnIncorrectParameter) {
  port->Open();
  TBytes buf(4, 0);
  struct Row {
    int index, count;
  };
  for (Row r : {Row{2, 3}, Row{-1, 1}, Row{0, -1}, Row{5, 0}, Row{1, 0x7FFFFFFF}}) {
    for (bool write : {false, true}) {
      EComError e = Raised([&] {
        if (write)
          port->WriteBytes(buf, r.index, r.count);
        else
          port->ReadBytes(buf, r.index, r.count);
      });
      EXPECT_EQ(e.Message(), "Incorrect parameter") << r.index << " " << r.count;
      EXPECT_EQ(e.ErrorCode, 0);
    }
  }
  EXPECT_TRUE(line->ReceivedBytes().empty());
}

TEST_F(ComPortTest, PurgesAndTransmitChar) {
  port->Open();
  line->Send({1, 2, 3});
  sim.Clock().SleepMs(5);
  port->PurgeInput();
  EXPECT_EQ(port->InputCount(), 0);
  port->WriteString("abcd");
  port->TransmitChar('!');
  sim.Clock().SleepMs(2);  // 'a' has left, '!' is on the line
  port->ClearOutput();
  EXPECT_FALSE(port->WritePending());
  EXPECT_EQ(port->OutputCount(), 0);
  sim.Clock().SleepMs(10);
  std::string got;
  for (const auto& r : line->TakeReceived()) got += static_cast<char>(r.Byte);
  EXPECT_EQ(got, "a!");
  port->WriteString("xy");
  port->Flush();
  EXPECT_EQ(line->ReceivedBytes().size(), 2u);
  EXPECT_EQ(Now(), 17'000 + 2 * kCharUs);
}

TEST_F(ComPortTest, AnUnpluggedDeviceFailsEveryCall) {
  port->Open();
  port->WriteByte(1);
  line->Unplug();
  for (const std::function<void()>& op : std::vector<std::function<void()>>{
           [&] { port->WaitForWriteCompletion(); }, [&] { port->InputCount(); }, [&] { port->WriteByte(2); },
           [&] { port->SetDTR(); }, [&] { port->GetModemStatus(); }, [&] { port->PurgeInput(); }}) {
    EXPECT_EQ(Raised(op).ErrorCode, int(SimErrorCodes::Removed()));
  }
  port->Close();
  EXPECT_EQ(Raised([&] { port->Open(); }).ErrorCode, int(SimErrorCodes::NotFound()));
  line->Replug();
  port->Open();
  EXPECT_TRUE(port->Active());
}

// --- The log ---

TEST_F(ComPortTest, TheLogFile) {
  auto path =
      std::filesystem::temp_directory_path() / ("qv_comport_log_" + std::to_string(::getpid()) + ".txt");
  std::filesystem::remove(path);
  port->SetLogFile(path.string());
  port->Open();
  port->WriteByte(0xA5);
  port->WriteBytes(TBytes{0x00, 0x0F, 0xFF});
  port->WaitForWriteCompletion();
  line->Send({0x42});
  port->ReadByte();
  port->Close();
  port->SetLogFile("");
  port->Open();
  port->WriteByte(1);
  port->Close();
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  in.close();
  std::filesystem::remove(path);
  const std::string stamp = R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )";
  const std::vector<std::string> want = {"Open \\\\\\\\\\.\\\\COM5$",
                                         "Write request \\$A5$",
                                         "Write complete \\$A5$",
                                         "Write request \\$00, \\$0F, \\$FF$",
                                         "Write complete \\$00, \\$0F, \\$FF$",
                                         "Read request 1 byte\\(s\\)$",
                                         "Read complete \\$42$",
                                         "Close \\\\\\\\\\.\\\\COM5$"};
  ASSERT_EQ(lines.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_TRUE(std::regex_search(lines[i], std::regex(stamp + want[i]))) << lines[i];

  port->SetLogFile((path / "no" / "such").string());
  EXPECT_THROW(port->WriteLog("x", nullptr, 0), EInOutError);
}

}  // namespace
