// The operating-system seam: what the program needs of the system beyond
// the serial driver and the device listings, which have seams of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "platform/Clock.h"

namespace platform {

struct FileVersion {
  // The most significant 32 bits of the file version; build and release
  // numbers are not needed.
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
};

// Process priority classes, with the system values of the Windows classes.
constexpr int kIdlePriorityClass = 0x40;
constexpr int kNormalPriorityClass = 0x20;
constexpr int kHighPriorityClass = 0x80;
constexpr int kRealtimePriorityClass = 0x100;

// Thread priority levels, in the toolkit's order.
constexpr int kThreadIdle = 0, kThreadLowest = 1, kThreadLower = 2, kThreadNormal = 3, kThreadHigher = 4,
              kThreadHighest = 5, kThreadTimeCritical = 6;

class IPlatform {
 public:
  virtual ~IPlatform() = default;

  virtual IClock& Clock() = 0;
  // The system's default beep.
  virtual void MessageBeep() = 0;
  // Plays a WAVE image from memory in the background; returns at once. The
  // image must stay valid while it plays.
  virtual void PlayWaveAsync(const std::uint8_t* image, std::size_t length) = 0;
  // The running program's file version: nullopt when it has no version
  // resource; {0, 0} when the resource exists but cannot be queried.
  virtual std::optional<FileVersion> ProgramVersion() = 0;
  virtual int GetProcessPriorityClass() = 0;
  virtual void SetProcessPriorityClass(int priorityClass) = 0;
  // The calling thread's system id, for SetThreadPriority.
  virtual std::uint64_t CurrentThreadId() { return 0; }
  // Gives the thread of that id one of the seven thread priorities
  // (kThreadIdle .. kThreadTimeCritical) as far as the system lets this
  // process: what it refuses is left as it is, never an error.
  virtual void SetThreadPriority(std::uint64_t threadId, int level) {
    (void)threadId;
    (void)level;
  }
  // Removes a file by name; failures are not reported.
  virtual void RemoveFile(const std::string& path) = 0;
  // Whether the system opens a file whatever the case of its name.
  virtual bool FileNamesIgnoreCase() const = 0;
  // The local calendar time of t. By default the standard library's, under a
  // lock (its result lives in a buffer shared by the process); the real
  // systems use their reentrant calls.
  virtual std::tm LocalTime(std::time_t t);
  // Ends the process through the normal library exit.
  [[noreturn]] virtual void ExitProcess(int code) = 0;
};

IPlatform& Current();
// The installed platform, or nullptr.
IPlatform* Installed();
// Installs the platform; the caller keeps ownership. Returns the previous one.
IPlatform* Install(IPlatform* p);

// The local calendar time of t on the installed platform; with none
// installed, the standard library's.
std::tm LocalTime(std::time_t t);

// Shorthands for the clock of the installed platform.
inline void Sleep(int ms) { Current().Clock().SleepMs(ms); }
inline std::int64_t NowUs() { return Current().Clock().NowUs(); }

// The transcript: one line per event (message boxes, beeps, tones, status),
// written by the headless toolkit and the simulated platform to a stream
// chosen by the test or tool. Off while no stream is set.
class Transcript {
 public:
  static void SetStream(std::ostream* out);
  static bool Enabled();
  static void Line(const std::string& line);
  // Escapes a backslash as \\ and a line break as \n, so one event stays on
  // one line.
  static std::string Escape(const std::string& text);
  // Prefixes every line with "@MS " (milliseconds on the platform clock), for
  // tests that check timing.
  static void SetTimestamps(bool on);
};

}  // namespace platform
