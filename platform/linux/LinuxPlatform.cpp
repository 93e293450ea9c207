#include "platform/linux/LinuxPlatform.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

void LinuxPlatform::MessageBeep() {
  Transcript::Line("beep");
  // The terminal bell, where there is a terminal to ring.
  if (isatty(STDERR_FILENO)) {
    ssize_t n = write(STDERR_FILENO, "\a", 1);
    (void)n;
  }
}

void LinuxPlatform::PlayWaveAsync(const std::uint8_t*, std::size_t) {
  // Scaffolding: sound output arrives with the alert tone.
  Transcript::Line("tone");
}

std::optional<FileVersion> LinuxPlatform::ProgramVersion() {
  // The version the build gives the program stands in for a version resource.
  return FileVersion{QUORVALTINE_VERSION_MAJOR, QUORVALTINE_VERSION_MINOR};
}

// Priority classes map onto nice values. The high classes ask for the
// highest priority the process may take, never a real-time scheduler.
int LinuxPlatform::GetProcessPriorityClass() {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);
  if (nice >= 19) return kIdlePriorityClass;
  if (nice >= 0) return kNormalPriorityClass;
  if (nice > -20) return kHighPriorityClass;
  return kRealtimePriorityClass;
}

void LinuxPlatform::SetProcessPriorityClass(int priorityClass) {
  int nice = 0;
  switch (priorityClass) {
    case kIdlePriorityClass:
      nice = 19;
      break;
    case kNormalPriorityClass:
      nice = 0;
      break;
    case kHighPriorityClass:
    case kRealtimePriorityClass: {
      // The lowest nice value RLIMIT_NICE allows (20 - limit), else unchanged.
      struct rlimit rl {};
      if (getrlimit(RLIMIT_NICE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur > 0)
        nice = 20 - static_cast<int>(rl.rlim_cur);
      else
        nice = geteuid() == 0 ? (priorityClass == kRealtimePriorityClass ? -20 : -10) : 0;
      if (priorityClass == kHighPriorityClass && nice < -10) nice = -10;
      break;
    }
    default:
      return;
  }
  // Failures are not examined.
  (void)setpriority(PRIO_PROCESS, 0, nice);
}

void LinuxPlatform::RemoveFile(const std::string& path) { (void)std::remove(path.c_str()); }

void LinuxPlatform::ExitProcess(int code) { std::exit(code); }

}  // namespace platform
