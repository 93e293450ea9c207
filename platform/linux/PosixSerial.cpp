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
#include "platform/SerialCore.h"

namespace platform {

namespace {

// A tty whose USB device went away answers EIO (hung up), ENXIO or ENODEV
// (the driver's device is gone): all of them are the one device-gone code
// the port acts on.
int Gone(int code) { return code == ENXIO || code == ENODEV ? EIO : code; }
bool FailErrno() { return SerialFail(Gone(errno)); }

// How often the worker looks at lines, counters and the output queue while
// something waits for them.
constexpr int kPollMs = 1;

std::int64_t MonoUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
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

// A transfer with the bytes it moves; its time-outs run on the monotonic
// clock.
struct Op : OverlappedOp {
  std::uint8_t* rbuf = nullptr;
  const std::uint8_t* wbuf = nullptr;
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
      wait_.End(0);
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
      return SerialFail(EINVAL);
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
    if (in == 0) return SerialFail(EINVAL);
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
        return SerialFail(EINVAL);
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
    p = ImitatedCommProp(inQueue_, outQueue_);
    p.dwSettableBaud = kBaud075 | kBaud110 | kBaud134_5 | kBaud150 | kBaud300 | kBaud600 | kBaud1200 |
                       kBaud1800 | kBaud2400 | kBaud4800 | kBaud9600 | kBaud19200 | kBaud38400 | kBaud57600 |
                       kBaud115200 | kBaudUser;
    return true;
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      read_.Start(done, length);
      read_.rbuf = static_cast<std::uint8_t*>(buffer);
      if (!ReadSomeLocked()) {
        const std::uint32_t e = read_.error;
        read_ = Op{};
        return SerialFail(e);
      }
      if (read_.transferred == length || TransferTimeouts::ReadReturnsAtOnce(timeouts_)) {
        read_.Finish(0);
        return read_.Outcome(transferred);
      }
      const std::int64_t now = MonoUs();
      read_.timeouts = TransferTimeouts::Read(timeouts_, length, now);
      if (read_.transferred > 0) read_.timeouts.Moved(now);
    }
    Wake();
    return SerialFail(kErrorIoPending);
  }

  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      write_.Start(done, length);
      write_.wbuf = static_cast<const std::uint8_t*>(buffer);
      if (!WriteSomeLocked()) {
        const std::uint32_t e = write_.error;
        write_ = Op{};
        return SerialFail(e);
      }
      if (write_.transferred == length && OutQueueEmptyLocked()) {
        write_.Finish(0);
        return write_.Outcome(transferred);
      }
      write_.timeouts = TransferTimeouts::Write(timeouts_, length, MonoUs());
    }
    Wake();
    return SerialFail(kErrorIoPending);
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
      wait_.End(0);
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
    return wait_.TakeResult();
  }
  bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (wait_.active || mask_ == 0) return SerialFail(EINVAL);
      int m;
      if (ioctl(fd_, FIONREAD, &m) != 0) return FailErrno();
      if (HungUp()) return SerialFail(EIO);
      wait_.Start(eventMask, done);
      if (CheckEventsLocked()) return true;
    }
    Wake();
    return SerialFail(kErrorIoPending);
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
    while (read_.transferred < read_.length) {
      ssize_t n = ::read(fd_, read_.rbuf + read_.transferred, read_.length - read_.transferred);
      if (n > 0) {
        read_.transferred += static_cast<std::uint32_t>(n);
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
      read_.error = static_cast<std::uint32_t>(Gone(errno));
      return false;
    }
    return true;
  }

  bool WriteSomeLocked() {
    while (write_.transferred < write_.length) {
      ssize_t n = ::write(fd_, write_.wbuf + write_.transferred, write_.length - write_.transferred);
      if (n > 0) {
        write_.transferred += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      write_.error = static_cast<std::uint32_t>(n < 0 ? Gone(errno) : EIO);
      return false;
    }
    return true;
  }

  void CompleteLocked(Op& op, std::uint32_t error) {
    if (op.Finish(error)) cv_.notify_all();
  }

  bool HungUp() {
    struct pollfd p = {fd_, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
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
    wait_.End(ev);
    return true;
  }

  bool Result(Op& op, std::uint32_t& transferred, bool wait) {
    std::unique_lock<std::mutex> lock(mu_);
    if (wait)
      cv_.wait(lock, [&] { return op.done; });
    else if (!op.done)
      return SerialFail(EINPROGRESS);
    return op.Outcome(transferred);
  }

  void Worker() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      bool reading = read_.Running();
      bool writing = write_.Running();
      struct pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, 0, 0}};
      if (reading) fds[1].events |= POLLIN;
      if (writing && write_.transferred < write_.length) fds[1].events |= POLLOUT;
      int timeout = -1;
      std::int64_t now = MonoUs();
      auto until = [&](std::int64_t atUs) {
        if (atUs < 0) return;
        // Rounded up: a time-out that poll ends early would only spin.
        int ms = static_cast<int>((std::max<std::int64_t>(0, atUs - now) + 999) / 1000);
        if (timeout < 0 || ms < timeout) timeout = ms;
      };
      if (reading) until(read_.timeouts.NextUs());
      if (writing) {
        until(write_.timeouts.NextUs());
        if (write_.transferred == write_.length) until(now + kPollMs * 1000);
      }
      if (wait_.active) until(now + kPollMs * 1000);
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
      now = MonoUs();
      bool hangup = r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL));
      if (read_.Running()) {
        std::uint32_t before = read_.transferred;
        if (!ReadSomeLocked())
          CompleteLocked(read_, read_.error);
        else if (read_.transferred == read_.length)
          CompleteLocked(read_, 0);
        else if (read_.timeouts.Expired(now))
          CompleteLocked(read_, 0);
        else if (hangup && read_.transferred == before)
          CompleteLocked(read_, EIO);
        else if (read_.transferred > before)
          read_.timeouts.Moved(now);
      }
      if (write_.Running()) {
        if (!WriteSomeLocked())
          CompleteLocked(write_, write_.error);
        else if (write_.transferred == write_.length && OutQueueEmptyLocked())
          CompleteLocked(write_, 0);
        else if (write_.timeouts.Expired(now))
          CompleteLocked(write_, 0);
        else if (hangup)
          CompleteLocked(write_, EIO);
      }
      if (wait_.active) {
        int m;
        if (ioctl(fd_, FIONREAD, &m) != 0 || HungUp()) {
          // The device is gone: the wait fails, and so does the next one.
          wait_.End(0, EIO);
        } else {
          CheckEventsLocked();
        }
      }
      if (hangup && !read_.Running() && !write_.Running() && !wait_.active) {
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
  EventWaitSlot wait_;
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
    SerialFail(code);
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

std::string PosixSerialSystem::ErrorText(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }
std::uint32_t PosixSerialSystem::InvalidHandleCode() { return EBADF; }
std::uint32_t PosixSerialSystem::DeviceGoneCode() { return EIO; }

}  // namespace platform
