#include "discovery/Enumeration.h"

#include <cctype>
#include <cstdint>
#include <memory>

#include "platform/Devices.h"

namespace {

using platform::DeviceProperty;
using platform::IRegistryKey;
using platform::KeyAccess;

const std::string kDevicePrefix = "\\\\.\\";

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Narrow registry text: the data up to its first NUL.
std::string NarrowText(const std::string& data) { return data.substr(0, data.find('\0')); }

// Wide text from UTF-16 little-endian bytes, up to the first NUL (or to the
// end of the data when it holds none).
std::u16string WideText(const std::string& bytes) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (c == 0) break;
    out += c;
  }
  return out;
}

// A device property counts only when it is text with data.
std::u16string PropertyText(const std::optional<DeviceProperty>& p) {
  if (!p || p->Type != platform::kRegSz || p->Data.empty()) return {};
  return WideText(p->Data);
}

// The whole DOS device listing, split into its names (empty ones included).
std::vector<std::string> DosDeviceNames() {
  std::vector<std::string> names;
  std::vector<char> buffer(platform::kDosDeviceCapacity);
  std::uint32_t n = platform::Devices().QueryDosDevices(buffer.data(), platform::kDosDeviceCapacity);
  if (n > buffer.size()) n = static_cast<std::uint32_t>(buffer.size());
  std::string name;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (buffer[i] == '\0') {
      names.push_back(name);
      name.clear();
    } else {
      name += buffer[i];
    }
  }
  return names;
}

// A value's type and data, read as the registry layer reads it: size first,
// then the data. nullopt when the value is absent or cannot be read.
std::optional<platform::RegistryValue> ReadValue(IRegistryKey& key, const std::string& name) {
  std::uint32_t type = 0, size = 0;
  if (key.QueryValue(name, &type, nullptr, &size) != platform::kErrorSuccess) return std::nullopt;
  std::string data(size, '\0');
  if (size > 0 && key.QueryValue(name, &type, reinterpret_cast<std::uint8_t*>(data.data()), &size) !=
                      platform::kErrorSuccess)
    return std::nullopt;
  data.resize(size);
  return platform::RegistryValue{name, type, data};
}

// A text value that must be text if present: absent reads as empty.
std::string ReadTextValue(IRegistryKey& key, const std::string& name) {
  std::optional<platform::RegistryValue> v = ReadValue(key, name);
  if (!v) return {};
  if (v->Type != platform::kRegSz && v->Type != platform::kRegExpandSz)
    throw ERegistryException("Ungültiger Datentyp für '" + name + "'");
  return NarrowText(v->Data);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

void EnumDevices(TStrings& list) {
  for (const std::string& name : DosDeviceNames())
    if (!name.empty()) list.Add(name);
}

void EnumComDevices(TStrings& list) {
  for (const std::string& name : DosDeviceNames())
    if (StartsWith(name, "COM") || StartsWith(name, kDevicePrefix + "COM")) list.Add(name);
}

void EnumComDevicesFromRegistry(TStrings& list) {
  std::optional<std::vector<platform::RegistryValue>> values = platform::Devices().SerialDeviceMap();
  if (!values) return;
  for (const platform::RegistryValue& v : *values)
    if (v.Type == platform::kRegSz) list.Add(NarrowText(v.Data));
}

void EnumComFriendlyNames(TStrings& list) {
  platform::IDevices& devices = platform::Devices();
  const std::string root = "\\SYSTEM\\CurrentControlSet\\Enum";
  std::unique_ptr<IRegistryKey> rootKey = devices.OpenKey(root, KeyAccess::Read);
  if (!rootKey) return;
  const std::vector<std::string> enumerators = rootKey->SubkeyNames();
  rootKey.reset();
  for (const std::string& e : enumerators) {
    const std::string ePath = root + "\\" + e;
    std::unique_ptr<IRegistryKey> eKey = devices.OpenKey(ePath, KeyAccess::Read);
    if (!eKey) continue;
    const std::vector<std::string> deviceIds = eKey->SubkeyNames();
    eKey.reset();
    for (const std::string& d : deviceIds) {
      const std::string dPath = ePath + "\\" + d;
      std::unique_ptr<IRegistryKey> dKey = devices.OpenKey(dPath, KeyAccess::Read);
      if (!dKey) continue;
      const std::vector<std::string> instances = dKey->SubkeyNames();
      dKey.reset();
      for (const std::string& i : instances) {
        std::unique_ptr<IRegistryKey> iKey = devices.OpenKey(dPath + "\\" + i, KeyAccess::Read);
        if (!iKey) continue;
        if (Lower(ReadTextValue(*iKey, "ClassGUID")) != kPortsClassGuid) continue;
        std::optional<platform::RegistryValue> friendly = ReadValue(*iKey, "FriendlyName");
        if (friendly && friendly->Type == platform::kRegSz) list.Add(NarrowText(friendly->Data));
      }
    }
  }
}

TDeviceInfos DeviceInfos() {
  TDeviceInfos result;
  std::optional<std::vector<platform::PortsClassDevice>> devices = platform::Devices().PortsClassDevices();
  if (!devices) return result;
  for (const platform::PortsClassDevice& d : *devices) {
    TDeviceInfo& info = result.emplace_back();
    info.Description = PropertyText(d.DeviceDesc);
    info.Driver = PropertyText(d.Driver);
    info.EnumeratorName = PropertyText(d.EnumeratorName);
    info.FriendlyName = PropertyText(d.FriendlyName);
    info.LocationInformation = PropertyText(d.LocationInformation);
    info.Manufacturer = PropertyText(d.Mfg);
    info.PhysicalDeviceObjectName = PropertyText(d.PhysicalDeviceObjectName);
    info.Service = PropertyText(d.Service);
    if (d.HasHardwareKey) info.PortName = PropertyText(d.PortName);
  }
  return result;
}

bool DeviceInfo(const std::string& name, TDeviceInfo& info) {
  info = TDeviceInfo{};
  const std::u16string wide = platform::Utf8ToUtf16(name);
  const std::u16string prefix = u"\\\\.\\";
  for (const TDeviceInfo& record : DeviceInfos()) {
    // A device without a port name has no port to be found by.
    if (record.PortName.empty()) continue;
    if (wide == record.PortName || wide == prefix + record.PortName) {
      info = record;
      return true;
    }
  }
  return false;
}
