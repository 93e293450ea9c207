// The error codes of the two operating systems a serial driver can imitate,
// in one place: the sim driver and the fault-injecting driver give Windows
// or Linux codes whatever the build, so one Linux build tests the
// component against both.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class ErrorFlavour { Windows, Linux };

// The flavour of the system this build is for; the build names it
// (platform/CMakeLists.txt).
constexpr ErrorFlavour kNativeFlavour = ErrorFlavour::QV_NATIVE_ERROR_FLAVOUR;

struct FlavourCodes {
  std::uint32_t NotFound;          // opening a missing (or vanished) port
  std::uint32_t Busy;              // opening a port that is held
  std::uint32_t Removed;           // a call on a device that has gone
  std::uint32_t RemovedIo;         // a transfer or its completion on a device that has gone
  std::uint32_t RemovedWait;       // the event wait on a device that has gone
  std::uint32_t Aborted;           // a transfer ended by a purge or a close
  std::uint32_t InvalidParameter;  // bad settings
  std::uint32_t InvalidHandle;     // a call on a closed device
  std::uint32_t Incomplete;        // a completion asked for without waiting while it runs
  std::uint32_t Failure;           // a device that fails a call for no reason of its own
};

// Windows: a vanished USB adapter gives access denied (5) on the event wait
// and on transfers, "device does not recognize the command" (22) on the
// other calls. Linux: the tty is hung up and everything gives EIO.
inline const FlavourCodes& CodesOf(ErrorFlavour f) {
  static const FlavourCodes kWindows{2, 5, 22, 5, 5, 995, 87, 6, 996, 31};
  static const FlavourCodes kLinux{
      2 /*ENOENT*/,      16 /*EBUSY*/,  5 /*EIO*/,   5 /*EIO*/,           5 /*EIO*/,
      125 /*ECANCELED*/, 22 /*EINVAL*/, 9 /*EBADF*/, 115 /*EINPROGRESS*/, 71 /*EPROTO*/};
  return f == ErrorFlavour::Windows ? kWindows : kLinux;
}

// The system's message text for a code of the flavour, whatever the build:
// for Linux the C library's (glibc) text of that errno value.
std::string FlavourErrorText(ErrorFlavour f, std::uint32_t code);

inline const char* FlavourName(ErrorFlavour f) { return f == ErrorFlavour::Windows ? "windows" : "linux"; }

// "windows" or "linux"; false for anything else.
inline bool ParseFlavour(const std::string& text, ErrorFlavour& f) {
  if (text == "windows")
    f = ErrorFlavour::Windows;
  else if (text == "linux")
    f = ErrorFlavour::Linux;
  else
    return false;
  return true;
}

}  // namespace platform
