#include "platform/Devices.h"

#include <atomic>
#include <stdexcept>

namespace platform {

namespace {
std::atomic<IDevices*> g_devices{nullptr};
}  // namespace

IDevices& Devices() {
  IDevices* d = g_devices.load();
  if (d == nullptr) throw std::logic_error("no device seam installed");
  return *d;
}

IDevices* InstallDevices(IDevices* d) { return g_devices.exchange(d); }

std::optional<DeviceProperty>* PortsClassDevice::Property(DevicePropertyId id) {
  switch (id) {
    case DevicePropertyId::DeviceDesc:
      return &DeviceDesc;
    case DevicePropertyId::Service:
      return &Service;
    case DevicePropertyId::Driver:
      return &Driver;
    case DevicePropertyId::Mfg:
      return &Mfg;
    case DevicePropertyId::FriendlyName:
      return &FriendlyName;
    case DevicePropertyId::LocationInformation:
      return &LocationInformation;
    case DevicePropertyId::PhysicalDeviceObjectName:
      return &PhysicalDeviceObjectName;
    case DevicePropertyId::EnumeratorName:
      return &EnumeratorName;
  }
  return nullptr;
}

std::string Utf16Bytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2 + 2);
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  bytes.append(2, '\0');
  return bytes;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    char32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > text.size()) {
        len = 1;
      } else {
        cp = b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
          auto c = static_cast<unsigned char>(text[i + k]);
          if ((c & 0xC0) != 0x80) {
            cp = 0xFFFD;
            len = k;
            break;
          }
          cp = (cp << 6) | (c & 0x3F);
        }
      }
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

}  // namespace platform
