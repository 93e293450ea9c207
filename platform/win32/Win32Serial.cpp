#include "platform/win32/Win32Serial.h"

#include <windows.h>

#include <cstring>

namespace platform {

namespace {

static_assert(sizeof(DCB) == sizeof(Dcb));
static_assert(sizeof(COMMPROP) == sizeof(CommProp));

class Win32Event final : public ISerialEvent {
 public:
  explicit Win32Event(HANDLE h) : h_(h) {}
  ~Win32Event() override { CloseHandle(h_); }
  bool Set() override { return SetEvent(h_) != FALSE; }
  bool Reset() override { return ResetEvent(h_) != FALSE; }
  bool Wait(int timeoutMs) override {
    return WaitForSingleObject(h_, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
  }
  HANDLE Handle() const { return h_; }

 private:
  HANDLE h_;
};

// The ways Windows drivers (and Wine) tell a wait that its USB serial
// device has gone: all of them become the one device-gone code, access
// denied, on which the port closes itself.
void MapDeviceGone() {
  switch (GetLastError()) {
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case 433:  // ERROR_NO_SUCH_DEVICE, not in every SDK's headers
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      SetLastError(ERROR_ACCESS_DENIED);
      break;
    default:
      break;
  }
}

HANDLE EventHandle(ISerialEvent& e) { return static_cast<Win32Event&>(e).Handle(); }

// The overlapped records live apart from the device: a record the driver
// has not given back by the time the handle closes is left to it rather
// than freed under its feet.
struct Records {
  OVERLAPPED read{}, write{}, wait{};
  // Pending means: the call returned ERROR_IO_PENDING and no completed
  // result has been collected since. Only then is there anything to wait
  // for: a call that failed at once never signals its event.
  bool readPending = false, writePending = false, waitPending = false;
};

class Win32Device final : public ISerialDevice {
 public:
  explicit Win32Device(HANDLE h) : h_(h), r_(new Records) {}
  ~Win32Device() override {
    // Pending operations write into their records; let them end first.
    ::SetCommMask(h_, 0);
    CancelIo(h_);
    bool settled = Settle(r_->read, r_->readPending) & Settle(r_->write, r_->writePending) &
                   Settle(r_->wait, r_->waitPending);
    CloseHandle(h_);
    if (settled) delete r_;
    // else: a driver that never completes a cancelled operation keeps its
    // record; a few bytes lost beat a close that hangs or memory written
    // after it was freed.
  }
  bool GetCommState(Dcb& dcb) override {
    DCB d;
    std::memcpy(&d, &dcb, sizeof d);
    if (!::GetCommState(h_, &d)) return false;
    std::memcpy(static_cast<void*>(&dcb), &d, sizeof d);
    return true;
  }
  bool SetCommState(const Dcb& dcb) override {
    DCB d;
    std::memcpy(&d, &dcb, sizeof d);
    return ::SetCommState(h_, &d) != FALSE;
  }
  bool SetupComm(std::uint32_t in, std::uint32_t out) override { return ::SetupComm(h_, in, out) != FALSE; }
  bool GetCommTimeouts(CommTimeouts& t) override {
    COMMTIMEOUTS c;
    if (!::GetCommTimeouts(h_, &c)) return false;
    t.ReadIntervalTimeout = c.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = c.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = c.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = c.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = c.WriteTotalTimeoutConstant;
    return true;
  }
  bool SetCommTimeouts(const CommTimeouts& t) override {
    COMMTIMEOUTS c;
    c.ReadIntervalTimeout = t.ReadIntervalTimeout;
    c.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    c.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    c.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    c.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(h_, &c) != FALSE;
  }
  bool PurgeComm(std::uint32_t flags) override { return ::PurgeComm(h_, flags) != FALSE; }
  bool FlushBuffers() override { return FlushFileBuffers(h_) != FALSE; }
  bool EscapeCommFunction(std::uint32_t code) override { return ::EscapeCommFunction(h_, code) != FALSE; }
  bool SetCommBreak() override { return ::SetCommBreak(h_) != FALSE; }
  bool ClearCommBreak() override { return ::ClearCommBreak(h_) != FALSE; }
  bool TransmitCommChar(char c) override { return ::TransmitCommChar(h_, c) != FALSE; }
  bool GetCommModemStatus(std::uint32_t& status) override {
    DWORD s = 0;
    if (!::GetCommModemStatus(h_, &s)) return false;
    status = s;
    return true;
  }
  bool ClearCommError(std::uint32_t& errors, CommQueues* queues) override {
    DWORD e = 0;
    COMSTAT st{};
    if (!::ClearCommError(h_, &e, &st)) return false;
    errors = e;
    if (queues) {
      queues->InQueue = st.cbInQue;
      queues->OutQueue = st.cbOutQue;
    }
    return true;
  }
  bool GetCommProperties(CommProp& prop) override {
    COMMPROP p;
    std::memcpy(&p, &prop, sizeof p);
    if (!::GetCommProperties(h_, &p)) return false;
    std::memcpy(static_cast<void*>(&prop), &p, sizeof p);
    return true;
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    std::memset(&r_->read, 0, sizeof r_->read);
    r_->read.hEvent = EventHandle(done);
    DWORD n = 0;
    BOOL ok = ::ReadFile(h_, buffer, length, &n, &r_->read);
    r_->readPending = !ok && GetLastError() == ERROR_IO_PENDING;
    if (!ok) return false;
    transferred = n;
    return true;
  }
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    std::memset(&r_->write, 0, sizeof r_->write);
    r_->write.hEvent = EventHandle(done);
    DWORD n = 0;
    BOOL ok = ::WriteFile(h_, buffer, length, &n, &r_->write);
    r_->writePending = !ok && GetLastError() == ERROR_IO_PENDING;
    if (!ok) return false;
    transferred = n;
    return true;
  }
  bool GetReadResult(std::uint32_t& transferred, bool wait) override {
    return Result(r_->read, r_->readPending, transferred, wait);
  }
  bool GetWriteResult(std::uint32_t& transferred, bool wait) override {
    return Result(r_->write, r_->writePending, transferred, wait);
  }
  bool SetCommMask(std::uint32_t mask) override { return ::SetCommMask(h_, mask) != FALSE; }
  bool GetCommMask(std::uint32_t& mask) override {
    DWORD m = 0;
    if (!::GetCommMask(h_, &m)) return false;
    mask = m;
    return true;
  }
  bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) override {
    static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
    std::memset(&r_->wait, 0, sizeof r_->wait);
    r_->wait.hEvent = EventHandle(done);
    BOOL ok = ::WaitCommEvent(h_, reinterpret_cast<DWORD*>(eventMask), &r_->wait);
    r_->waitPending = !ok && GetLastError() == ERROR_IO_PENDING;
    if (!ok && !r_->waitPending) MapDeviceGone();
    return ok != FALSE;
  }
  bool GetWaitResult() override {
    std::uint32_t n = 0;
    if (Result(r_->wait, r_->waitPending, n, false)) return true;
    MapDeviceGone();
    return false;
  }

