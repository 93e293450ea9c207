#include "platform/DeviceNotify.h"

#include <cstring>

namespace platform {

WindowMessage MakeDeviceChangeMessage(std::uintptr_t event, std::uint32_t deviceType, const std::string& name,
                                      std::string& storage) {
  std::size_t offset =
      deviceType == kDbtDevTypDeviceInterface ? kBroadcastInterfaceNameOffset : kBroadcastPortNameOffset;
  std::uint32_t size = static_cast<std::uint32_t>(offset + name.size() + 1);
  storage.assign(size, '\0');
  std::memcpy(storage.data(), &size, 4);
  std::memcpy(storage.data() + 4, &deviceType, 4);
  std::memcpy(storage.data() + offset, name.data(), name.size());
  WindowMessage m;
  m.Msg = kWmDeviceChange;
  m.WParam = event;
  m.LParam = reinterpret_cast<std::intptr_t>(storage.data());
  return m;
}

}  // namespace platform
