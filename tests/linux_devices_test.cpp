// The Linux device seam over fake sysfs trees shaped like a real machine: an
// FTDI adapter on ttyUSB0, a plain ttyS0 and a non-FTDI USB adapter, plus a
// tty without a device. The test-open over a pty under a fake /dev.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/PortSearch.h"
#include "discovery/Enumeration.h"
#include "platform/linux/LinuxDevices.h"
#include "tests/support/Child.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l[i]);
  return v;
}

class FakeSysfs {
 public:
  FakeSysfs() : root_(qvtest::MakeTempDir()) {
    fs::create_directories(root_ / "class" / "tty");
    setenv("QUORVALTINE_SYSFS_ROOT", root_.c_str(), 1);
  }
  ~FakeSysfs() {
    unsetenv("QUORVALTINE_SYSFS_ROOT");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& Root() const { return root_; }

  void Attr(const fs::path& dir, const std::string& name, const std::string& text) {
    fs::create_directories(dir);
    qvtest::WriteFile((dir / name).string(), text + "\n");
  }
  void Link(const fs::path& at, const fs::path& target) {
    fs::create_directories(at.parent_path());
    fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
  }
  fs::path Driver(const std::string& bus, const std::string& name, const std::string& module = "") {
    fs::path d = root_ / "bus" / bus / "drivers" / name;
    fs::create_directories(d);
    if (!module.empty() && !fs::exists(d / "module")) {
      fs::create_directories(root_ / "module" / module);
      Link(d / "module", root_ / "module" / module);
    }
    return d;
  }
  // class/tty/NAME -> DEVICE/tty/NAME, whose "device" is DEVICE.
  void Tty(const std::string& name, const fs::path& device) {
    fs::path node = device / "tty" / name;
    Attr(node, "dev", "188:0");
    Link(node / "device", device);
    Link(root_ / "class" / "tty" / name, node);
  }
  // A USB device with one interface; returns the interface directory.
  fs::path Usb(const std::string& port, const std::string& vid, const std::string& pid,
               const std::string& serial, const std::string& manufacturer, const std::string& product,
               const std::string& ifDriver, const std::string& ifModule, int ifNumber = 0) {
    fs::path usb = root_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
    Attr(usb, "idVendor", vid);
    Attr(usb, "idProduct", pid);
    if (!serial.empty()) Attr(usb, "serial", serial);
    Attr(usb, "manufacturer", manufacturer);
    Attr(usb, "product", product);
    fs::path intf = usb / (port + ":1." + std::to_string(ifNumber));
    char number[8];
    std::snprintf(number, sizeof number, "%02x", ifNumber);
    Attr(intf, "bInterfaceNumber", number);
    Link(intf / "driver", Driver("usb", ifDriver, ifModule));
    return intf;
  }

  // The machine of the tests: ttyS0 on the platform bus, the board's FTDI
  // adapter on ttyUSB0, a CH340 adapter on ttyUSB1, and a console tty.
  void StandardMachine() {
    fs::path serial8250 = root_ / "devices" / "platform" / "serial8250";
    fs::create_directories(serial8250);
    Link(serial8250 / "driver", Driver("platform", "serial8250"));
    fs::create_directories(root_ / "bus" / "platform");
    Link(serial8250 / "subsystem", root_ / "bus" / "platform");
    Tty("ttyS0", serial8250);

    fs::path ftdi = Usb("1-1", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART", "ftdi_sio", "ftdi_sio");
    fs::path port0 = ftdi / "ttyUSB0";
    fs::create_directories(port0);
    Link(port0 / "driver", Driver("usb-serial", "ftdi_sio", "ftdi_sio"));
    Tty("ttyUSB0", port0);

    fs::path ch = Usb("1-2", "1a86", "7523", "", "QinHeng", "USB Serial", "ch341", "ch341");
    fs::path port1 = ch / "ttyUSB1";
    fs::create_directories(port1);
    Link(port1 / "driver", Driver("usb-serial", "ch341-uart", "ch341"));
    Tty("ttyUSB1", port1);

    // No device behind it: not a serial port.
    Attr(root_ / "devices" / "virtual" / "tty" / "tty1", "dev", "4:1");
    Link(root_ / "class" / "tty" / "tty1", root_ / "devices" / "virtual" / "tty" / "tty1");
  }

 private:
  fs::path root_;
};

const std::string kFtdiName =
    "FTDIBUS#VID_0403+PID_6001+A50285BIA#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

class LinuxDevicesTest : public ::testing::Test {
 protected:
  FakeSysfs sysfs;
  platform::LinuxDevices devices;
  void SetUp() override {
    sysfs.StandardMachine();
    platform::InstallDevices(&devices);
  }
  void TearDown() override { platform::InstallDevices(nullptr); }
};

TEST_F(LinuxDevicesTest, SerialDeviceMapListsTtysWithADeviceInNameOrder) {
  // ttyS10 sorts after ttyS2, as numbers do.
  sysfs.Tty("ttyS10", sysfs.Root() / "devices" / "platform" / "serial8250");
  sysfs.Tty("ttyS2", sysfs.Root() / "devices" / "platform" / "serial8250");
  TStringList l;
  EnumComDevicesFromRegistry(l);
  EXPECT_EQ(Items(l), (Names{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB1"}));
}

TEST_F(LinuxDevicesTest, DosNamesGiveTheFtdiAdapterTheWindowsDriversName) {
  TStringList l;
  EnumDevices(l);
  EXPECT_EQ(Items(l), (Names{"ttyS0", "ttyUSB0", "ttyUSB1", kFtdiName}));
}

TEST_F(LinuxDevicesTest, SecondInterfaceOfAMultiChannelChipGetsLetterB) {
  fs::path intf =
      sysfs.Usb("1-3", "0403", "6010", "FT4XQ1", "FTDI", "Dual RS232-HS", "ftdi_sio", "ftdi_sio", 1);
  fs::create_directories(intf / "ttyUSB2");
  sysfs.Tty("ttyUSB2", intf / "ttyUSB2");
  TStringList l;
  EnumDevices(l);
  EXPECT_EQ(l[l.Count() - 1],
            "FTDIBUS#VID_0403+PID_6010+FT4XQ1B#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
}

TEST_F(LinuxDevicesTest, AdapterKeyHoldsItsTtyAsPortName) {
  std::unique_ptr<platform::IRegistryKey> key = devices.OpenKey(
      "System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\\Device Parameters",
      platform::KeyAccess::Default);
  ASSERT_TRUE(key);
  char value[kPortNameValueRoom + 1];
  std::uint32_t type = 0, size = kPortNameValueRoom;
  ASSERT_EQ(key->QueryValue("PortName", &type, reinterpret_cast<std::uint8_t*>(value), &size), 0);
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(std::string(value, size), std::string("ttyUSB0", 8));
  EXPECT_FALSE(devices.OpenKey("System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A50285BIB\\0000",
                               platform::KeyAccess::Default));
}

TEST_F(LinuxDevicesTest, FriendlyNamesAndRecordsComeFromSysfs) {
  TStringList names;
  EnumComFriendlyNames(names);
  EXPECT_EQ(Items(names), (Names{"serial8250 (ttyS0)", "FT232R USB UART (ttyUSB0)", "USB Serial (ttyUSB1)"}));

  TDeviceInfo info;
  ASSERT_TRUE(DeviceInfo("\\\\.\\ttyUSB0", info));
  EXPECT_EQ(info.Description, u"FT232R USB UART");
  EXPECT_EQ(info.Manufacturer, u"FTDI");
  EXPECT_EQ(info.Driver, u"ftdi_sio");
  EXPECT_EQ(info.Service, u"ftdi_sio");
  EXPECT_EQ(info.PortName, u"ttyUSB0");
  EXPECT_EQ(info.FriendlyName, u"FT232R USB UART (ttyUSB0)");
  EXPECT_EQ(info.LocationInformation, u"1-1:1.0");
  EXPECT_EQ(info.MatchingDeviceId, u"");

  ASSERT_TRUE(DeviceInfo("ttyUSB1", info));
  EXPECT_EQ(info.Driver, u"ch341-uart");
  EXPECT_EQ(info.Service, u"ch341");
  ASSERT_TRUE(DeviceInfo("ttyS0", info));
  EXPECT_EQ(info.Description, u"");
  EXPECT_EQ(info.Driver, u"serial8250");
  EXPECT_FALSE(DeviceInfo("tty1", info));
  EXPECT_EQ(DeviceInfos().size(), 3u);
}

TEST(LinuxDevicesEmptyTest, MissingSysfsGivesNothing) {
  setenv("QUORVALTINE_SYSFS_ROOT", "/nonexistent-sysfs-root", 1);
  platform::LinuxDevices devices;
  platform::InstallDevices(&devices);
  TStringList a, b;
  EnumComDevicesFromRegistry(a);
  EnumDevices(b);
  EXPECT_EQ(a.Count() + b.Count(), 0);
  EXPECT_TRUE(DeviceInfos().empty());
  platform::InstallDevices(nullptr);
  unsetenv("QUORVALTINE_SYSFS_ROOT");
}

// A pty slave under a fake device root stands for the port.
class TestOpenTest : public ::testing::Test {
 protected:
  std::string dir = qvtest::MakeTempDir();
  int master = -1;
  std::string slave;
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slave = ptsname(master);
    fs::create_symlink(slave, fs::path(dir) / "ttyUSB0");
    setenv("QUORVALTINE_DEV_ROOT", dir.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUORVALTINE_DEV_ROOT");
    if (master >= 0) close(master);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

TEST_F(TestOpenTest, FreePortOpensAndIsLeftFree) {
  platform::LinuxDevices devices;
  EXPECT_TRUE(devices.TestOpenPort("\\\\.\\ttyUSB0"));
  // Nothing is left behind: a second probe and a plain open work.
  EXPECT_TRUE(devices.TestOpenPort("\\\\.\\ttyUSB0"));
  int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(TestOpenTest, PortHeldByAnotherProgramFails) {
  platform::LinuxDevices devices;
  for (const char* how : {"flock", "exclusive"}) {
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    if (std::string(how) == "flock")
      ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    else
      ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    EXPECT_FALSE(devices.TestOpenPort("\\\\.\\ttyUSB0")) << how;
    // A pty outlives its slave's last close while the master is open, and
    // its exclusive mode with it; a real port's ends with the last close.
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    EXPECT_TRUE(devices.TestOpenPort("\\\\.\\ttyUSB0")) << how;
  }
}

TEST_F(TestOpenTest, MissingOrOutsideNamesFail) {
  platform::LinuxDevices devices;
  for (const char* name : {"\\\\.\\ttyUSB9", "\\\\.\\..", "\\\\.\\../ttyUSB0", "\\\\.\\"})
    EXPECT_FALSE(devices.TestOpenPort(name)) << name;
}

}  // namespace
