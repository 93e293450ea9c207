// The serial system on termios and ioctl.
//
// "\\\\.\\" + name and a bare name open /dev/ + name; a path opens itself.
// The device is opened exclusively (TIOCEXCL plus flock) and without HUPCL,
// so closing it leaves DTR and RTS as they are.
//
// Overlapped transfers are emulated by one worker thread per device: a read
// that cannot be satisfied at once, and a write whose bytes have not yet left
// the driver (TIOCOUTQ not 0), end on the worker, which signals their event.
// The event wait polls the modem lines (TIOCMGET), the counters (TIOCGICOUNT)
// and the queues every few milliseconds; the received-flag event is not
// reported. On a pty the modem-line and counter ioctls fail: the device
// control block still applies, the error word stays 0, and GetCommModemStatus
// and the line escapes report the failure.
#pragma once

#include "platform/SerialCore.h"

namespace platform {

class PosixSerialSystem final : public ImitatingSerialSystem {
 public:
  std::unique_ptr<ISerialDevice> Open(const std::string& name) override;
  std::unique_ptr<ISerialEvent> NewEvent(bool manualReset, bool initiallySet) override;
  std::string ErrorText(std::uint32_t code) override;
  std::uint32_t InvalidHandleCode() override;
  std::uint32_t DeviceGoneCode() override;

  // The device path a name opens.
  static std::string DevicePath(const std::string& name);
};

// The speed helpers live in their own translation unit, as <asm/termbits.h>
// and <termios.h> cannot meet.
namespace posix_speed {
// Sets any rate through BOTHER; false with errno on failure.
bool SetRate(int fd, unsigned rate);
// The output rate the driver holds.
bool GetRate(int fd, unsigned& rate);
}  // namespace posix_speed

}  // namespace platform
