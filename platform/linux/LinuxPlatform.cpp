#include "platform/linux/LinuxPlatform.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#ifdef QV_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace platform {

static_assert(ENOENT == 2 && EBUSY == 16 && EIO == 5 && ECANCELED == 125 && EINVAL == 22 && EBADF == 9 &&
                  EINPROGRESS == 115 && EPROTO == 71,
              "the Linux codes of the flavour table are this system's errno values");

namespace {

struct PcmSound {
  unsigned Channels = 0;
  unsigned Rate = 0;
  unsigned Bits = 0;
  std::vector<std::uint8_t> Samples;
};

std::uint32_t Le(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The PCM format and samples of a RIFF/WAVE image; nullopt for anything else.
std::optional<PcmSound> ParseWave(const std::uint8_t* image, std::size_t length) {
  if (image == nullptr || length < 12 || std::memcmp(image, "RIFF", 4) != 0 ||
      std::memcmp(image + 8, "WAVE", 4) != 0)
    return std::nullopt;
  PcmSound sound;
  bool haveFormat = false;
  std::size_t pos = 12;
  while (pos + 8 <= length) {
    const std::uint8_t* chunk = image + pos;
    const std::size_t size = Le(chunk + 4, 4);
    const std::size_t body = pos + 8;
    if (size > length - body) return std::nullopt;
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
      if (Le(chunk + 8, 2) != 1) return std::nullopt;  // PCM only
      sound.Channels = Le(chunk + 10, 2);
      sound.Rate = Le(chunk + 12, 4);
      sound.Bits = Le(chunk + 22, 2);
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return std::nullopt;
      sound.Samples.assign(image + body, image + body + size);
      return sound;
    }
    pos = body + size + (size & 1);
  }
  return std::nullopt;
}

#ifdef QV_HAVE_ALSA
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

// False when there is no device to play on.
bool PlayPcm(const PcmSound& sound) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { snd_lib_error_set_handler(QuietAlsa); });
  snd_pcm_format_t format = sound.Bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  if (sound.Bits != 8 && sound.Bits != 16) return true;
  const unsigned frameBytes = sound.Channels * sound.Bits / 8;
  if (frameBytes == 0 || sound.Rate == 0) return true;
  snd_pcm_t* pcm = nullptr;
  // Opening without waiting: a busy or missing device means no sound.
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  if (snd_pcm_nonblock(pcm, 0) == 0 && snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED,
                                                          sound.Channels, sound.Rate, 1, 100000) == 0) {
    const std::uint8_t* p = sound.Samples.data();
    snd_pcm_uframes_t frames = sound.Samples.size() / frameBytes;
    while (frames > 0) {
      snd_pcm_sframes_t n = snd_pcm_writei(pcm, p, frames);
      if (n < 0) n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
      if (n < 0) break;
      p += static_cast<std::size_t>(n) * frameBytes;
      frames -= static_cast<snd_pcm_uframes_t>(n);
    }
    snd_pcm_drain(pcm);
  }
  snd_pcm_close(pcm);
  return true;
}
#endif