 private:
  // A result that has not come yet leaves the operation pending; nothing
  // pending has nothing to wait for.
  bool Result(OVERLAPPED& ov, bool& pending, std::uint32_t& transferred, bool wait) {
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(h_, &ov, &n, wait && pending ? TRUE : FALSE);
    if (ok || GetLastError() != ERROR_IO_INCOMPLETE) pending = false;
    transferred = n;
    return ok != FALSE;
  }

  // Waits a bounded time for a cancelled operation to give its record back.
  bool Settle(OVERLAPPED& ov, bool pending) {
    if (!pending) return true;
    DWORD n = 0;
    for (int i = 0; i < 2000; ++i) {
      if (GetOverlappedResult(h_, &ov, &n, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) return true;
      Sleep(1);
    }
    return false;
  }

  HANDLE h_;
  Records* r_;
};

bool DefaultConfig(const std::string& name, COMMCONFIG& cc) {
  std::memset(&cc, 0, sizeof cc);
  cc.dwSize = sizeof cc;
  DWORD size = sizeof cc;
  return GetDefaultCommConfigA(name.c_str(), &cc, &size) != FALSE;
}

}  // namespace

std::unique_ptr<ISerialDevice> Win32SerialSystem::Open(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32Device>(h);
}

std::unique_ptr<ISerialEvent> Win32SerialSystem::NewEvent(bool manualReset, bool initiallySet) {
  HANDLE h = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
  if (h == nullptr) return nullptr;
  return std::make_unique<Win32Event>(h);
}

std::uint32_t Win32SerialSystem::LastError() { return GetLastError(); }
void Win32SerialSystem::SetLastError(std::uint32_t code) { ::SetLastError(code); }

std::string Win32SerialSystem::ErrorText(std::uint32_t code) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  std::string s(buf, n);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool Win32SerialSystem::GetDefaultConfig(const std::string& shortName, Dcb& dcb) {
  COMMCONFIG cc;
  if (!DefaultConfig(shortName, cc)) return false;
  std::memcpy(static_cast<void*>(&dcb), &cc.dcb, sizeof dcb);
  return true;
}

bool Win32SerialSystem::RunConfigDialog(const std::string& shortName, Dcb& dcb, bool& confirmed) {
  confirmed = false;
  COMMCONFIG cc;
  if (!DefaultConfig(shortName, cc)) return false;
  std::memcpy(&cc.dcb, &dcb, sizeof dcb);
  if (!CommConfigDialogA(shortName.c_str(), GetActiveWindow(), &cc)) {
    // Cancelling the dialog is no failure.
    if (GetLastError() != ERROR_CANCELLED) return false;
    ::SetLastError(0);
    return true;
  }
  std::memcpy(static_cast<void*>(&dcb), &cc.dcb, sizeof dcb);
  confirmed = true;
  return true;
}

bool Win32SerialSystem::SetDefaultConfig(const std::string& shortName, const Dcb& dcb) {
  COMMCONFIG cc;
  if (!DefaultConfig(shortName, cc)) return false;
  std::memcpy(&cc.dcb, &dcb, sizeof dcb);
  return SetDefaultCommConfigA(shortName.c_str(), &cc, sizeof cc) != FALSE;
}

}  // namespace platform
