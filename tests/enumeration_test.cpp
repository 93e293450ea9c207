// The six enumeration operations over a simulated machine shaped per test.
#include <gtest/gtest.h>

#include "discovery/Enumeration.h"
#include "platform/Scoped.h"
#include "platform/sim/SimDevices.h"

namespace {

using platform::DeviceProperty;
using platform::SimDevices;

const char* const kMap = SimDevices::kSerialMapKey;
const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum";

class EnumerationTest : public ::testing::Test {
 protected:
  SimDevices machine{false};
  platform::ScopedDevices useMachine{machine};
};

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l[i]);
  return v;
}

// A list that already holds an entry, which must stay first.
struct Prefilled : TStringList {
  Prefilled() { Add("vorher"); }
};

using Names = std::vector<std::string>;

TEST_F(EnumerationTest, DosListingAppendsNamesInOrderAndSkipsTheEmptyOnes) {
  machine.DosNames() = {"COM3", "",     "com1", "\\\\.\\COM7",
                        "CO",   "COMX", "C:",   "FTDIBUS#VID_0403+PID_6001+A1B2C3D4A"};
  Prefilled all, com;
  EnumDevices(all);
  EnumComDevices(com);
  EXPECT_EQ(Items(all), (Names{"vorher", "COM3", "com1", "\\\\.\\COM7", "CO", "COMX",
                               "C:", "FTDIBUS#VID_0403+PID_6001+A1B2C3D4A"}));
  EXPECT_EQ(Items(com), (Names{"vorher", "COM3", "\\\\.\\COM7", "COMX"}));
}

TEST_F(EnumerationTest, DosListingThatDoesNotFitAppendsNothing) {
  // Exactly the capacity fits (names, their NULs and the final NUL); one more
  // character does not, and there is no second try.
  const std::size_t room = platform::kDosDeviceCapacity - 2;  // one name, its NUL, the final NUL
  for (std::size_t extra : {0, 1}) {
    machine.DosNames() = {"COM1" + std::string(room - 4 + extra, 'x')};
    TStringList l;
    EnumDevices(l);
    EXPECT_EQ(l.Count(), extra == 0 ? 1 : 0) << extra;
  }
  machine.DosNames() = {"COM1"};
  machine.SetDosListingFails(true);
  TStringList l;
  EnumComDevices(l);
  EXPECT_EQ(l.Count(), 0);
}

TEST_F(EnumerationTest, SerialDeviceMapAppendsTextDataOnlyInRegistryOrder) {
  auto& r = machine.Registry();
  r.SetText(kMap, "\\Device\\Serial1", "COM2");
  r.SetValue(kMap, "\\Device\\Exp", platform::kRegExpandSz, platform::RegText("COM8"));
  r.SetText(kMap, "\\Device\\Empty", "");
  r.SetValue(kMap, "\\Device\\Num", platform::kRegDword, std::string("\x05\0\0\0", 4));
  r.SetText(kMap, "\\Device\\Serial0", "COM1");
  Prefilled l;
  EnumComDevicesFromRegistry(l);
  EXPECT_EQ(Items(l), (Names{"vorher", "COM2", "", "COM1"}));

  r.DeleteKey(kMap);
  TStringList none;
  EnumComDevicesFromRegistry(none);
  EXPECT_EQ(none.Count(), 0);
}

TEST_F(EnumerationTest, FriendlyNamesOfPortsClassInstancesDepthFirst) {
  auto& r = machine.Registry();
  auto instance = [&](const std::string& path, const std::string& guid, const std::string& friendly) {
    r.SetText(kEnum + "\\" + path, "ClassGUID", guid);
    if (!friendly.empty()) r.SetText(kEnum + "\\" + path, "FriendlyName", friendly);
  };
  instance("ACPI\\PNP0501\\0", "{4d36e978-e325-11ce-bfc1-08002be10318}", "Port A");
  instance("ACPI\\PNP0501\\1", "{4D36E978-E325-11CE-BFC1-08002BE10318}", "Port B (upper-case class)");
  instance("ACPI\\PNP0303\\0", "{4d36e96b-e325-11ce-bfc1-08002be10318}", "Keyboard");
  instance("ACPI\\PNP0501\\2", "{4d36e978-e325-11ce-bfc1-08002be10318}", "");  // no friendly name
  r.CreateKey(kEnum + "\\ACPI\\PNP0501\\3");                                   // no class at all
  instance("FTDIBUS\\VID_0403+PID_6001+A1\\0000", "{4d36e978-e325-11ce-bfc1-08002be10318}", "");
  r.SetValue(kEnum + "\\FTDIBUS\\VID_0403+PID_6001+A1\\0000", "FriendlyName", platform::kRegExpandSz,
             platform::RegText("expandable"));
  instance("FTDIBUS\\VID_0403+PID_6001+B2\\0000", "{4d36e978-e325-11ce-bfc1-08002be10318}", "Port C");
  Prefilled l;
  EnumComFriendlyNames(l);
  EXPECT_EQ(Items(l), (Names{"vorher", "Port A", "Port B (upper-case class)", "Port C"}));
}