void RingTerminalBell() {
  if (isatty(STDERR_FILENO)) {
    ssize_t n = write(STDERR_FILENO, "\a", 1);
    (void)n;
  }
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> LinuxPlatform::BeepImage() {
  // 150 ms of an 880 Hz square wave at 22050 Hz, 8-bit mono, with a soft
  // amplitude: short and plain, like the desktop's default sound.
  constexpr std::uint32_t kRate = 22050, kFrames = kRate * 150 / 1000, kHalfPeriod = kRate / 880 / 2;
  std::vector<std::uint8_t> image;
  image.insert(image.end(), {'R', 'I', 'F', 'F'});
  PutLe(image, 36 + kFrames, 4);
  image.insert(image.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe(image, 16, 4);
  PutLe(image, 1, 2);  // PCM
  PutLe(image, 1, 2);  // mono
  PutLe(image, kRate, 4);
  PutLe(image, kRate, 4);  // bytes per second
  PutLe(image, 1, 2);      // block size
  PutLe(image, 8, 2);
  image.insert(image.end(), {'d', 'a', 't', 'a'});
  PutLe(image, kFrames, 4);
  for (std::uint32_t i = 0; i < kFrames; ++i) image.push_back((i / kHalfPeriod) % 2 == 0 ? 0xA0 : 0x60);
  return image;
}

void LinuxPlatform::MessageBeep() {
  Transcript::Line("beep");
#ifdef QV_HAVE_ALSA
  // A program started from the desktop has no terminal: the beep plays on
  // the sound device, on a thread of its own, like the tone. Without a
  // device, a terminal's bell stands in where there is one.
  static const std::vector<std::uint8_t> image = BeepImage();
  std::optional<PcmSound> sound = ParseWave(image.data(), image.size());
  if (!sound) return;
  try {
    std::thread([s = std::move(*sound)] {
      if (!PlayPcm(s)) RingTerminalBell();
    }).detach();
  } catch (const std::system_error&) {
    RingTerminalBell();
  }
#else
  RingTerminalBell();
#endif
}

void LinuxPlatform::PlayWaveAsync(const std::uint8_t* image, std::size_t length) {
  Transcript::Line("tone");
#ifdef QV_HAVE_ALSA
  // The samples are copied, so the caller's image may change at once; the
  // sound plays on its own thread and the caller never waits for the device.
  std::optional<PcmSound> sound = ParseWave(image, length);
  if (!sound) return;
  try {
    std::thread([s = std::move(*sound)] { PlayPcm(s); }).detach();
  } catch (const std::system_error&) {
    // No thread, no sound.
  }
#else
  (void)ParseWave(image, length);
#endif
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

std::uint64_t LinuxPlatform::CurrentThreadId() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

// An unprivileged process gets what its limits allow: time-critical is
// SCHED_FIFO when RLIMIT_RTPRIO grants a real-time priority; otherwise each
// level is a nice value, raised no further than RLIMIT_NICE lets it (by
// default not above the process's own). Refusals leave the thread as it is.
void LinuxPlatform::SetThreadPriority(std::uint64_t threadId, int level) {
  const pid_t tid = static_cast<pid_t>(threadId);
  if (tid <= 0 || level < kThreadIdle || level > kThreadTimeCritical) return;
  if (level == kThreadTimeCritical) {
    struct rlimit rl {};
    int top = sched_get_priority_max(SCHED_FIFO);
    int allowed = 0;
    if (getrlimit(RLIMIT_RTPRIO, &rl) == 0)
      allowed = rl.rlim_cur == RLIM_INFINITY ? top : static_cast<int>(std::min<rlim_t>(rl.rlim_cur, top));
    if (allowed > 0) {
      struct sched_param sp {};
      sp.sched_priority = allowed;
      if (sched_setscheduler(tid, SCHED_FIFO, &sp) == 0) return;
    }
  }
  if (sched_getscheduler(tid) != SCHED_OTHER) {
    struct sched_param sp {};
    (void)sched_setscheduler(tid, SCHED_OTHER, &sp);
  }
  static const int kNice[] = {19, 10, 5, 0, -5, -10, -20};
  int nice = kNice[level];
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) return;
  struct rlimit rl {};
  if (getrlimit(RLIMIT_NICE, &rl) != 0) return;
  int floor = rl.rlim_cur == RLIM_INFINITY ? -20 : 20 - static_cast<int>(std::min<rlim_t>(rl.rlim_cur, 40));
  if (floor > nice) (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), floor);
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

LinuxPlatform::LinuxPlatform() { TuneRealClocks(); }

void LinuxPlatform::TuneRealClocks() {
  SetRealClockThreadTuning([] { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); });
}

std::tm LinuxPlatform::LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

void LinuxPlatform::RemoveFile(const std::string& path) { (void)std::remove(path.c_str()); }

void LinuxPlatform::ExitProcess(int code) { std::exit(code); }

}  // namespace platform
