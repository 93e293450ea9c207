#include "platform/ErrorFlavour.h"

#include <cerrno>
#include <cstring>

namespace platform {

#ifndef _WIN32
static_assert(ENOENT == 2 && EBUSY == 16 && EIO == 5 && ECANCELED == 125 && EINVAL == 22 && EBADF == 9 &&
                  EINPROGRESS == 115 && EPROTO == 71,
              "the Linux codes of the flavour table are this system's errno values");
#endif

std::string FlavourErrorText(ErrorFlavour f, std::uint32_t code) {
  if (f == ErrorFlavour::Windows) {
    switch (code) {
      case 2:
        return "The system cannot find the file specified.";
      case 5:
        return "Access is denied.";
      case 6:
        return "The handle is invalid.";
      case 22:
        return "The device does not recognize the command.";
      case 31:
        return "A device attached to the system is not functioning.";
      case 87:
        return "The parameter is incorrect.";
      case 995:
        return "The I/O operation has been aborted because of either a thread exit or an application "
               "request.";
      case 996:
        return "Overlapped I/O event is not in a signaled state.";
      default:
        return "Error " + std::to_string(code) + ".";
    }
  }
#ifndef _WIN32
  return std::strerror(static_cast<int>(code));
#else
  // The Linux texts of the codes the flavour table uses.
  switch (code) {
    case 2:
      return "No such file or directory";
    case 5:
      return "Input/output error";
    case 9:
      return "Bad file descriptor";
    case 16:
      return "Device or resource busy";
    case 22:
      return "Invalid argument";
    case 71:
      return "Protocol error";
    case 115:
      return "Operation now in progress";
    case 125:
      return "Operation canceled";
    default:
      return "Unknown error " + std::to_string(code);
  }
#endif
}

}  // namespace platform
