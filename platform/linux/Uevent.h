// The kernel's device events (uevents) on Linux: a netlink socket that
// receives them, and the reading of one datagram as a tty arrival or removal.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct TtyUevent {
  bool Added = false;  // "add"; false for "remove"
  std::string Name;    // the short name, such as ttyUSB0
};

// Reads one kernel datagram ("ACTION@DEVPATH\0KEY=VALUE\0..."): an add or
// remove of the tty subsystem gives the device's short name; everything else
// (other subsystems, other actions, malformed data) gives nothing.
std::optional<TtyUevent> ParseTtyUevent(const std::string& datagram);

// Where the datagrams come from; tests supply their own.
class IUeventSource {
 public:
  virtual ~IUeventSource() = default;
  virtual bool Open() = 0;
  // Blocks until a datagram arrives (true) or Interrupt is called or the
  // source fails (false).
  virtual bool Receive(std::string& datagram) = 0;
  // From any thread: ends a blocked Receive, and every later one.
  virtual void Interrupt() = 0;
};

// The kernel's uevent broadcast (NETLINK_KOBJECT_UEVENT, group 1).
class NetlinkUeventSource final : public IUeventSource {
 public:
  NetlinkUeventSource() = default;
  ~NetlinkUeventSource() override;
  NetlinkUeventSource(const NetlinkUeventSource&) = delete;
  NetlinkUeventSource& operator=(const NetlinkUeventSource&) = delete;
  bool Open() override;
  bool Receive(std::string& datagram) override;
  void Interrupt() override;

 private:
  int socket_ = -1;
  int wake_[2] = {-1, -1};
};

}  // namespace platform
