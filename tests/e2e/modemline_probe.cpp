// Drives the pty slave of a running lcdboard the way a serial driver does,
// with the modem-line preload library active, and checks what comes back.
//   modemline_probe SLAVE lines FRAME_ERRORS   lines, wait, ping, counters
//   modemline_probe SLAVE unplug               the line fails after the ping
// Exit status 0 when every check held; each failed check is printed.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace {

int gFailures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s (errno %d: %s)\n", what.c_str(), errno, std::strerror(errno));
    ++gFailures;
  }
}

int Lines(int fd) {
  int m = 0;
  if (ioctl(fd, TIOCMGET, &m) != 0) return -1;
  return m;
}

double NowS() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Polls until cond holds or the bound (generous: this is about whether the
// line follows at all, not how fast) has passed.
bool Eventually(const std::function<bool()>& cond, double boundS = 3.0) {
  double end = NowS() + boundS;
  while (NowS() < end) {
    if (cond()) return true;
    struct timespec ts = {0, 1'000'000};
    nanosleep(&ts, nullptr);
  }
  return cond();
}

int ReadByte(int fd, double boundS = 3.0) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(boundS * 1000)) <= 0) return -1;
  std::uint8_t b;
  return ::read(fd, &b, 1) == 1 ? b : -1;
}

bool Counters(int fd, serial_icounter_struct& c) { return ioctl(fd, TIOCGICOUNT, &c) == 0; }

int RaiseDtrAndWaitDsr(int fd) {
  int bit = TIOCM_DTR;
  Check(ioctl(fd, TIOCMBIS, &bit) == 0, "TIOCMBIS DTR");
  Check(Eventually([&] { return Lines(fd) >= 0 && (Lines(fd) & TIOCM_DSR); }), "DSR follows DTR up");
  return bit;
}

void Ping(int fd) {
  std::uint8_t ping = 0xBA;
  Check(::write(fd, &ping, 1) == 1, "write ping");
  Check(ReadByte(fd) == 0xBA, "ping echoed");
}

int ProbeLines(int fd, int frameErrors) {
  int m = Lines(fd);
  Check(m >= 0, "TIOCMGET answered on the slave");
  Check((m & (TIOCM_DTR | TIOCM_DSR)) == 0, "DTR and DSR start low");

  // The wait must return on the DSR change that raising DTR causes.
  std::atomic<bool> waiting{false};
  auto waiter = std::async(std::launch::async, [&] {
    waiting = true;
    return ioctl(fd, TIOCMIWAIT, TIOCM_DSR);
  });
  while (!waiting) std::this_thread::yield();
  Check(waiter.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout,
        "TIOCMIWAIT blocks while the lines are still");
  int bit = TIOCM_DTR;
  Check(ioctl(fd, TIOCMBIS, &bit) == 0, "TIOCMBIS DTR");
  Check((Lines(fd) & TIOCM_DTR) != 0, "DTR reads back high");
  Check(waiter.wait_for(std::chrono::seconds(3)) == std::future_status::ready, "TIOCMIWAIT returns on DSR");
  if (waiter.valid() && waiter.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
    Check(waiter.get() == 0, "TIOCMIWAIT result");
  Check((Lines(fd) & TIOCM_DSR) != 0, "DSR high after the wait");

  serial_icounter_struct before{}, after{};
  Check(Counters(fd, before), "TIOCGICOUNT answered");
  Ping(fd);
  Check(Counters(fd, after), "TIOCGICOUNT answered again");
  Check(after.rx == before.rx + 1 && after.tx == before.tx + 1, "counters count the ping both ways");
  Check(after.frame - before.frame == frameErrors, "frame errors counted: " + std::to_string(frameErrors));
  Check(after.dsr == before.dsr, "DSR transitions unchanged by the ping");

  Check(ioctl(fd, TIOCMBIC, &bit) == 0, "TIOCMBIC DTR");
  Check(Eventually([&] { return Lines(fd) >= 0 && !(Lines(fd) & TIOCM_DSR); }), "DSR follows DTR down");
  Check(Counters(fd, after) && after.dsr == before.dsr + 1, "one more DSR transition counted");

  int rtsOnly = TIOCM_RTS;
  Check(ioctl(fd, TIOCMSET, &rtsOnly) == 0, "TIOCMSET");
  Check((Lines(fd) & (TIOCM_RTS | TIOCM_DTR)) == TIOCM_RTS, "TIOCMSET sets exactly RTS");

  // Other requests and other descriptors reach the kernel unchanged.
  int queued = -1;
  Check(ioctl(fd, FIONREAD, &queued) == 0 && queued == 0, "FIONREAD passes through");
  int null = open("/dev/null", O_RDWR);
  errno = 0;
  Check(ioctl(null, TIOCMGET, &m) == -1 && errno == ENOTTY, "TIOCMGET on another device is the kernel's");
  close(null);
  return gFailures;
}

int ProbeUnplug(int fd) {
  RaiseDtrAndWaitDsr(fd);
  std::uint8_t ping = 0xBA;
  Check(::write(fd, &ping, 1) == 1, "write the byte that unplugs");
  Check(Eventually([&] { return Lines(fd) < 0; }), "TIOCMGET fails once unplugged");
  Check(errno == EIO, "with EIO");
  Check(ioctl(fd, TIOCMIWAIT, TIOCM_DSR) == -1 && errno == EIO, "TIOCMIWAIT fails at once");
  std::uint8_t b;
  Check(::read(fd, &b, 1) <= 0, "reading the hung-up slave fails");
  return gFailures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: modemline_probe SLAVE lines FRAME_ERRORS | SLAVE unplug\n");
    return 64;
  }
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::string mode = argv[2];
  int failures = mode == "unplug" ? ProbeUnplug(fd) : ProbeLines(fd, argc > 3 ? std::atoi(argv[3]) : 0);
  close(fd);
  if (failures == 0) std::printf("modemline_probe %s: all checks held\n", mode.c_str());
  return failures == 0 ? 0 : 1;
}
