// termios2 for arbitrary rates; kept apart from <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform/linux/PosixSerial.h"

namespace platform::posix_speed {

bool SetRate(int fd, unsigned rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetRate(int fd, unsigned& rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  rate = t.c_ospeed;
  return true;
}

}  // namespace platform::posix_speed