TEST_F(EnumerationTest, NonTextClassGuidRaisesAfterTheEarlierNames) {
  auto& r = machine.Registry();
  r.SetText(kEnum + "\\ACPI\\PNP0501\\0", "ClassGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}");
  r.SetText(kEnum + "\\ACPI\\PNP0501\\0", "FriendlyName", "Port A");
  r.SetValue(kEnum + "\\ACPI\\PNP0501\\1", "ClassGUID", platform::kRegBinary, "\x78\xe9\x36\x4d");
  r.SetText(kEnum + "\\ACPI\\PNP0501\\2", "ClassGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}");
  r.SetText(kEnum + "\\ACPI\\PNP0501\\2", "FriendlyName", "Port never reached");
  TStringList l;
  EXPECT_THROW(EnumComFriendlyNames(l), ERegistryException);
  EXPECT_EQ(Items(l), (Names{"Port A"}));
}

DeviceProperty Wide(const std::u16string& s) {
  return DeviceProperty{platform::kRegSz, platform::Utf16Bytes(s)};
}

TEST_F(EnumerationTest, DeviceRecordsTakeTextPropertiesAndLeaveTheKeyFieldsEmpty) {
  platform::PortsClassDevice a;
  a.DeviceDesc = Wide(u"USB Serial Port");
  a.Driver = Wide(u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
  a.EnumeratorName = Wide(u"FTDIBUS");
  a.FriendlyName = Wide(u"USB Serial Port (COM5)");
  a.LocationInformation = DeviceProperty{platform::kRegSz, std::string("L\0o\0c\0", 6)};  // no NUL
  a.Mfg = DeviceProperty{platform::kRegMultiSz, platform::Utf16Bytes(u"FTDI")};           // not REG_SZ
  a.PhysicalDeviceObjectName = DeviceProperty{platform::kRegSz, ""};                      // no data
  a.Service = Wide(std::u16string(u"FTSER2K\0junk", 12));
  a.HasHardwareKey = true;
  a.PortName = Wide(u"COM5");
  platform::PortsClassDevice b;  // present, but no properties and no PortName
  b.HasHardwareKey = true;
  machine.Records() = {a, b};

  TDeviceInfos infos = DeviceInfos();
  ASSERT_EQ(infos.size(), 2u);
  TDeviceInfo want;
  want.Description = u"USB Serial Port";
  want.Driver = u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0003";
  want.EnumeratorName = u"FTDIBUS";
  want.FriendlyName = u"USB Serial Port (COM5)";
  want.LocationInformation = u"Loc";
  want.Service = u"FTSER2K";
  want.PortName = u"COM5";
  EXPECT_EQ(infos[0], want);
  EXPECT_EQ(infos[1], TDeviceInfo{});
}

TEST_F(EnumerationTest, DeviceInfoLooksUpByShortNameOrDevicePathExactly) {
  machine.AddPlainPort("COM1");
  machine.AddPlainPort("COM3");
  // A device without a port is no answer to an empty name.
  machine.Records().push_back(platform::PortsClassDevice{});
  struct Case {
    const char* name;
    bool found;
  } cases[] = {{"COM3", true}, {"\\\\.\\COM3", true}, {"com3", false},   {"\\\\.\\com3", false},
               {"COM", false}, {"", false},           {"\\\\.\\", false}};
  for (const Case& c : cases) {
    TDeviceInfo info;
    info.Description = u"stale";
    EXPECT_EQ(DeviceInfo(c.name, info), c.found) << c.name;
    EXPECT_EQ(info.PortName, c.found ? u"COM3" : u"") << c.name;
    if (c.found) {
      EXPECT_EQ(info.FriendlyName, u"Kommunikationsanschluss (COM3)") << c.name;
    } else {
      EXPECT_EQ(info, TDeviceInfo{}) << c.name;
    }
  }
}

TEST_F(EnumerationTest, NoPresentDeviceGivesNoRecords) {
  machine.SetDeviceSetFails(true);
  EXPECT_TRUE(DeviceInfos().empty());
  machine.SetDeviceSetFails(false);
  EXPECT_TRUE(DeviceInfos().empty());
  TDeviceInfo info;
  EXPECT_FALSE(DeviceInfo("COM1", info));
}

}  // namespace
