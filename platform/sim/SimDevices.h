// The simulated machine's devices: a registry, a DOS device listing, the
// Ports-class device records and the ports with who holds them open. By
// default it is a machine with one board adapter (FTDI 0403:6001, serial
// A50285BI, port COM5) beside a plain COM1; tests reshape it freely.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Devices.h"
#include "platform/RegistryTree.h"

namespace platform {

class SimDevices final : public IDevices {
 public:
  // withDefaults false: an empty machine.
  explicit SimDevices(bool withDefaults = true);

  std::optional<std::vector<RegistryValue>> SerialDeviceMap() override;
  std::uint32_t QueryDosDevices(char* buffer, std::uint32_t capacity) override;
  std::unique_ptr<IRegistryKey> OpenKey(const std::string& path, KeyAccess access) override;
  std::optional<std::vector<PortsClassDevice>> PortsClassDevices() override;
  bool TestOpenPort(const std::string& devicePath) override;
  TestOpenFailure LastTestOpenFailure() override { return lastFailure_; }

  // --- shaping the machine ---
  static constexpr const char* kSerialMapKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
  static constexpr const char* kFtdiDosSuffix = "#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  // The registry key of an FTDI adapter's device parameters, for its
  // instance text (serial number and channel letter).
  static std::string FtdiParametersKey(const std::string& vidPid, const std::string& instance);

  // A plain port: a serial device map entry, a DOS name, a device record.
  void AddPlainPort(const std::string& port);
  // An FTDI adapter with the instance text (serial and channel, such as
  // "A50285BIA") whose registered port is port: its DOS name, its registry
  // keys, the port's map entry, DOS name and device record.
  void AddFtdiAdapter(const std::string& instance, const std::string& port,
                      const std::string& vidPid = "VID_0403+PID_6001");

  RegistryTree& Registry() { return *registry_; }
  std::vector<std::string>& DosNames() { return dosNames_; }
  std::vector<PortsClassDevice>& Records() { return records_; }
  // The ports that exist (compared without regard to case, as device names are).
  void AddPort(const std::string& port) { ports_.insert(Upper(port)); }
  void RemovePort(const std::string& port) { ports_.erase(Upper(port)); }
  // Another program (or this one's serial port) holds the port open.
  void Hold(const std::string& port) { held_.insert(Upper(port)); }
  void Release(const std::string& port) { held_.erase(Upper(port)); }
  bool Held(const std::string& port) const { return held_.count(Upper(port)) > 0; }
  // The user may not open the port's device node (as a Linux user outside
  // the group dialout may not open /dev/ttyUSB0).
  void Deny(const std::string& port, const std::string& node) { denied_[Upper(port)] = node; }
  // Asked by the test-open as well: whether this program's own serial port
  // holds the port (a short name, in upper case).
  void SetOwnPortQuery(std::function<bool(const std::string& port)> q) { ownPort_ = std::move(q); }
  // Makes the whole DOS listing fail, as when it does not fit.
  void SetDosListingFails(bool on) { dosListingFails_ = on; }
  void SetDeviceSetFails(bool on) { deviceSetFails_ = on; }

  int TestOpens() const { return testOpens_; }

 private:
  static std::string Upper(std::string s);
  static std::string ShortName(const std::string& devicePath);

  std::shared_ptr<RegistryTree> registry_;
  std::vector<std::string> dosNames_;
  std::vector<PortsClassDevice> records_;
  std::set<std::string> ports_;
  std::set<std::string> held_;
  std::map<std::string, std::string> denied_;
  TestOpenFailure lastFailure_;
  std::function<bool(const std::string&)> ownPort_;
  bool dosListingFails_ = false;
  bool deviceSetFails_ = false;
  int serialIndex_ = 0;
  int testOpens_ = 0;
};

}  // namespace platform
