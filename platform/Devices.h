// The device seam: what the port discovery and the device enumeration need of
// the system, with the semantics of the Windows calls they are written
// against (the serial device map of the registry, the DOS device listing,
// registry keys below HKEY_LOCAL_MACHINE, the device records of the Ports
// setup class and the exclusive test-open of a port).
//
// Texts are narrow (8-bit) unless named wide; wide texts are UTF-16.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Registry value types and result codes, with their Windows values.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorMoreData = 234;

// The capacity QueryDosDevice is called with, in characters.
constexpr std::uint32_t kDosDeviceCapacity = 65535;

// One value of a registry key: its name, type and raw data. Text data
// includes its terminating NUL, as the registry stores it.
struct RegistryValue {
  std::string Name;
  std::uint32_t Type = kRegNone;
  std::string Data;
};

// One device property as the device installer gives it: its type and raw
// data (wide texts as UTF-16 little-endian bytes, NUL included).
struct DeviceProperty {
  std::uint32_t Type = kRegNone;
  std::string Data;
};

// The device registry properties the records use, with their Windows
// numbers (SPDRP_...).
enum class DevicePropertyId : int {
  DeviceDesc = 0,
  Service = 4,
  Driver = 9,
  Mfg = 11,
  FriendlyName = 12,
  LocationInformation = 13,
  PhysicalDeviceObjectName = 14,
  EnumeratorName = 22,
};

// One present device of the Ports setup class.
struct PortsClassDevice {
  // The eight registry properties; nullopt where the device has none.
  std::optional<DeviceProperty> DeviceDesc, Driver, EnumeratorName, FriendlyName, LocationInformation, Mfg,
      PhysicalDeviceObjectName, Service;
  // Whether the device's hardware registry key could be opened, and its
  // value "PortName" (nullopt when it has none).
  bool HasHardwareKey = false;
  std::optional<DeviceProperty> PortName;

  std::optional<DeviceProperty>* Property(DevicePropertyId id);
};

// An open registry key; closing it is destroying it.
class IRegistryKey {
 public:
  virtual ~IRegistryKey() = default;
  // RegQueryValueEx: the value's type, and its data into data (capacity
  // *size bytes, may be null to ask for the size). On return *size is the
  // data's length. kErrorMoreData when the data do not fit (data then
  // unspecified), kErrorFileNotFound when there is no such value.
  virtual long QueryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) = 0;
  // The names of the key's subkeys, in the registry's enumeration order.
  virtual std::vector<std::string> SubkeyNames() = 0;
};

// How a key is opened: as RegOpenKey does (the widest access the caller is
// allowed), or for reading only (KEY_READ).
enum class KeyAccess { Default, Read };

// Why a test-open failed, where the system tells.
struct TestOpenFailure {
  enum class Kind {
    Unknown,  // no more is known (Windows: access denied is also a held port)
    Busy,     // another program holds the port
    Denied,   // the user may not open the device node
  };
  Kind What = Kind::Unknown;
  std::string DeviceNode;  // the node that was opened, such as /dev/ttyUSB0
};

class IDevices {
 public:
  virtual ~IDevices() = default;

  // The values of the serial device map (HARDWARE\DEVICEMAP\SERIALCOMM) in
  // the registry's enumeration order; nullopt when the map cannot be opened.
  virtual std::optional<std::vector<RegistryValue>> SerialDeviceMap() = 0;

  // QueryDosDevice(NULL, buffer, capacity): stores every DOS device name,
  // each ended by a NUL, the whole list ended by one more NUL, and returns
  // the number of characters stored; 0 when the names do not fit or the
  // listing fails.
  virtual std::uint32_t QueryDosDevices(char* buffer, std::uint32_t capacity) = 0;

  // Opens a key by its path below HKEY_LOCAL_MACHINE (a leading backslash is
  // allowed; names are compared without regard to case); nullptr when it
  // cannot be opened.
  virtual std::unique_ptr<IRegistryKey> OpenKey(const std::string& path, KeyAccess access) = 0;

  // The present devices of the Ports setup class in the order of the
  // device information set; nullopt when the set cannot be obtained.
  virtual std::optional<std::vector<PortsClassDevice>> PortsClassDevices() = 0;

  // Opens the device path for reading with no sharing, only if it exists,
  // and closes it at once: whether the port could be opened exclusively.
  virtual bool TestOpenPort(const std::string& devicePath) = 0;
  // Why the last TestOpenPort of this thread failed.
  virtual TestOpenFailure LastTestOpenFailure() { return {}; }
};

IDevices& Devices();
// Installs the device seam; the caller keeps ownership. Returns the previous one.
IDevices* InstallDevices(IDevices* d);

// Text helpers shared by the backends.
std::string Utf16Bytes(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);
// A registry text as stored: the characters and one terminating NUL.
inline std::string RegText(const std::string& text) { return text + '\0'; }

}  // namespace platform
