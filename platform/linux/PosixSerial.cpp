#include "platform/linux/PosixSerial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/CondEvent.h"

namespace platform {

namespace {

thread_local std::uint32_t t_lastError = 0;

bool Fail(int code) {
  t_lastError = static_cast<std::uint32_t>(code);
  return false;
}
// A tty whose USB device went away answers EIO (hung up), ENXIO or ENODEV
// (the driver's device is gone): all of them are the one device-gone code
// the port acts on.
int Gone(int code) { return code == ENXIO || code == ENODEV ? EIO : code; }
bool FailErrno() { return Fail(Gone(errno)); }

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// How often the worker looks at lines, counters and the output queue while
// something waits for them.
constexpr int kPollMs = 1;

std::int64_t MonoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct StdRate {
  unsigned rate;
  speed_t code;
};
const StdRate kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                          {150, B150},       {200, B200},       {300, B300},       {600, B600},
                          {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                          {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                          {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

// Asks for low latency: ftdi_sio then hands on what the chip received every
// 1 ms instead of at its latency timer (16 ms), which each echo of the board
// dialogue would otherwise wait for. Any user who may open the port may set
// the flag. True when it was set here; a driver without serial settings (a
// pty) or one that refuses leaves the port as it is, which is no error.
bool RequestLowLatency(int fd) {
  struct serial_struct ss {};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY)) return false;
  // Everything else goes back as read: an unprivileged user may change
  // nothing but the user flags.
  ss.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

// The port gets back the flag it had before the open.
void GiveBackLowLatency(int fd) {
  struct serial_struct ss {};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags &= ~ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &ss);
}

struct Op {
  bool active = false;
  bool done = true;
  int error = 0;
  std::uint8_t* rbuf = nullptr;
  const std::uint8_t* wbuf = nullptr;
  std::uint32_t length = 0;
  std::uint32_t count = 0;  // bytes transferred so far
  ISerialEvent* event = nullptr;
  std::int64_t deadline = -1;  // total time-out, monotonic ms
  std::int64_t interval = -1;  // interval time-out of a read
};

class PosixDevice final : public ISerialDevice {
 public:
  // lowLatencySet: the open set ASYNC_LOW_LATENCY, which closing clears.
  PosixDevice(int fd, bool lowLatencySet) : fd_(fd), lowLatencySet_(lowLatencySet) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    dcb_.Flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    dcb_.XonChar = 17;
    dcb_.XoffChar = 19;
    ReadCounters(errBase_);
    worker_ = std::thread([this] { Worker(); });
  }
  ~PosixDevice() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      EndWaitLocked(0);
    }
    Wake();
    worker_.join();
    close(wake_);
    if (lowLatencySet_) GiveBackLowLatency(fd_);
    close(fd_);
  }

  bool GetCommState(Dcb& dcb) override {
    std::lock_guard<std::mutex> lock(mu_);
    struct termios t {};
    if (tcgetattr(fd_, &t) != 0) return FailErrno();
    dcb = dcb_;
    unsigned rate = 0;
    if (posix_speed::GetRate(fd_, rate)) dcb.BaudRate = rate;
    switch (t.c_cflag & CSIZE) {
      case CS5:
        dcb.ByteSize = 5;
        break;
      case CS6:
        dcb.ByteSize = 6;
        break;
      case CS7:
        dcb.ByteSize = 7;
        break;
      default:
        dcb.ByteSize = 8;
    }
    if (!(t.c_cflag & PARENB))
      dcb.Parity = kNoParity;
    else if (t.c_cflag & CMSPAR)
      dcb.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    else
      dcb.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
    if (!(t.c_cflag & CSTOPB))
      dcb.StopBits = kOneStopBit;
    else if (dcb_.StopBits == kOne5StopBits)
      dcb.StopBits = kOne5StopBits;
    else
      dcb.StopBits = kTwoStopBits;
    return true;
  }

