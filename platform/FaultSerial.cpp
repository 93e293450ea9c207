#include "platform/FaultSerial.h"

namespace platform {

namespace {

constexpr const char* kOpNames[kSerialOpCount] = {"Open",
                                                  "NewEvent",
                                                  "GetCommState",
                                                  "SetCommState",
                                                  "SetupComm",
                                                  "GetCommTimeouts",
                                                  "SetCommTimeouts",
                                                  "PurgeComm",
                                                  "FlushBuffers",
                                                  "EscapeCommFunction",
                                                  "SetCommBreak",
                                                  "ClearCommBreak",
                                                  "TransmitCommChar",
                                                  "GetCommModemStatus",
                                                  "ClearCommError",
                                                  "GetCommProperties",
                                                  "ReadFile",
                                                  "WriteFile",
                                                  "GetReadResult",
                                                  "GetWriteResult",
                                                  "SetCommMask",
                                                  "GetCommMask",
                                                  "WaitCommEvent",
                                                  "GetWaitResult"};

}  // namespace

const char* SerialOpName(SerialOp op) { return kOpNames[static_cast<int>(op)]; }

bool ParseSerialOp(const std::string& name, SerialOp& op) {
  for (int i = 0; i < kSerialOpCount; ++i)
    if (name == kOpNames[i]) {
      op = static_cast<SerialOp>(i);
      return true;
    }
  return false;
}

// ---------------------------------------------------------------------------

class FaultSerialDevice final : public ISerialDevice {
 public:
  FaultSerialDevice(FaultSerialSystem& sys, std::unique_ptr<ISerialDevice> inner)
      : sys_(sys), inner_(std::move(inner)) {
    std::lock_guard<std::mutex> lock(sys_.mu_);
    sys_.devices_.insert(this);
  }
  ~FaultSerialDevice() override {
    {
      std::lock_guard<std::mutex> lock(sys_.mu_);
      sys_.devices_.erase(this);
    }
    inner_.reset();
  }

  bool GetCommState(Dcb& dcb) override {
    return Pass(SerialOp::GetCommState, [&] { return inner_->GetCommState(dcb); });
  }
  bool SetCommState(const Dcb& dcb) override {
    return Pass(SerialOp::SetCommState, [&] { return inner_->SetCommState(dcb); });
  }
  bool SetupComm(std::uint32_t in, std::uint32_t out) override {
    return Pass(SerialOp::SetupComm, [&] { return inner_->SetupComm(in, out); });
  }
  bool GetCommTimeouts(CommTimeouts& t) override {
    return Pass(SerialOp::GetCommTimeouts, [&] { return inner_->GetCommTimeouts(t); });
  }
  bool SetCommTimeouts(const CommTimeouts& t) override {
    return Pass(SerialOp::SetCommTimeouts, [&] { return inner_->SetCommTimeouts(t); });
  }
  bool PurgeComm(std::uint32_t flags) override {
    return Pass(SerialOp::PurgeComm, [&] { return inner_->PurgeComm(flags); });
  }
  bool FlushBuffers() override {
    return Pass(SerialOp::FlushBuffers, [&] { return inner_->FlushBuffers(); });
  }
  bool EscapeCommFunction(std::uint32_t code) override {
    return Pass(SerialOp::EscapeCommFunction, [&] { return inner_->EscapeCommFunction(code); });
  }
  bool SetCommBreak() override {
    return Pass(SerialOp::SetCommBreak, [&] { return inner_->SetCommBreak(); });
  }
  bool ClearCommBreak() override {
    return Pass(SerialOp::ClearCommBreak, [&] { return inner_->ClearCommBreak(); });
  }
  bool TransmitCommChar(char c) override {
    return Pass(SerialOp::TransmitCommChar, [&] { return inner_->TransmitCommChar(c); });
  }
  bool GetCommModemStatus(std::uint32_t& status) override {
    return Pass(SerialOp::GetCommModemStatus, [&] { return inner_->GetCommModemStatus(status); });
  }
  bool ClearCommError(std::uint32_t& errors, CommQueues* queues) override {
    return Pass(SerialOp::ClearCommError, [&] { return inner_->ClearCommError(errors, queues); });
  }
  bool GetCommProperties(CommProp& prop) override {
    return Pass(SerialOp::GetCommProperties, [&] { return inner_->GetCommProperties(prop); });
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    if (!sys_.Enter(SerialOp::ReadFile)) return false;
    bool ok = inner_->ReadFile(buffer, length, transferred, done);
    return AfterStart(ok, kPurgeRxAbort, SerialOp::ReadFile);
  }
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    if (!sys_.Enter(SerialOp::WriteFile)) return false;
    bool ok = inner_->WriteFile(buffer, length, transferred, done);
    return AfterStart(ok, kPurgeTxAbort, SerialOp::WriteFile);
  }
  bool GetReadResult(std::uint32_t& transferred, bool wait) override {
    return Result(SerialOp::GetReadResult, kPurgeRxAbort, transferred, wait);
  }
  bool GetWriteResult(std::uint32_t& transferred, bool wait) override {
    return Result(SerialOp::GetWriteResult, kPurgeTxAbort, transferred, wait);
  }
  bool SetCommMask(std::uint32_t mask) override {
    return Pass(SerialOp::SetCommMask, [&] { return inner_->SetCommMask(mask); });
  }
  bool GetCommMask(std::uint32_t& mask) override {
    return Pass(SerialOp::GetCommMask, [&] { return inner_->GetCommMask(mask); });
  }
  bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) override {
    if (!sys_.Enter(SerialOp::WaitCommEvent)) return false;
    bool ok = inner_->WaitCommEvent(eventMask, done);
    // The device may have vanished while this wait was being started, after
    // the vanish had ended the waits it found: end this one as well, or it
    // would wait for ever on a device that has gone.
    if (!ok && sys_.Vanished() && sys_.LastError() == kErrorIoPending) {
      inner_->SetCommMask(0);
      sys_.SetLastError(kErrorIoPending);
    }
    return ok;
  }
  bool GetWaitResult() override {
    if (!sys_.Enter(SerialOp::GetWaitResult)) {
      // The wrapped driver's outcome of that wait is collected all the same.
      std::uint32_t code = sys_.LastError();
      inner_->GetWaitResult();
      return sys_.Fail(code);
    }
    return inner_->GetWaitResult();
  }

  // The device goes away under its users: the pending wait ends with an
  // empty mask word, pending transfers end with a failure. Called with the
  // system's lock held; the wrapped driver never calls back.
  void VanishLocked() {
    inner_->SetCommMask(0);
    inner_->PurgeComm(kPurgeRxAbort | kPurgeTxAbort);
  }

 private:
  template <class F>
  bool Pass(SerialOp op, F&& call) {
    if (!sys_.Enter(op)) return false;
    return call();
  }

  // A transfer started while the device vanished must not outlive it.
  bool AfterStart(bool ok, std::uint32_t abortFlag, SerialOp op) {
    if (!sys_.Vanished()) return ok;
    std::uint32_t ignored = 0;
    inner_->PurgeComm(abortFlag);
    if (abortFlag == kPurgeRxAbort)
      inner_->GetReadResult(ignored, true);
    else
      inner_->GetWriteResult(ignored, true);
    return sys_.Fail(sys_.GoneCode(op));
  }

  bool Result(SerialOp op, std::uint32_t abortFlag, std::uint32_t& transferred, bool wait) {
    if (!sys_.Enter(op)) {
      // The transfer has ended with the failure: the wrapped driver's one
      // is ended too, and its result collected.
      std::uint32_t code = sys_.LastError();
      std::uint32_t ignored = 0;
      inner_->PurgeComm(abortFlag);
      if (op == SerialOp::GetReadResult)
        inner_->GetReadResult(ignored, true);
      else
        inner_->GetWriteResult(ignored, true);
      return sys_.Fail(code);
    }
    bool ok = op == SerialOp::GetReadResult ? inner_->GetReadResult(transferred, wait)
                                            : inner_->GetWriteResult(transferred, wait);
    // Vanished while it waited.
    if (sys_.Vanished()) return sys_.Fail(sys_.GoneCode(op));
    return ok;
  }

  FaultSerialSystem& sys_;
  std::unique_ptr<ISerialDevice> inner_;
};

