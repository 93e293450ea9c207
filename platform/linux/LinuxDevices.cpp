#include "platform/linux/LinuxDevices.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace platform {

namespace fs = std::filesystem;

namespace {

const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum";
const std::string kPortsGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const std::string kSerialMap = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kFtdiDosSuffix = "#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : fallback;
}

// A sysfs attribute's text without its trailing line break and blanks.
std::string ReadAttr(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return {};
  std::string s;
  std::getline(in, s, '\0');
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Name order with digit runs compared as numbers.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

DeviceProperty Wide(const std::string& text) { return DeviceProperty{kRegSz, Utf16Bytes(Utf8ToUtf16(text))}; }

std::optional<DeviceProperty> WideIfAny(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return Wide(text);
}

std::string FriendlyName(const SysfsTty& t) {
  std::string what = t.Description();
  if (what.empty()) what = t.Driver;
  return what.empty() ? t.Name : what + " (" + t.Name + ")";
}

std::string EnumeratorOf(const SysfsTty& t) {
  if (t.Ftdi) return "FTDIBUS";
  if (t.Usb) return "USB";
  return t.Subsystem.empty() ? "ROOT" : Upper(t.Subsystem);
}

thread_local TestOpenFailure t_lastTestOpen;

}  // namespace

std::string SysfsTty::NoSerialName(const std::string& usbDevice) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : usbDevice) {
    h ^= c;
    h *= 16777619u;
  }
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(h));
  return text;
}

std::string LinuxDevices::SysfsRoot() { return EnvOr("QUORVALTINE_SYSFS_ROOT", "/sys"); }
std::string LinuxDevices::DevRoot() { return EnvOr("QUORVALTINE_DEV_ROOT", "/dev"); }

std::vector<SysfsTty> LinuxDevices::ScanTtys() {
  std::vector<SysfsTty> ttys;
  const fs::path root = SysfsRoot();
  std::error_code ec;
  fs::directory_iterator it(root / "class" / "tty", ec);
  if (ec) return ttys;
  for (const fs::directory_entry& e : it) {
    const fs::path deviceLink = e.path() / "device";
    if (!fs::exists(deviceLink, ec)) continue;
    // A serial-core port the kernel set up without finding a UART.
    if (fs::exists(e.path() / "type", ec) && ReadAttr(e.path() / "type") == "0") continue;
    fs::path device = fs::canonical(deviceLink, ec);
    if (ec) continue;
    SysfsTty t;
    t.Name = e.path().filename().string();
    t.Driver = LinkName(device / "driver");
    t.Module = LinkName(device / "driver" / "module");
    if (t.Module.empty()) t.Module = t.Driver;
    t.Subsystem = LinkName(device / "subsystem");
    t.Location = device.filename().string();
    // The USB interface is the device itself (cdc_acm) or one of its
    // parents (usb-serial drivers); the USB device holds the interface.
    const fs::path canonicalRoot = fs::canonical(root, ec);
    for (fs::path p = device; !p.empty() && p != canonicalRoot && p != p.root_path(); p = p.parent_path()) {
      if (!fs::exists(p / "bInterfaceNumber", ec)) continue;
      const fs::path usb = p.parent_path();
      if (!fs::exists(usb / "idVendor", ec)) break;
      t.Usb = true;
      t.Ftdi = LinkName(p / "driver") == "ftdi_sio";
      t.Location = p.filename().string();
      t.VendorId = Upper(ReadAttr(usb / "idVendor"));
      t.ProductId = Upper(ReadAttr(usb / "idProduct"));
      t.Serial = ReadAttr(usb / "serial");
      t.UsbDevice = usb.filename().string();
      t.Manufacturer = ReadAttr(usb / "manufacturer");
      t.Product = ReadAttr(usb / "product");
      t.InterfaceText = ReadAttr(p / "interface");
      char* end = nullptr;
      const std::string number = ReadAttr(p / "bInterfaceNumber");
      long n = std::strtol(number.c_str(), &end, 16);
      if (end != number.c_str() && n >= 0 && n < 26) t.Channel = static_cast<char>('A' + n);
      break;
    }
    ttys.push_back(t);
  }
  std::sort(ttys.begin(), ttys.end(),
            [](const SysfsTty& a, const SysfsTty& b) { return NaturalLess(a.Name, b.Name); });
  return ttys;
}