  bool SetCommState(const Dcb& dcb) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > kSpaceParity || dcb.StopBits > kTwoStopBits ||
        dcb.BaudRate == 0)
      return Fail(EINVAL);
    struct termios t {};
    if (tcgetattr(fd_, &t) != 0) return FailErrno();
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
      case kOddParity:
        t.c_cflag |= PARENB | PARODD;
        break;
      case kEvenParity:
        t.c_cflag |= PARENB;
        break;
      case kMarkParity:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case kSpaceParity:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (dcb.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
    if (dcb.Flags & kDcbParity) t.c_iflag |= INPCK;
    if ((dcb.Flags & kDcbOutxCtsFlow) || (dcb.Flags & kDcbRtsControlMask) == kDcbRtsControlHandshake)
      t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (dcb.Flags & kDcbOutX) t.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t code = 0;
    for (const StdRate& r : kRates)
      if (r.rate == dcb.BaudRate) code = r.code;
    // Another rate is set through BOTHER afterwards; until then the tty
    // holds a valid B constant, which tcsetattr insists on.
    speed_t setCode = code != 0 ? code : B38400;
    cfsetispeed(&t, setCode);
    cfsetospeed(&t, setCode);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return FailErrno();
    if (code == 0 && !posix_speed::SetRate(fd_, dcb.BaudRate)) return FailErrno();
    // The control modes set the lines; a device without modem lines (a pty)
    // keeps the rest of the settings.
    std::uint32_t dtr = dcb.Flags & kDcbDtrControlMask;
    std::uint32_t rts = dcb.Flags & kDcbRtsControlMask;
    int bit = TIOCM_DTR;
    ioctl(fd_, dtr == 0 ? TIOCMBIC : TIOCMBIS, &bit);
    bit = TIOCM_RTS;
    if (rts != kDcbRtsControlHandshake) ioctl(fd_, rts == 0 ? TIOCMBIC : TIOCMBIS, &bit);
    dcb_ = dcb;
    return true;
  }

  bool SetupComm(std::uint32_t in, std::uint32_t out) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (in == 0) return Fail(EINVAL);
    inQueue_ = in;
    outQueue_ = out;
    return true;
  }
  bool GetCommTimeouts(CommTimeouts& t) override {
    std::lock_guard<std::mutex> lock(mu_);
    t = timeouts_;
    return true;
  }
  bool SetCommTimeouts(const CommTimeouts& t) override {
    std::lock_guard<std::mutex> lock(mu_);
    timeouts_ = t;
    return true;
  }

  bool PurgeComm(std::uint32_t flags) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (flags & kPurgeRxAbort) CompleteLocked(read_, ECANCELED);
      if (flags & kPurgeTxAbort) CompleteLocked(write_, ECANCELED);
      if ((flags & kPurgeRxClear) && tcflush(fd_, TCIFLUSH) != 0) return FailErrno();
      if ((flags & kPurgeTxClear) && tcflush(fd_, TCOFLUSH) != 0) return FailErrno();
    }
    Wake();
    return true;
  }

  bool FlushBuffers() override { return tcdrain(fd_) == 0 || FailErrno(); }

  bool EscapeCommFunction(std::uint32_t code) override {
    int bit = 0;
    switch (code) {
      case kEscSetDtr:
        bit = TIOCM_DTR;
        return ioctl(fd_, TIOCMBIS, &bit) == 0 || FailErrno();
      case kEscClrDtr:
        bit = TIOCM_DTR;
        return ioctl(fd_, TIOCMBIC, &bit) == 0 || FailErrno();
      case kEscSetRts:
        bit = TIOCM_RTS;
        return ioctl(fd_, TIOCMBIS, &bit) == 0 || FailErrno();
      case kEscClrRts:
        bit = TIOCM_RTS;
        return ioctl(fd_, TIOCMBIC, &bit) == 0 || FailErrno();
      case kEscSetXOff:
        return tcflow(fd_, TCOOFF) == 0 || FailErrno();
      case kEscSetXOn:
        return tcflow(fd_, TCOON) == 0 || FailErrno();
      case kEscResetDev:
        return true;
      case kEscSetBreak:
        return SetCommBreak();
      case kEscClrBreak:
        return ClearCommBreak();
      default:
        return Fail(EINVAL);
    }
  }
  bool SetCommBreak() override { return ioctl(fd_, TIOCSBRK) == 0 || FailErrno(); }
  bool ClearCommBreak() override { return ioctl(fd_, TIOCCBRK) == 0 || FailErrno(); }
  bool TransmitCommChar(char c) override { return ::write(fd_, &c, 1) == 1 || FailErrno(); }

  bool GetCommModemStatus(std::uint32_t& status) override {
    int m = 0;
    if (ioctl(fd_, TIOCMGET, &m) != 0) return FailErrno();
    status = ModemBits(m);
    return true;
  }

  bool ClearCommError(std::uint32_t& errors, CommQueues* queues) override {
    std::lock_guard<std::mutex> lock(mu_);
    int in = 0, out = 0;
    if (ioctl(fd_, FIONREAD, &in) != 0) return FailErrno();
    if (queues) {
      if (ioctl(fd_, TIOCOUTQ, &out) != 0) return FailErrno();
      queues->InQueue = static_cast<std::uint32_t>(in);
      queues->OutQueue = static_cast<std::uint32_t>(out);
    }
    errors = 0;
    struct serial_icounter_struct c {};
    if (ReadCounters(c)) {
      if (c.frame != errBase_.frame) errors |= kCeFrame;
      if (c.overrun != errBase_.overrun) errors |= kCeOverrun;
      if (c.parity != errBase_.parity) errors |= kCeRxParity;
      if (c.brk != errBase_.brk) errors |= kCeBreak;
      if (c.buf_overrun != errBase_.buf_overrun) errors |= kCeRxOver;
      errBase_ = c;
    }
    return true;
  }

  bool GetCommProperties(CommProp& p) override {
    std::lock_guard<std::mutex> lock(mu_);
    struct termios t {};
    if (tcgetattr(fd_, &t) != 0) return FailErrno();
    p = CommProp{};
    p.wPacketLength = sizeof(CommProp);
    p.wPacketVersion = 2;
    p.dwServiceMask = 1;
    p.dwMaxBaud = kBaudUser;
    p.dwProvSubType = 1;
    p.dwProvCapabilities = kPcfDtrDsr | kPcfRtsCts | kPcfRlsd | kPcfParityCheck | kPcfXOnXOff | kPcfSetXChar |
                           kPcfTotalTimeouts | kPcfIntTimeouts;
    p.dwSettableParams =
        kSpParity | kSpBaud | kSpDataBits | kSpStopBits | kSpHandshaking | kSpParityCheck | kSpRlsd;
    p.dwSettableBaud = kBaud075 | kBaud110 | kBaud134_5 | kBaud150 | kBaud300 | kBaud600 | kBaud1200 |
                       kBaud1800 | kBaud2400 | kBaud4800 | kBaud9600 | kBaud19200 | kBaud38400 | kBaud57600 |
                       kBaud115200 | kBaudUser;
    p.wSettableData = kDataBits5 | kDataBits6 | kDataBits7 | kDataBits8;
    p.wSettableStopParity =
        kStopBits10 | kStopBits20 | kParityNone | kParityOdd | kParityEven | kParityMark | kParitySpace;
    p.dwCurrentTxQueue = outQueue_;
    p.dwCurrentRxQueue = inQueue_;
    return true;
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      read_ = Op{};
      read_.active = true;
      read_.done = false;
      read_.rbuf = static_cast<std::uint8_t*>(buffer);
      read_.length = length;
      read_.event = &done;
      // As with overlapped I/O, starting an operation resets its event: a
      // signal left from the last one must not pass for this one's end.
      done.Reset();
      if (!ReadSomeLocked()) {
        int e = read_.error;
        read_ = Op{};
        return Fail(e);
      }
      const CommTimeouts& t = timeouts_;
      bool immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                       t.ReadTotalTimeoutConstant == 0;
      if (read_.count == length || immediate) {
        transferred = read_.count;
        read_.done = true;
        done.Set();
        return true;
      }
      std::uint64_t total = std::uint64_t{t.ReadTotalTimeoutMultiplier} * length + t.ReadTotalTimeoutConstant;
      if (total > 0) read_.deadline = MonoMs() + static_cast<std::int64_t>(total);
      if (read_.count > 0) ArmIntervalLocked();
    }
    Wake();
    return Fail(static_cast<int>(kErrorIoPending));
  }

  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      write_ = Op{};
      write_.active = true;
      write_.done = false;
      write_.wbuf = static_cast<const std::uint8_t*>(buffer);
      write_.length = length;
      write_.event = &done;
      done.Reset();
      if (!WriteSomeLocked()) {
        int e = write_.error;
        write_ = Op{};
        return Fail(e);
      }
      if (write_.count == length && OutQueueEmptyLocked()) {
        transferred = length;
        write_.done = true;
        done.Set();
        return true;
      }
      std::uint64_t total =
          std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * length + timeouts_.WriteTotalTimeoutConstant;
      if (total > 0) write_.deadline = MonoMs() + static_cast<std::int64_t>(total);
    }
    Wake();
    return Fail(static_cast<int>(kErrorIoPending));
  }

  bool GetReadResult(std::uint32_t& transferred, bool wait) override {
    return Result(read_, transferred, wait);
  }
  bool GetWriteResult(std::uint32_t& transferred, bool wait) override {
    return Result(write_, transferred, wait);
  }

  bool SetCommMask(std::uint32_t mask) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      mask_ = mask & kEvAll;
      EndWaitLocked(0);
      Snapshot(evBase_);
    }
    Wake();
    return true;
  }
  bool GetCommMask(std::uint32_t& mask) override {
    std::lock_guard<std::mutex> lock(mu_);
    mask = mask_;
    return true;
  }
  bool GetWaitResult() override {
    std::lock_guard<std::mutex> lock(mu_);
    int e = waitError_;
    waitError_ = 0;
    return e == 0 || Fail(e);
  }
  bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (waitActive_ || mask_ == 0) return Fail(EINVAL);
      int m;
      if (ioctl(fd_, FIONREAD, &m) != 0) return FailErrno();
      if (HungUp()) return Fail(EIO);
      waitActive_ = true;
      waitError_ = 0;
      waitMask_ = eventMask;
      waitEvent_ = &done;
      done.Reset();
      if (CheckEventsLocked()) return true;
    }
    Wake();
    return Fail(static_cast<int>(kErrorIoPending));
  }

 private:
  struct EventState {
    int modem = 0;
    bool modemOk = false;
    int inQueue = 0;
    int outQueue = 0;
    struct serial_icounter_struct c {};
    bool countersOk = false;
  };

  static std::uint32_t ModemBits(int m) {
    std::uint32_t s = 0;
    if (m & TIOCM_CTS) s |= kMsCtsOn;
    if (m & TIOCM_DSR) s |= kMsDsrOn;
    if (m & TIOCM_RNG) s |= kMsRingOn;
    if (m & TIOCM_CAR) s |= kMsRlsdOn;
    return s;
  }

  bool ReadCounters(struct serial_icounter_struct& c) { return ioctl(fd_, TIOCGICOUNT, &c) == 0; }

  void Snapshot(EventState& s) {
    s.countersOk = ReadCounters(s.c);
    // Where the driver counts the line changes, the lines themselves are not
    // read: on a USB adapter every TIOCMGET is a request to the device.
    s.modemOk = !s.countersOk && ioctl(fd_, TIOCMGET, &s.modem) == 0;
    if (ioctl(fd_, FIONREAD, &s.inQueue) != 0) s.inQueue = 0;
    if (ioctl(fd_, TIOCOUTQ, &s.outQueue) != 0) s.outQueue = 0;
  }

  // The line events from the driver's change counters (TIOCGICOUNT: kept by
  // the driver, no request to the device): a pulse shorter than a look
  // still moves its count. RI raises its event on the way up; which way it
  // went is read only when its count moved.
  std::uint32_t LineEventsFromCounters(const EventState& now, const EventState& base) {
    std::uint32_t ev = 0;
    if (now.c.cts != base.c.cts) ev |= kEvCts;
    if (now.c.dsr != base.c.dsr) ev |= kEvDsr;
    if (now.c.dcd != base.c.dcd) ev |= kEvRlsd;
    const int rings = now.c.rng - base.c.rng;
    int m = 0;
    if (rings >= 2 || (rings != 0 && ioctl(fd_, TIOCMGET, &m) == 0 && (m & TIOCM_RNG))) ev |= kEvRing;
    return ev;
  }

  void Wake() {
    std::uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) < 0) {
      // The counter cannot overflow in practice; a full one still wakes.
    }
  }

  bool OutQueueEmptyLocked() {
    int out = 0;
    return ioctl(fd_, TIOCOUTQ, &out) != 0 || out == 0;
  }

  // Reads what is there into the pending read; false on a read error.
  bool ReadSomeLocked() {
    while (read_.count < read_.length) {
      ssize_t n = ::read(fd_, read_.rbuf + read_.count, read_.length - read_.count);
      if (n > 0) {
        read_.count += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      if (n == 0) {
        // Without VMIN a read of 0 is "no data" too; on a hung-up tty it is
        // all there is.
        if (!HungUp()) break;
        read_.error = EIO;
        return false;
      }
      read_.error = Gone(errno);
      return false;
    }
    return true;
  }

  bool WriteSomeLocked() {
    while (write_.count < write_.length) {
      ssize_t n = ::write(fd_, write_.wbuf + write_.count, write_.length - write_.count);
      if (n > 0) {
        write_.count += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      write_.error = n < 0 ? Gone(errno) : EIO;
      return false;
    }
    return true;
  }

  void ArmIntervalLocked() {
    std::uint32_t ri = timeouts_.ReadIntervalTimeout;
    if (ri != 0 && ri != kMaxDword) read_.interval = MonoMs() + ri;
  }

  void CompleteLocked(Op& op, int error) {
    if (!op.active || op.done) return;
    op.done = true;
    op.error = error;
    if (op.event) op.event->Set();
    cv_.notify_all();
  }

  bool HungUp() {
    struct pollfd p = {fd_, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  // Ends the pending wait with the events in bits, or failed with error.
  void EndWaitLocked(std::uint32_t bits, int error = 0) {
    if (!waitActive_) return;
    *waitMask_ = bits;
    waitError_ = error;
    waitActive_ = false;
    waitEvent_->Set();
    waitEvent_ = nullptr;
    waitMask_ = nullptr;
  }

  // Compares the device with the last snapshot; ends the wait when a masked
  // event occurred.
  bool CheckEventsLocked() {
    EventState now;
    Snapshot(now);
    std::uint32_t ev = 0;
    if (now.modemOk && evBase_.modemOk) {
      int changed = now.modem ^ evBase_.modem;
      if (changed & TIOCM_CTS) ev |= kEvCts;
      if (changed & TIOCM_DSR) ev |= kEvDsr;
      if (changed & TIOCM_CAR) ev |= kEvRlsd;
      if ((changed & TIOCM_RNG) && (now.modem & TIOCM_RNG)) ev |= kEvRing;
    }
    if (now.countersOk && evBase_.countersOk) {
      ev |= LineEventsFromCounters(now, evBase_);
      if (now.c.rx != evBase_.c.rx) ev |= kEvRxChar;
      if (now.c.frame != evBase_.c.frame || now.c.overrun != evBase_.c.overrun ||
          now.c.parity != evBase_.c.parity || now.c.buf_overrun != evBase_.c.buf_overrun)
        ev |= kEvErr;
      if (now.c.brk != evBase_.c.brk) ev |= kEvBreak;
    } else if (now.inQueue > evBase_.inQueue) {
      ev |= kEvRxChar;
    }
    if (now.inQueue * 5 >= static_cast<int>(inQueue_) * 4 &&
        evBase_.inQueue * 5 < static_cast<int>(inQueue_) * 4)
      ev |= kEvRx80Full;
    if (now.outQueue == 0 && evBase_.outQueue > 0) ev |= kEvTxEmpty;
    evBase_ = now;
    ev &= mask_;
    if (ev == 0) return false;
    EndWaitLocked(ev);
    return true;
  }

  bool Result(Op& op, std::uint32_t& transferred, bool wait) {
    std::unique_lock<std::mutex> lock(mu_);
    if (wait)
      cv_.wait(lock, [&] { return op.done; });
    else if (!op.done)
      return Fail(EINPROGRESS);
    transferred = op.count;
    if (op.error != 0) return Fail(op.error);
    return true;
  }

  void Worker() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      bool reading = read_.active && !read_.done;
      bool writing = write_.active && !write_.done;
      struct pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, 0, 0}};
      if (reading) fds[1].events |= POLLIN;
      if (writing && write_.count < write_.length) fds[1].events |= POLLOUT;
      int timeout = -1;
      std::int64_t now = MonoMs();
      auto until = [&](std::int64_t at) {
        if (at < 0) return;
        int ms = static_cast<int>(std::max<std::int64_t>(0, at - now));
        if (timeout < 0 || ms < timeout) timeout = ms;
      };
      if (reading) {
        until(read_.deadline);
        until(read_.interval);
      }
      if (writing) {
        until(write_.deadline);
        if (write_.count == write_.length) until(now + kPollMs);
      }
      if (waitActive_) until(now + kPollMs);
      lock.unlock();
      int r = poll(fds, fds[1].events ? 2 : 1, timeout);
      lock.lock();
      if (stop_) break;
      if (r > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t v;
        if (::read(wake_, &v, sizeof v) < 0) {
          // Nothing to drain.
        }
      }
      now = MonoMs();
      bool hangup = r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL));
      if (read_.active && !read_.done) {
        std::uint32_t before = read_.count;
        if (!ReadSomeLocked())
          CompleteLocked(read_, read_.error);
        else if (read_.count == read_.length)
          CompleteLocked(read_, 0);
        else if ((read_.deadline >= 0 && now >= read_.deadline) ||
                 (read_.interval >= 0 && now >= read_.interval))
          CompleteLocked(read_, 0);
        else if (hangup && read_.count == before)
          CompleteLocked(read_, EIO);
        else if (read_.count > before)
          ArmIntervalLocked();
      }
      if (write_.active && !write_.done) {
        if (!WriteSomeLocked())
          CompleteLocked(write_, write_.error);
        else if (write_.count == write_.length && OutQueueEmptyLocked())
          CompleteLocked(write_, 0);
        else if (write_.deadline >= 0 && now >= write_.deadline)
          CompleteLocked(write_, 0);
        else if (hangup)
          CompleteLocked(write_, EIO);
      }
      if (waitActive_) {
        int m;
        if (ioctl(fd_, FIONREAD, &m) != 0 || HungUp()) {
          // The device is gone: the wait fails, and so does the next one.
          EndWaitLocked(0, EIO);
        } else {
          CheckEventsLocked();
        }
      }
      if (hangup && !(read_.active && !read_.done) && !(write_.active && !write_.done) && !waitActive_) {
        // Nothing is waiting for the device; do not spin on its hang-up.
        lock.unlock();
        struct pollfd w = {wake_, POLLIN, 0};
        poll(&w, 1, -1);
        lock.lock();
      }
    }
  }

  int fd_;
  bool lowLatencySet_;
  int wake_ = -1;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread worker_;
  Dcb dcb_;
  CommTimeouts timeouts_;
  std::uint32_t inQueue_ = 4096, outQueue_ = 2048;
  struct serial_icounter_struct errBase_ {};
  Op read_, write_;
  std::uint32_t mask_ = 0;
  bool waitActive_ = false;
  std::uint32_t* waitMask_ = nullptr;
  ISerialEvent* waitEvent_ = nullptr;
  int waitError_ = 0;
  EventState evBase_;
};

}  // namespace

