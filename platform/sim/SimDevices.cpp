#include "platform/sim/SimDevices.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform {

namespace {

// Plain texts: FtdiParametersKey may run during other units' static start-up.
constexpr const char* kEnum = "SYSTEM\\CurrentControlSet\\Enum";
constexpr const char* kPortsGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

DeviceProperty WideProperty(const std::string& text) {
  return DeviceProperty{kRegSz, Utf16Bytes(Utf8ToUtf16(text))};
}

}  // namespace

SimDevices::SimDevices(bool withDefaults) : registry_(std::make_shared<RegistryTree>()) {
  registry_->CreateKey(kSerialMapKey);
  registry_->CreateKey(kEnum);
  if (!withDefaults) return;
  dosNames_ = {"C:", "PhysicalDrive0", "COM1"};
  AddPlainPort("COM1");
  AddFtdiAdapter("A50285BIA", "COM5");
  dosNames_.push_back("NUL");
}

std::string SimDevices::Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string SimDevices::ShortName(const std::string& devicePath) {
  const std::string prefix = "\\\\.\\";
  if (devicePath.compare(0, prefix.size(), prefix) == 0) return devicePath.substr(prefix.size());
  return devicePath;
}

std::string SimDevices::FtdiParametersKey(const std::string& vidPid, const std::string& instance) {
  return std::string(kEnum) + "\\FTDIBUS\\" + vidPid + "+" + instance + "\\0000\\Device Parameters";
}

void SimDevices::AddPlainPort(const std::string& port) {
  registry_->SetText(kSerialMapKey, "\\Device\\Serial" + std::to_string(serialIndex_++), port);
  if (std::find(dosNames_.begin(), dosNames_.end(), port) == dosNames_.end()) dosNames_.push_back(port);
  const std::string instance = std::string(kEnum) + "\\ACPI\\PNP0501\\" + std::to_string(records_.size());
  registry_->SetText(instance, "ClassGUID", kPortsGuid);
  registry_->SetText(instance, "FriendlyName", "Kommunikationsanschluss (" + port + ")");
  registry_->SetText(instance + "\\Device Parameters", "PortName", port);
  PortsClassDevice d;
  d.DeviceDesc = WideProperty("Kommunikationsanschluss");
  d.FriendlyName = WideProperty("Kommunikationsanschluss (" + port + ")");
  d.Mfg = WideProperty("(Standardanschlusstypen)");
  d.Service = WideProperty("Serial");
  d.EnumeratorName = WideProperty("ACPI");
  d.HasHardwareKey = true;
  d.PortName = WideProperty(port);
  records_.push_back(d);
  AddPort(port);
}

void SimDevices::AddFtdiAdapter(const std::string& instance, const std::string& port,
                                const std::string& vidPid) {
  dosNames_.push_back("FTDIBUS#" + vidPid + "+" + instance + kFtdiDosSuffix);
  const std::string device = std::string(kEnum) + "\\FTDIBUS\\" + vidPid + "+" + instance + "\\0000";
  registry_->SetText(device, "ClassGUID", kPortsGuid);
  registry_->SetText(device, "FriendlyName", "USB Serial Port (" + port + ")");
  registry_->SetText(FtdiParametersKey(vidPid, instance), "PortName", port);
  registry_->SetText(kSerialMapKey, "\\Device\\VCP" + std::to_string(serialIndex_++), port);
  if (std::find(dosNames_.begin(), dosNames_.end(), port) == dosNames_.end()) dosNames_.push_back(port);
  PortsClassDevice d;
  d.DeviceDesc = WideProperty("USB Serial Port");
  d.FriendlyName = WideProperty("USB Serial Port (" + port + ")");
  d.Mfg = WideProperty("FTDI");
  d.Service = WideProperty("FTSER2K");
  d.EnumeratorName = WideProperty("FTDIBUS");
  d.HasHardwareKey = true;
  d.PortName = WideProperty(port);
  records_.push_back(d);
  AddPort(port);
}

std::optional<std::vector<RegistryValue>> SimDevices::SerialDeviceMap() {
  const RegistryTree::Node* key = registry_->Find(kSerialMapKey);
  if (key == nullptr) return std::nullopt;
  return key->Values;
}

std::uint32_t SimDevices::QueryDosDevices(char* buffer, std::uint32_t capacity) {
  if (dosListingFails_) return 0;
  std::string all;
  for (const std::string& n : dosNames_) {
    all += n;
    all += '\0';
  }
  all += '\0';
  if (all.size() > capacity) return 0;
  std::memcpy(buffer, all.data(), all.size());
  return static_cast<std::uint32_t>(all.size());
}

std::unique_ptr<IRegistryKey> SimDevices::OpenKey(const std::string& path, KeyAccess) {
  return RegistryTree::Open(registry_, path);
}

std::optional<std::vector<PortsClassDevice>> SimDevices::PortsClassDevices() {
  if (deviceSetFails_) return std::nullopt;
  return records_;
}

bool SimDevices::TestOpenPort(const std::string& devicePath) {
  ++testOpens_;
  const std::string port = Upper(ShortName(devicePath));
  lastFailure_ = TestOpenFailure{};
  if (ports_.count(port) > 0 && denied_.count(port) > 0) {
    lastFailure_.What = TestOpenFailure::Kind::Denied;
    lastFailure_.DeviceNode = denied_[port];
    return false;
  }
  const bool held = held_.count(port) > 0 || (ownPort_ && ownPort_(port));
  if (held) lastFailure_.What = TestOpenFailure::Kind::Busy;
  return ports_.count(port) > 0 && !held;
}

}  // namespace platform