// ---------------------------------------------------------------------------

FaultSerialSystem::FaultSerialSystem(ISerialSystem& inner, ErrorFlavour flavour)
    : inner_(inner), flavour_(flavour) {}

FaultSerialSystem::~FaultSerialSystem() = default;

void FaultSerialSystem::FailAt(SerialOp op, int k, std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.push_back({op, k, code});
}

void FaultSerialSystem::VanishAt(int k) {
  std::lock_guard<std::mutex> lock(mu_);
  vanishAt_ = k;
}

void FaultSerialSystem::VanishAt(SerialOp op, int k) {
  std::lock_guard<std::mutex> lock(mu_);
  vanishOp_ = op;
  vanishOpAt_ = k;
}

void FaultSerialSystem::Vanish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (vanished_.exchange(true)) return;
  for (FaultSerialDevice* d : devices_) d->VanishLocked();
}

bool FaultSerialSystem::Fail(std::uint32_t code) {
  inner_.SetLastError(code);
  return false;
}

std::uint32_t FaultSerialSystem::GoneCode(SerialOp op) const {
  const FlavourCodes& c = CodesOf(flavour_);
  switch (op) {
    case SerialOp::Open:
      return c.NotFound;
    case SerialOp::WaitCommEvent:
    case SerialOp::GetWaitResult:
      return c.RemovedWait;
    case SerialOp::ReadFile:
    case SerialOp::WriteFile:
    case SerialOp::GetReadResult:
    case SerialOp::GetWriteResult:
      return c.RemovedIo;
    default:
      return c.Removed;
  }
}

bool FaultSerialSystem::Enter(SerialOp op) {
  int n = ++calls_[static_cast<std::size_t>(op)];
  int total = op == SerialOp::NewEvent ? 0 : ++deviceCalls_;
  bool vanish = false;
  std::uint32_t code = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (op != SerialOp::NewEvent &&
        ((vanishAt_ > 0 && total == vanishAt_) || (vanishOpAt_ > 0 && op == vanishOp_ && n == vanishOpAt_)))
      vanish = true;
    for (const Fault& f : faults_)
      if (f.op == op && f.k == n) code = f.code;
  }
  if (vanish) Vanish();
  if (op != SerialOp::NewEvent && vanished_) return Fail(GoneCode(op));
  if (code != 0) return Fail(code);
  return true;
}

std::unique_ptr<ISerialDevice> FaultSerialSystem::Open(const std::string& name) {
  if (!Enter(SerialOp::Open)) return nullptr;
  std::unique_ptr<ISerialDevice> inner = inner_.Open(name);
  if (!inner) return nullptr;
  return std::make_unique<FaultSerialDevice>(*this, std::move(inner));
}

std::unique_ptr<ISerialEvent> FaultSerialSystem::NewEvent(bool manualReset, bool initiallySet) {
  if (!Enter(SerialOp::NewEvent)) return nullptr;
  return inner_.NewEvent(manualReset, initiallySet);
}

}  // namespace platform
