// Serial device enumeration: the serial device map, the DOS device names,
// the friendly names and device records of the Ports setup class. Every call
// asks the system anew; the lists are only appended to, in the order the
// system reports the entries.
#pragma once

#include <string>
#include <vector>

#include "framework/Strings.h"
#include "framework/SysUtils.h"

// The record of one Ports-class device. Wide texts are UTF-16 on every
// platform (std::u16string), as the device installer reports them. A field is
// empty whenever its property is absent, not text, or unreadable; the fields
// marked "always empty" stand for properties addressed by property key, which
// this system does not read.
struct TDeviceInfo {
  std::u16string Description;
  std::u16string MatchingDeviceId;  // always empty
  std::u16string PortName;
  std::u16string Driver;
  std::u16string DriverProvider;  // always empty
  std::u16string DriverVersion;   // always empty
  std::u16string EnumeratorName;
  std::u16string FriendlyName;
  std::u16string InstanceId;  // always empty
  std::u16string LocationInformation;
  std::u16string Manufacturer;
  std::u16string PhysicalDeviceObjectName;
  std::u16string BusReportedDescription;  // always empty
  std::u16string Service;

  bool operator==(const TDeviceInfo&) const = default;
};
using TDeviceInfos = std::vector<TDeviceInfo>;

// A registry value of the wrong type where text was required.
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// The lower-case text form of the Ports setup class GUID.
inline constexpr const char* kPortsClassGuid = "{4d36e978-e325-11ce-bfc1-08002be10318}";

// Appends every DOS device name.
void EnumDevices(TStrings& list);
// Appends the DOS device names that begin with "COM" or "\\.\COM".
void EnumComDevices(TStrings& list);
// Appends the port names of the serial device map (its text values' data).
void EnumComDevicesFromRegistry(TStrings& list);
// Appends the friendly names of every Ports-class instance of the device
// enumeration tree. A non-text "ClassGUID" raises ERegistryException; the
// names appended before it stay.
void EnumComFriendlyNames(TStrings& list);
// One record per present Ports-class device, in the system's order.
TDeviceInfos DeviceInfos();
// The record of the device whose port is name ("COM3" or "\\.\COM3");
// false and an all-empty record when there is none.
bool DeviceInfo(const std::string& name, TDeviceInfo& info);
