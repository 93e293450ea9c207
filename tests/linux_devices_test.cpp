// The Linux device seam over fake sysfs trees shaped like a real machine: an
// FTDI adapter on ttyUSB0, a plain ttyS0 with phantom ttyS1 to ttyS3 beside
// it (a device link, no UART), a non-FTDI USB adapter, plus a tty without a
// device; some tests add a second FTDI adapter, with or without a serial
// number. The test-open over a pty under a fake /dev, and the port search of
// the program over both in a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "app/Main.h"
#include "app/PortSearch.h"
#include "app/Stages.h"
#include "discovery/Enumeration.h"
#include "platform/Scoped.h"
#include "platform/linux/LinuxDevices.h"
#include "platform/sim/SimSerial.h"
#include "tests/support/Child.h"
#include "tests/support/Scenario.h"

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

  // A serial-core port of the 8250 driver; type 4 is a 16550A, 0 no UART.
  void SerialPort(const std::string& name, int type) {
    fs::path serial8250 = root_ / "devices" / "platform" / "serial8250";
    if (!fs::exists(serial8250)) {
      fs::create_directories(serial8250);
      Link(serial8250 / "driver", Driver("platform", "serial8250"));
      fs::create_directories(root_ / "bus" / "platform");
      Link(serial8250 / "subsystem", root_ / "bus" / "platform");
    }
    Tty(name, serial8250);
    Attr(serial8250 / "tty" / name, "type", std::to_string(type));
  }
  // An FT232R adapter in USB port usbPort with its tty; no serial file when
  // serial is empty.
  void FtdiAdapter(const std::string& usbPort, const std::string& serial, const std::string& tty) {
    fs::path ftdi = Usb(usbPort, "0403", "6001", serial, "FTDI", "FT232R USB UART", "ftdi_sio", "ftdi_sio");
    fs::path port = ftdi / tty;
    fs::create_directories(port);
    Link(port / "driver", Driver("usb-serial", "ftdi_sio", "ftdi_sio"));
    Tty(tty, port);
  }

  // The machine of the tests: ttyS0 on the platform bus with three phantom
  // ports, the board's FTDI adapter on ttyUSB0, a CH340 adapter on ttyUSB1,
  // and a console tty.
  void StandardMachine() {
    SerialPort("ttyS0", 4);
    for (const char* phantom : {"ttyS1", "ttyS2", "ttyS3"}) SerialPort(phantom, 0);
    FtdiAdapter("1-1", "A50285BI", "ttyUSB0");

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
  platform::ScopedDevices useDevices{devices};
  void SetUp() override { sysfs.StandardMachine(); }
};

TEST_F(LinuxDevicesTest, SerialDeviceMapListsTtysWithADeviceInNameOrder) {
  // ttyS10 sorts after ttyS4, as numbers do; the phantom ttyS1 to ttyS3 are
  // left out, a port without a type attribute is kept.
  sysfs.SerialPort("ttyS10", 4);
  sysfs.Tty("ttyS4", sysfs.Root() / "devices" / "platform" / "serial8250");
  TStringList l;
  EnumComDevicesFromRegistry(l);
  EXPECT_EQ(Items(l), (Names{"ttyS0", "ttyS4", "ttyS10", "ttyUSB0", "ttyUSB1"}));
  EXPECT_EQ(DeviceInfos().size(), 5u);
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

TEST_F(LinuxDevicesTest, AnAdapterWithoutSerialNumberGetsANameFromItsUsbPort) {
  sysfs.FtdiAdapter("1-4.2", "", "ttyUSB2");
  sysfs.FtdiAdapter("1-4.3", "", "ttyUSB3");
  const std::string a = platform::SysfsTty::NoSerialName("1-4.2");
  const std::string b = platform::SysfsTty::NoSerialName("1-4.3");
  // Eight characters, as a serial number has: the search's cut of nine
  // after the prefix is the whole instance.
  EXPECT_EQ(a.size(), 8u);
  EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(a, platform::SysfsTty::NoSerialName("1-4.2"));
  TStringList l;
  EnumDevices(l);
  const std::string suffix = "#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  EXPECT_EQ(Items(l), (Names{"ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", kFtdiName,
                             "FTDIBUS#VID_0403+PID_6001+" + a + "A" + suffix,
                             "FTDIBUS#VID_0403+PID_6001+" + b + "A" + suffix}));
  std::unique_ptr<platform::IRegistryKey> key = devices.OpenKey(
      "System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+" + a + "A\\0000\\Device Parameters",
      platform::KeyAccess::Default);
  ASSERT_TRUE(key);
  char value[kPortNameValueRoom + 1];
  std::uint32_t type = 0, size = kPortNameValueRoom;
  ASSERT_EQ(key->QueryValue("PortName", &type, reinterpret_cast<std::uint8_t*>(value), &size), 0);
  EXPECT_EQ(std::string(value, size), std::string("ttyUSB2", 8));
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
  {
    platform::LinuxDevices devices;
    platform::ScopedDevices useDevices(devices);
    TStringList a, b;
    EnumComDevicesFromRegistry(a);
    EnumDevices(b);
    EXPECT_EQ(a.Count() + b.Count(), 0);
    EXPECT_TRUE(DeviceInfos().empty());
  }
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

