#include "platform/win32/Win32Devices.h"

#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <vector>

namespace platform {

namespace {

// The Ports setup class (GUID_DEVCLASS_PORTS).
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Registry paths below HKEY_LOCAL_MACHINE are relative for the API.
std::string Relative(const std::string& path) {
  std::size_t i = 0;
  while (i < path.size() && path[i] == '\\') ++i;
  return path.substr(i);
}

class Win32Key final : public IRegistryKey {
 public:
  explicit Win32Key(HKEY key) : key_(key) {}
  ~Win32Key() override { RegCloseKey(key_); }
  Win32Key(const Win32Key&) = delete;
  Win32Key& operator=(const Win32Key&) = delete;

  long QueryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    DWORD t = 0;
    DWORD s = size != nullptr ? *size : 0;
    LONG rc = RegQueryValueExA(key_, name.c_str(), nullptr, &t, data, size != nullptr ? &s : nullptr);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = s;
    return rc;
  }

  std::vector<std::string> SubkeyNames() override {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD length = sizeof name;
      LONG rc = RegEnumKeyExA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_MORE_DATA) continue;
      if (rc != ERROR_SUCCESS) break;
      names.emplace_back(name, length);
    }
    return names;
  }

 private:
  HKEY key_;
};

// A device registry property in two calls: the size, then the data.
std::optional<DeviceProperty> ReadProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD type = 0, size = 0;
  if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
    return std::nullopt;
  std::vector<BYTE> buffer(size);
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, buffer.data(), size, nullptr))
    return std::nullopt;
  return DeviceProperty{type, std::string(buffer.begin(), buffer.end())};
}

}  // namespace

std::optional<std::vector<RegistryValue>> Win32Devices::SerialDeviceMap() {
  HKEY key = nullptr;
  const char* path = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS &&
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    std::vector<char> name(16384);
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name.data(), length);
  }
  std::vector<RegistryValue> values;
  for (const std::string& n : names) {
    RegistryValue v;
    v.Name = n;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, n.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) continue;
    v.Type = type;
    std::vector<BYTE> data(size);
    if (size > 0 && RegQueryValueExA(key, n.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
      continue;
    v.Data.assign(data.begin(), data.begin() + size);
    values.push_back(v);
  }
  RegCloseKey(key);
  return values;
}

std::uint32_t Win32Devices::QueryDosDevices(char* buffer, std::uint32_t capacity) {
  return QueryDosDeviceA(nullptr, buffer, capacity);
}

std::unique_ptr<IRegistryKey> Win32Devices::OpenKey(const std::string& path, KeyAccess access) {
  HKEY key = nullptr;
  const std::string relative = Relative(path);
  LONG rc = access == KeyAccess::Read ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, relative.c_str(), 0, KEY_READ, &key)
                                      : RegOpenKeyA(HKEY_LOCAL_MACHINE, relative.c_str(), &key);
  if (rc != ERROR_SUCCESS) return nullptr;
  return std::make_unique<Win32Key>(key);
}

std::optional<std::vector<PortsClassDevice>> Win32Devices::PortsClassDevices() {
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<PortsClassDevice> devices;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set, index, &data)) break;
    PortsClassDevice& d = devices.emplace_back();
    d.DeviceDesc = ReadProperty(set, data, SPDRP_DEVICEDESC);
    d.Driver = ReadProperty(set, data, SPDRP_DRIVER);
    d.EnumeratorName = ReadProperty(set, data, SPDRP_ENUMERATOR_NAME);
    d.FriendlyName = ReadProperty(set, data, SPDRP_FRIENDLYNAME);
    d.LocationInformation = ReadProperty(set, data, SPDRP_LOCATION_INFORMATION);
    d.Mfg = ReadProperty(set, data, SPDRP_MFG);
    d.PhysicalDeviceObjectName = ReadProperty(set, data, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    d.Service = ReadProperty(set, data, SPDRP_SERVICE);
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE && key != nullptr) {
      d.HasHardwareKey = true;
      DWORD type = 0, size = 0;
      if (RegQueryValueExW(key, L"PortName", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
          type == REG_SZ && size > 0) {
        std::vector<BYTE> buffer(size);
        if (RegQueryValueExW(key, L"PortName", nullptr, &type, buffer.data(), &size) == ERROR_SUCCESS)
          d.PortName = DeviceProperty{type, std::string(buffer.begin(), buffer.begin() + size)};
      }
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return devices;
}

bool Win32Devices::TestOpenPort(const std::string& devicePath) {
  HANDLE h = CreateFileA(devicePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace platform
