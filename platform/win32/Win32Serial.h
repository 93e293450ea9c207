// The serial system on the Windows communications interface: a thin
// pass-through; the last-error code is the thread's GetLastError.
#pragma once

#include "platform/SerialDriver.h"

namespace platform {

class Win32SerialSystem final : public ISerialSystem {
 public:
  std::unique_ptr<ISerialDevice> Open(const std::string& name) override;
  std::unique_ptr<ISerialEvent> NewEvent(bool manualReset, bool initiallySet) override;
  std::uint32_t LastError() override;
  void SetLastError(std::uint32_t code) override;
  std::string ErrorText(std::uint32_t code) override;
  std::uint32_t InvalidHandleCode() override { return 6; }
  // ERROR_ACCESS_DENIED: what the wait of a vanished USB serial device gives.
  std::uint32_t DeviceGoneCode() override { return 5; }

  bool HasConfigDialog() override { return true; }
  bool GetDefaultConfig(const std::string& shortName, Dcb& dcb) override;
  bool RunConfigDialog(const std::string& shortName, Dcb& dcb, bool& confirmed) override;
  bool SetDefaultConfig(const std::string& shortName, const Dcb& dcb) override;
};

}  // namespace platform