TEST_F(TestOpenTest, AHeldPortAndARefusedUserAreToldApart) {
  platform::LinuxDevices devices;
  using Kind = platform::TestOpenFailure::Kind;
  const std::string node = dir + "/ttyUSB0";
  int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(devices.TestOpenPort("\\\\.\\ttyUSB0"));
  EXPECT_EQ(devices.LastTestOpenFailure().What, Kind::Busy);
  EXPECT_EQ(devices.LastTestOpenFailure().DeviceNode, node);
  close(fd);
  EXPECT_TRUE(devices.TestOpenPort("\\\\.\\ttyUSB0"));
  EXPECT_EQ(devices.LastTestOpenFailure().What, Kind::Unknown);

  // A user without the right to the node (root has every right: the child
  // becomes nobody first).
  struct stat st {};
  ASSERT_EQ(stat(slave.c_str(), &st), 0);
  ASSERT_EQ(chmod(slave.c_str(), 0600), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    bool opened = devices.TestOpenPort("\\\\.\\ttyUSB0");
    platform::TestOpenFailure why = devices.LastTestOpenFailure();
    _exit(!opened && why.What == Kind::Denied && why.DeviceNode == node ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod(slave.c_str(), st.st_mode & 07777);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The port search of the program over a fake machine with two FTDI
// adapters, ttyUSB0 and ttyUSB2, one of them without a serial number; every
// port is a pty under a fake /dev. The child writes the search's result,
// the port name and whether the port is open.
QV_CHILD(linux_search) {
  const std::string mode = args.at(0);
  qvtest::ScenarioEnv env;
  FakeSysfs sysfs;
  sysfs.StandardMachine();
  sysfs.FtdiAdapter("1-4.2", "", "ttyUSB2");
  if (mode == "first-without-serial") {
    // The board's adapter (ttyUSB0) has none; the other one has.
    fs::remove(sysfs.Root() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-1" / "serial");
    qvtest::WriteFile(
        (sysfs.Root() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-4.2" / "serial").string(),
        "FT9QZ1XK\n");
  }
  static std::string devDir;
  devDir = qvtest::MakeTempDir();
  setenv("QUORVALTINE_DEV_ROOT", devDir.c_str(), 1);
  platform::SimSerialSystem serial;
  std::vector<int> fds;
  for (const char* name : {"ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2"}) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 3;
    fs::create_symlink(ptsname(master), fs::path(devDir) / name);
    fds.push_back(master);
    serial.AddDevice(name);
  }
  int holder = -1;
  if (mode == "first-held") {
    holder = open((devDir + "/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (holder < 0 || flock(holder, LOCK_EX | LOCK_NB) != 0) return 4;
  }
  platform::LinuxDevices devices;
  std::optional<platform::ScopedDevices> useDevices(std::in_place, devices);
  std::optional<platform::ScopedSerial> useSerial(std::in_place, serial);
  TStageOperations& ops = StageOperations();
  ops.FindBoardPort = [] {
    bool found = ::FindBoardPort();
    platform::Transcript::Line(std::string("search ") + (found ? "true" : "false") + " " +
                               MainForm->PortName() + " " +
                               (MainForm->ComPort->Active() ? "open" : "closed"));
    return found;
  };
  ops.VerifyPatchFile = [] {
    std::error_code ec;
    fs::remove_all(devDir, ec);
    RunHost().EndRun();
  };
  int code = RunQuorvaltine();
  useSerial.reset();
  useDevices.reset();
  if (holder >= 0) close(holder);
  for (int fd : fds) close(fd);
  std::error_code ec;
  fs::remove_all(devDir, ec);
  unsetenv("QUORVALTINE_DEV_ROOT");
  return code;
}

TEST(LinuxPortSearchTest, OnlyTheFirstAdapterInPortOrderCountsWithOrWithoutSerialNumber) {
  struct Row {
    const char* mode;
    std::vector<std::string> events;
  };
  const std::string failed = "box Fehler: PortSuche nicht erfolgreich !";
  const Row rows[] = {
      // ttyUSB0's adapter has a serial number, ttyUSB2's has none.
      {"first-with-serial", {"tone", "search true ttyUSB0 open"}},
      {"first-without-serial", {"tone", "search true ttyUSB0 open"}},
      // The first adapter's port is held: the other is not tried.
      {"first-held",
       {"box Fehler: ComPortError:  ttyUSB0 !\\n\\nDer Port kann nicht geöffnet werden.", failed,
        "search false ttyUSB0 closed"}},
  };
  for (const Row& row : rows) {
    qvtest::ChildResult r = qvtest::RunChild("linux_search", {row.mode});
    std::vector<std::string> events;
    for (const std::string& l : r.Plain())
      if (l.rfind("box ", 0) == 0 || l.rfind("search ", 0) == 0 || l == "tone") events.push_back(l);
    EXPECT_EQ(events, row.events) << row.mode << "\n" << r.output;
  }
}

}  // namespace
