#include "platform/linux/Uevent.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace platform {

std::optional<TtyUevent> ParseTtyUevent(const std::string& datagram) {
  // The kernel's own format; udev's re-broadcasts ("libudev" header) go to
  // another group and are not read.
  std::size_t headerEnd = datagram.find('\0');
  if (headerEnd == std::string::npos || datagram.find('@') > headerEnd) return std::nullopt;
  std::map<std::string, std::string> fields;
  std::size_t pos = headerEnd + 1;
  while (pos < datagram.size()) {
    std::size_t end = datagram.find('\0', pos);
    if (end == std::string::npos) end = datagram.size();
    std::string entry = datagram.substr(pos, end - pos);
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) fields.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    pos = end + 1;
  }
  if (fields["SUBSYSTEM"] != "tty") return std::nullopt;
  const std::string& action = fields["ACTION"];
  if (action != "add" && action != "remove") return std::nullopt;
  std::string name = fields["DEVNAME"];
  if (name.empty()) {
    // Without DEVNAME the last part of the device path names the tty.
    const std::string& path = fields["DEVPATH"];
    name = path.substr(path.rfind('/') + 1);
  }
  std::size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  if (name.empty()) return std::nullopt;
  return TtyUevent{action == "add", name};
}

NetlinkUeventSource::~NetlinkUeventSource() {
  if (socket_ >= 0) close(socket_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

bool NetlinkUeventSource::Open() {
  if (socket_ >= 0) return true;
  int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (s < 0) return false;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;  // the kernel's broadcast
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    close(s);
    return false;
  }
  socket_ = s;
  return true;
}

bool NetlinkUeventSource::Receive(std::string& datagram) {
  if (socket_ < 0) return false;
  for (;;) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents & POLLIN) {
      char buffer[8192];
      ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
      if (n < 0) {
        if (errno == EINTR || errno == ENOBUFS) continue;  // ENOBUFS: some were lost; go on
        return false;
      }
      datagram.assign(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
}

void NetlinkUeventSource::Interrupt() {
  if (wake_[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(wake_[1], &c, 1);
    (void)ignored;
  }
}

}  // namespace platform
