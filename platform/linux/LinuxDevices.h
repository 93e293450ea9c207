// The device seam on Linux, from sysfs: the ttys that have a real device
// behind them stand for the serial device map; a tty driven by an FTDI USB
// interface gets a DOS device name of the Windows driver's form and the
// registry keys that driver writes, so the port search finds it the same
// way. Enumeration only reads sysfs; it never opens a port (opening a tty
// raises DTR, which is the board's reset line).
//
// The sysfs root is /sys unless QUORVALTINE_SYSFS_ROOT names another tree;
// device paths ("\\.\ttyUSB0") open below /dev unless QUORVALTINE_DEV_ROOT
// names another directory.
#pragma once

#include <string>
#include <vector>

#include "platform/Devices.h"
#include "platform/RegistryTree.h"

namespace platform {

// One tty with a device behind it, as sysfs describes it.
struct SysfsTty {
  std::string Name;       // ttyUSB0
  std::string Driver;     // driver of the tty's device: ftdi_sio, serial8250
  std::string Module;     // its kernel module, or the driver name
  std::string Subsystem;  // bus of the tty's device: usb-serial, platform
  std::string Location;   // name of the USB interface or of the device
  bool Usb = false;       // behind a USB interface
  bool Ftdi = false;      // behind a USB interface driven by ftdi_sio
  std::string VendorId;   // upper-case hex, USB only
  std::string ProductId;  // upper-case hex, USB only
  std::string Serial;     // USB only; may be empty
  std::string UsbDevice;  // the USB device's sysfs name (its port path: 1-1.4)
  char Channel = 'A';     // 'A' + interface number
  std::string Manufacturer;
  std::string Product;
  std::string InterfaceText;  // the interface's own description

  // The FTDI driver's instance text: serial number and channel letter. An
  // adapter without a serial number gets eight characters in its place,
  // made from the USB port it is plugged into (NoSerialName).
  std::string FtdiInstance() const { return (Serial.empty() ? NoSerialName(UsbDevice) : Serial) + Channel; }
  // Eight upper-case hex digits, the FNV-1a hash of the USB port path: the
  // same for the same socket, different for two sockets.
  static std::string NoSerialName(const std::string& usbDevice);
  std::string VidPid() const { return "VID_" + VendorId + "+PID_" + ProductId; }
  std::string Description() const { return !InterfaceText.empty() ? InterfaceText : Product; }
};

class LinuxDevices final : public IDevices {
 public:
  std::optional<std::vector<RegistryValue>> SerialDeviceMap() override;
  std::uint32_t QueryDosDevices(char* buffer, std::uint32_t capacity) override;
  std::unique_ptr<IRegistryKey> OpenKey(const std::string& path, KeyAccess access) override;
  std::optional<std::vector<PortsClassDevice>> PortsClassDevices() override;
  bool TestOpenPort(const std::string& devicePath) override;
  TestOpenFailure LastTestOpenFailure() override;

  // The ttys with a device, in a stable order (by name, numbers compared
  // as numbers: ttyS2 before ttyS10). Serial-core ports without a UART
  // behind them (type 0, as most of ttyS0 to ttyS31 are) are left out.
  static std::vector<SysfsTty> ScanTtys();
  // The registry the Windows drivers would have written for these ttys.
  static RegistryTree BuildRegistry(const std::vector<SysfsTty>& ttys);
  static std::string SysfsRoot();
  static std::string DevRoot();
};

}  // namespace platform
