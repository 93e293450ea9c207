#include "tools/lcdboard/PtyBoardLine.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tools/modemline/ModemLineState.h"

namespace lcdboard {

namespace {

std::int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// DTR is a shared variable, not an event: the line looks at it this often.
constexpr std::int64_t kDtrWatchUs = 1'000;

}  // namespace

TPtyBoardLine::TPtyBoardLine(const std::string& statePath, std::int64_t latencyUs)
    : statePath_(statePath), latencyUs_(std::max<std::int64_t>(0, latencyUs)) {
  startNs_ = MonotonicNs();
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (masterFd_ < 0) Fail("posix_openpt");
  if (grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) Fail("grantpt/unlockpt");
  char name[128];
  if (ptsname_r(masterFd_, name, sizeof name) != 0) Fail("ptsname_r");
  slavePath_ = name;
  fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
  fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
  // Raw on both ends (the pair shares the slave's settings): no echo, no
  // line editing, no translation of the board's bytes.
  struct termios t;
  if (tcgetattr(masterFd_, &t) != 0) Fail("tcgetattr");
  cfmakeraw(&t);
  cfsetspeed(&t, B9600);
  if (tcsetattr(masterFd_, TCSANOW, &t) != 0) Fail("tcsetattr");

  struct stat st;
  if (stat(name, &st) != 0) Fail("stat " + slavePath_);
  void* p = MAP_FAILED;
  if (statePath_.empty()) {
    p = mmap(nullptr, sizeof(qv_modemline_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  } else {
    int fd = open(statePath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("open " + statePath_);
    if (ftruncate(fd, sizeof(qv_modemline_state)) == 0)
      p = mmap(nullptr, sizeof(qv_modemline_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
  }
  if (p == MAP_FAILED) Fail("mmap state");
  state_ = static_cast<qv_modemline_state*>(p);
  std::memset(state_, 0, sizeof *state_);
  state_->size = sizeof *state_;
  state_->rdev = static_cast<std::uint64_t>(st.st_rdev);
  state_->board_pid = static_cast<std::int32_t>(getpid());
  // Published last: the preload library ignores the file until then.
  __atomic_store_n(&state_->magic, QV_MODEMLINE_MAGIC, __ATOMIC_RELEASE);
}

TPtyBoardLine::~TPtyBoardLine() {
  if (masterFd_ >= 0) close(masterFd_);
  if (state_) {
    // A program still waiting on the lines must not wait for a board that
    // has gone.
    __atomic_store_n(&state_->unplugged, 1u, __ATOMIC_RELEASE);
    __atomic_add_fetch(&state_->seq, 1u, __ATOMIC_ACQ_REL);
    syscall(SYS_futex, &state_->seq, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    munmap(state_, sizeof *state_);
  }
}

std::int64_t TPtyBoardLine::NowUs() { return (MonotonicNs() - startNs_) / 1000; }

void TPtyBoardLine::Send(const std::vector<std::uint8_t>& bytes) {
  if (masterFd_ < 0 || bytes.empty()) return;
  // A byte is written when its last bit would have arrived.
  if (outgoing_.empty()) nextSendUs_ = std::max(nextSendUs_, NowUs() + kByteUs);
  outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
}

void TPtyBoardLine::SetBoardLine(std::uint32_t bit, std::int32_t* counter, bool on) {
  std::uint32_t lines = __atomic_load_n(&state_->board_lines, __ATOMIC_ACQUIRE);
  if (((lines & bit) != 0) == on) return;
  // The chip reports the change at once, behind the bytes it holds.
  if (PeriodUs() > 0) FlushChip();
  if (on)
    __atomic_or_fetch(&state_->board_lines, bit, __ATOMIC_ACQ_REL);
  else
    __atomic_and_fetch(&state_->board_lines, ~bit, __ATOMIC_ACQ_REL);
  __atomic_add_fetch(counter, 1, __ATOMIC_ACQ_REL);
  __atomic_add_fetch(&state_->seq, 1u, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, &state_->seq, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void TPtyBoardLine::SetDsr(bool on) { SetBoardLine(TIOCM_DSR, &state_->dsr, on); }

void TPtyBoardLine::After(std::int64_t delayUs, std::function<void()> fn) {
  timers_.emplace(NowUs() + std::max<std::int64_t>(0, delayUs), std::move(fn));
}

void TPtyBoardLine::InjectLineError() {
  __atomic_add_fetch(&state_->frame, 1, __ATOMIC_ACQ_REL);
  __atomic_add_fetch(&state_->seq, 1u, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, &state_->seq, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void TPtyBoardLine::Unplug() {
  // The slave side hangs up (its reads, writes and ioctls fail) and the
  // emulated lines fail with it.
  if (masterFd_ >= 0) close(masterFd_);
  masterFd_ = -1;
  outgoing_.clear();
  chip_.clear();
  chipDueUs_ = -1;
  slaveOpen_ = false;
  __atomic_store_n(&state_->board_lines, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&state_->unplugged, 1u, __ATOMIC_RELEASE);
  __atomic_add_fetch(&state_->seq, 1u, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, &state_->seq, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void TPtyBoardLine::RunDue() {
  // A timer may add timers (also due ones): take them one at a time.
  while (!timers_.empty() && timers_.begin()->first <= NowUs()) {
    auto fn = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    fn();
  }
}

bool TPtyBoardLine::LowLatency() const {
  return (__atomic_load_n(&state_->serial_flags, __ATOMIC_ACQUIRE) & ASYNC_LOW_LATENCY) != 0;
}

std::uint32_t TPtyBoardLine::LineReads() const {
  return __atomic_load_n(&state_->tiocmget_calls, __ATOMIC_ACQUIRE);
}

std::int64_t TPtyBoardLine::PeriodUs() const {
  if (latencyUs_ == 0) return 0;
  return LowLatency() ? std::min(latencyUs_, kLowLatencyUs) : latencyUs_;
}

// False when the system's input buffer is full (try again later).
bool TPtyBoardLine::WriteToSystem(std::uint8_t b) {
  // Counted before the byte can be read, as the driver counts it before it
  // hands it on.
  __atomic_add_fetch(&state_->rx, 1, __ATOMIC_ACQ_REL);
  ssize_t n = ::write(masterFd_, &b, 1);
  if (n != 1) __atomic_sub_fetch(&state_->rx, 1, __ATOMIC_ACQ_REL);
  // Nobody listening (EIO): the byte is lost, as on the line.
  return !(n < 0 && errno == EAGAIN);
}

void TPtyBoardLine::FlushChip() {
  lastPacketUs_ = NowUs();
  chipDueUs_ = -1;
  while (masterFd_ >= 0 && !chip_.empty()) {
    if (!WriteToSystem(chip_.front())) {
      chipDueUs_ = lastPacketUs_ + PeriodUs();  // the rest goes with the next packet
      return;
    }
    chip_.pop_front();
  }
}

void TPtyBoardLine::ChipDue() {
  if (!chip_.empty() && chipDueUs_ >= 0 && NowUs() >= chipDueUs_) FlushChip();
}

void TPtyBoardLine::SendDue() {
  std::int64_t now = NowUs();
  const std::int64_t period = PeriodUs();
  while (masterFd_ >= 0 && !outgoing_.empty() && now >= nextSendUs_) {
    std::uint8_t b = outgoing_.front();
    if (period == 0) {
      if (!WriteToSystem(b)) return;
    } else {
      // The byte has arrived in the chip: it goes with the first tick after
      // its arrival, or when the buffer is full.
      chip_.push_back(b);
      if (chipDueUs_ < 0) {
        std::int64_t since = std::max<std::int64_t>(0, nextSendUs_ - lastPacketUs_);
        chipDueUs_ = lastPacketUs_ + (since / period + 1) * period;
      }
      if (chip_.size() >= kChipBuffer) FlushChip();
    }
    outgoing_.pop_front();
    nextSendUs_ += kByteUs;
  }
}

void TPtyBoardLine::ReadSystemBytes() {
  std::uint8_t buf[256];
  for (;;) {
    ssize_t n = ::read(masterFd_, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EIO) slaveOpen_ = false;
      return;
    }
    slaveOpen_ = true;
    std::int64_t now = NowUs();
    for (ssize_t i = 0; i < n; ++i) {
      __atomic_add_fetch(&state_->tx, 1, __ATOMIC_ACQ_REL);
      // Each of the system's bytes reaches the board one character time
      // after the previous one.
      nextArrivalUs_ = std::max(nextArrivalUs_, now) + kByteUs;
      std::uint8_t b = buf[i];
      timers_.emplace(nextArrivalUs_, [this, b] {
        if (board_ && masterFd_ >= 0) board_->OnByte(b);
      });
    }
  }
}

void TPtyBoardLine::WatchDtr() {
  bool on = (__atomic_load_n(&state_->system_lines, __ATOMIC_ACQUIRE) & TIOCM_DTR) != 0;
  if (on == dtr_ || Unplugged()) return;
  dtr_ = on;
  if (board_) board_->OnDtr(on);
}

void TPtyBoardLine::RunOnce(std::int64_t maxWaitUs) {
  RunDue();
  WatchDtr();
  SendDue();
  ChipDue();
  std::int64_t now = NowUs();
  std::int64_t wait = std::min(maxWaitUs, kDtrWatchUs);
  if (!timers_.empty()) wait = std::min(wait, timers_.begin()->first - now);
  if (!outgoing_.empty()) wait = std::min(wait, nextSendUs_ - now);
  if (!chip_.empty() && chipDueUs_ >= 0) wait = std::min(wait, chipDueUs_ - now);
  wait = std::max<std::int64_t>(wait, 0);
  struct timespec ts = {static_cast<time_t>(wait / 1'000'000), static_cast<long>(wait % 1'000'000) * 1000};
  bool slept = false;
  if (masterFd_ >= 0) {
    struct pollfd p = {masterFd_, POLLIN, 0};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r > 0 && (p.revents & POLLIN)) ReadSystemBytes();
    if (r > 0 && (p.revents & POLLHUP)) {
      // No process has the slave open; the hang-up is reported at once, so
      // wait the slice out instead of spinning on it.
      if (!(p.revents & POLLIN)) slaveOpen_ = false;
    } else {
      slept = true;
      if (r == 0) slaveOpen_ = true;
    }
  }
  if (!slept) nanosleep(&ts, nullptr);
  RunDue();
  WatchDtr();
  SendDue();
  ChipDue();
}

}  // namespace lcdboard
