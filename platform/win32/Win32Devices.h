// The device seam on Windows: the registry, QueryDosDevice, SetupAPI and
// CreateFile, passed through.
#pragma once

#include "platform/Devices.h"

namespace platform {

class Win32Devices final : public IDevices {
 public:
  std::optional<std::vector<RegistryValue>> SerialDeviceMap() override;
  std::uint32_t QueryDosDevices(char* buffer, std::uint32_t capacity) override;
  std::unique_ptr<IRegistryKey> OpenKey(const std::string& path, KeyAccess access) override;
  std::optional<std::vector<PortsClassDevice>> PortsClassDevices() override;
  bool TestOpenPort(const std::string& devicePath) override;
};

}  // namespace platform