std::string PosixSerialSystem::DevicePath(const std::string& name) {
  static const std::string prefix = "\\\\.\\";
  // The same device root as the port discovery, which probes the port there
  // before it is opened here.
  const char* env = std::getenv("QUORVALTINE_DEV_ROOT");
  const std::string root = (env != nullptr && *env != '\0') ? env : "/dev";
  if (name.compare(0, prefix.size(), prefix) == 0) return root + "/" + name.substr(prefix.size());
  if (!name.empty() && name[0] == '/') return name;
  return root + "/" + name;
}

std::unique_ptr<ISerialDevice> PosixSerialSystem::Open(const std::string& name) {
  int fd = ::open(DevicePath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    FailErrno();
    return nullptr;
  }
  auto fail = [fd](int code) {
    close(fd);
    Fail(code);
    return nullptr;
  };
  if (!isatty(fd)) return fail(ENOTTY);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  if (ioctl(fd, TIOCEXCL) != 0) return fail(errno);
  // No hang-up on close: closing leaves DTR and RTS alone.
  struct termios t {};
  if (tcgetattr(fd, &t) != 0) return fail(errno);
  t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  t.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return fail(errno);
  const bool lowLatency = RequestLowLatency(fd);
  return std::make_unique<PosixDevice>(fd, lowLatency);
}

std::unique_ptr<ISerialEvent> PosixSerialSystem::NewEvent(bool manualReset, bool initiallySet) {
  return std::make_unique<CondSerialEvent>(manualReset, initiallySet);
}

std::uint32_t PosixSerialSystem::LastError() { return t_lastError; }
void PosixSerialSystem::SetLastError(std::uint32_t code) { t_lastError = code; }
std::string PosixSerialSystem::ErrorText(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }
std::uint32_t PosixSerialSystem::InvalidHandleCode() { return EBADF; }
std::uint32_t PosixSerialSystem::DeviceGoneCode() { return EIO; }

}  // namespace platform