RegistryTree LinuxDevices::BuildRegistry(const std::vector<SysfsTty>& ttys) {
  RegistryTree tree;
  tree.CreateKey(kSerialMap);
  tree.CreateKey(kEnum);
  for (const SysfsTty& t : ttys) {
    tree.SetText(kSerialMap, "\\Device\\" + t.Name, t.Name);
    std::string instance;
    if (t.Ftdi) {
      instance = kEnum + "\\FTDIBUS\\" + t.VidPid() + "+" + t.FtdiInstance() + "\\0000";
    } else if (t.Usb) {
      instance = kEnum + "\\USB\\VID_" + t.VendorId + "&PID_" + t.ProductId + "\\" + t.Location;
    } else {
      instance =
          kEnum + "\\" + EnumeratorOf(t) + "\\" + (t.Driver.empty() ? "tty" : t.Driver) + "\\" + t.Name;
    }
    tree.SetText(instance, "ClassGUID", kPortsGuid);
    tree.SetText(instance, "FriendlyName", FriendlyName(t));
    tree.SetText(instance + "\\Device Parameters", "PortName", t.Name);
  }
  return tree;
}

std::optional<std::vector<RegistryValue>> LinuxDevices::SerialDeviceMap() {
  std::vector<RegistryValue> values;
  for (const SysfsTty& t : ScanTtys())
    values.push_back(RegistryValue{"\\Device\\" + t.Name, kRegSz, RegText(t.Name)});
  return values;
}

std::uint32_t LinuxDevices::QueryDosDevices(char* buffer, std::uint32_t capacity) {
  const std::vector<SysfsTty> ttys = ScanTtys();
  std::string all;
  for (const SysfsTty& t : ttys) {
    all += t.Name;
    all += '\0';
  }
  for (const SysfsTty& t : ttys) {
    if (!t.Ftdi) continue;
    all += "FTDIBUS#" + t.VidPid() + "+" + t.FtdiInstance() + kFtdiDosSuffix;
    all += '\0';
  }
  all += '\0';
  if (all.size() > capacity) return 0;
  std::memcpy(buffer, all.data(), all.size());
  return static_cast<std::uint32_t>(all.size());
}

std::unique_ptr<IRegistryKey> LinuxDevices::OpenKey(const std::string& path, KeyAccess) {
  return RegistryTree::Open(std::make_shared<const RegistryTree>(BuildRegistry(ScanTtys())), path);
}

std::optional<std::vector<PortsClassDevice>> LinuxDevices::PortsClassDevices() {
  std::vector<PortsClassDevice> records;
  for (const SysfsTty& t : ScanTtys()) {
    PortsClassDevice d;
    d.DeviceDesc = WideIfAny(t.Description());
    d.Mfg = WideIfAny(t.Manufacturer);
    d.Driver = WideIfAny(t.Driver);
    d.EnumeratorName = WideIfAny(EnumeratorOf(t));
    d.FriendlyName = WideIfAny(FriendlyName(t));
    d.LocationInformation = WideIfAny(t.Location);
    d.Service = WideIfAny(t.Module);
    d.HasHardwareKey = true;
    d.PortName = Wide(t.Name);
    records.push_back(d);
  }
  return records;
}

TestOpenFailure LinuxDevices::LastTestOpenFailure() { return t_lastTestOpen; }

bool LinuxDevices::TestOpenPort(const std::string& devicePath) {
  t_lastTestOpen = TestOpenFailure{};
  const std::string prefix = "\\\\.\\";
  std::string name =
      devicePath.compare(0, prefix.size(), prefix) == 0 ? devicePath.substr(prefix.size()) : devicePath;
  // Only a plain device name below the device root.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
  const std::string path = DevRoot() + "/" + name;
  t_lastTestOpen.DeviceNode = path;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // EBUSY: the tty is in exclusive mode for another program.
    if (errno == EACCES || errno == EPERM) t_lastTestOpen.What = TestOpenFailure::Kind::Denied;
    if (errno == EBUSY) t_lastTestOpen.What = TestOpenFailure::Kind::Busy;
    return false;
  }
  // A program holding the tty with exclusive use makes the open above fail,
  // except for root; asking for the mode catches that case too. A program
  // holding it under a lock fails the flock.
  bool ok = true;
  bool held = false;
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    ok = false;
    held = true;
  }
#endif
  ok = ok && ::ioctl(fd, TIOCEXCL) == 0;
  const bool setExclusive = ok;
  if (ok && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ok = false;
    held = errno == EWOULDBLOCK;
  }
  // Leave no exclusive mode behind on a tty that others may share.
  if (setExclusive) (void)::ioctl(fd, TIOCNXCL);
  ::close(fd);
  if (held) t_lastTestOpen.What = TestOpenFailure::Kind::Busy;
  return ok;
}

}  // namespace platform
