// The Windows device seam under Wine, against registry keys and DOS devices
// this test creates in its prefix: values written with "reg add", a long DOS
// device name as a symbolic link in \??\, and COM42 as a dosdevices link
// (made by the test's fixture) to a plain file.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>
#include <winternl.h>

#include <cstdlib>

#include "discovery/Enumeration.h"
#include "platform/Scoped.h"
#include "platform/win32/Win32Devices.h"

namespace {

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l[i]);
  return v;
}

bool Has(const TStrings& l, const std::string& s) { return l.IndexOf(s) >= 0; }

int Reg(const std::string& args) { return std::system(("reg " + args + " >NUL 2>&1").c_str()); }

using NtCreateSymbolicLinkObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

// A DOS device name as the system's object namespace holds it; gone when
// the handle is closed.
HANDLE DefineLongDosName(const std::wstring& name) {
  auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
  if (create == nullptr) return nullptr;
  std::wstring full = L"\\??\\" + name;
  std::wstring target = L"\\Device\\Null";
  UNICODE_STRING uname{static_cast<USHORT>(full.size() * 2), static_cast<USHORT>(full.size() * 2),
                       full.data()};
  UNICODE_STRING utarget{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                         target.data()};
  OBJECT_ATTRIBUTES attr{};
  attr.Length = sizeof attr;
  attr.ObjectName = &uname;
  attr.Attributes = OBJ_CASE_INSENSITIVE;
  HANDLE link = nullptr;
  if (create(&link, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attr, &utarget) != 0) return nullptr;
  return link;
}

class Win32DevicesTest : public ::testing::Test {
 protected:
  platform::Win32Devices devices;
  platform::ScopedDevices useDevices{devices};
};

const char* const kMap = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char* const kParams =
    "HKLM\\System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+QVT12345A\\0000\\Device Parameters";

TEST_F(Win32DevicesTest, SerialDeviceMapGivesTextValuesOnly) {
  ASSERT_EQ(Reg(std::string("add ") + kMap + " /v \\Device\\QvTest0 /t REG_SZ /d COM42 /f"), 0);
  ASSERT_EQ(Reg(std::string("add ") + kMap + " /v \\Device\\QvTest1 /t REG_EXPAND_SZ /d COM43 /f"), 0);
  TStringList l;
  l.Add("vorher");
  EnumComDevicesFromRegistry(l);
  EXPECT_EQ(l[0], "vorher");
  EXPECT_TRUE(Has(l, "COM42")) << ::testing::PrintToString(Items(l));
  EXPECT_FALSE(Has(l, "COM43"));
  Reg(std::string("delete ") + kMap + " /v \\Device\\QvTest0 /f");
  Reg(std::string("delete ") + kMap + " /v \\Device\\QvTest1 /f");
}

TEST_F(Win32DevicesTest, DosListingShowsALongAdapterName) {
  const std::string name = "FTDIBUS#VID_0403+PID_6001+QVT12345A#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  HANDLE link = DefineLongDosName(std::wstring(name.begin(), name.end()));
  ASSERT_NE(link, nullptr);
  TStringList all, com;
  EnumDevices(all);
  EnumComDevices(com);
  CloseHandle(link);
  EXPECT_TRUE(Has(all, name)) << all.Count();
  EXPECT_FALSE(Has(com, name));
  for (int i = 0; i < com.Count(); ++i) EXPECT_EQ(com[i].rfind("COM", 0), 0u) << com[i];
}

TEST_F(Win32DevicesTest, AdapterKeyAndItsPortNameAsThePortSearchReadsThem) {
  ASSERT_EQ(Reg(std::string("add \"") + kParams + "\" /v PortName /t REG_SZ /d COM42 /f"), 0);
  auto key = devices.OpenKey(
      "System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+QVT12345A\\0000\\Device Parameters",
      platform::KeyAccess::Default);
  ASSERT_TRUE(key);
  char value[201];
  std::uint32_t type = 0, size = 200;
  ASSERT_EQ(key->QueryValue("PortName", &type, reinterpret_cast<std::uint8_t*>(value), &size), 0);
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(std::string(value, size), std::string("COM42", 6));
  EXPECT_EQ(key->QueryValue("Missing", &type, reinterpret_cast<std::uint8_t*>(value), &size),
            platform::kErrorFileNotFound);
  // More than 200 bytes do not fit.
  ASSERT_EQ(
      Reg(std::string("add \"") + kParams + "\" /v PortName /t REG_SZ /d " + std::string(200, 'C') + " /f"),
      0);
  size = 200;
  EXPECT_EQ(key->QueryValue("PortName", &type, reinterpret_cast<std::uint8_t*>(value), &size),
            platform::kErrorMoreData);
  key.reset();
  EXPECT_FALSE(devices.OpenKey("System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+NOSUCHONE\\0000",
                               platform::KeyAccess::Default));
  Reg("delete HKLM\\System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+QVT12345A /f");
}

TEST_F(Win32DevicesTest, FriendlyNamesOfPortsClassInstances) {
  const std::string inst = "HKLM\\System\\CurrentControlSet\\Enum\\QVTEST\\DEV\\";
  ASSERT_EQ(Reg("add " + inst + "1 /v ClassGUID /t REG_SZ /d {4D36E978-E325-11CE-BFC1-08002BE10318} /f"), 0);
  ASSERT_EQ(Reg("add " + inst + "1 /v FriendlyName /t REG_SZ /d QvPortOne /f"), 0);
  ASSERT_EQ(Reg("add " + inst + "2 /v ClassGUID /t REG_SZ /d {4d36e96b-e325-11ce-bfc1-08002be10318} /f"), 0);
  ASSERT_EQ(Reg("add " + inst + "2 /v FriendlyName /t REG_SZ /d QvKeyboard /f"), 0);
  TStringList l;
  EnumComFriendlyNames(l);
  EXPECT_TRUE(Has(l, "QvPortOne")) << ::testing::PrintToString(Items(l));
  EXPECT_FALSE(Has(l, "QvKeyboard"));
  Reg("delete HKLM\\System\\CurrentControlSet\\Enum\\QVTEST /f");
}

TEST_F(Win32DevicesTest, DeviceRecordsAgreeWithTheLookup) {
  TDeviceInfos infos = DeviceInfos();
  for (const TDeviceInfo& d : infos) {
    EXPECT_EQ(d.MatchingDeviceId, u"");
    EXPECT_EQ(d.InstanceId, u"");
    if (d.PortName.empty()) continue;
    TDeviceInfo found;
    std::string narrow(d.PortName.begin(), d.PortName.end());
    EXPECT_TRUE(DeviceInfo("\\\\.\\" + narrow, found));
    EXPECT_EQ(found.PortName, d.PortName);
  }
  TDeviceInfo none;
  none.Service = u"stale";
  EXPECT_FALSE(DeviceInfo("COM_NOT_THERE", none));
  EXPECT_EQ(none, TDeviceInfo{});
}

TEST_F(Win32DevicesTest, TestOpenIsExclusive) {
  ASSERT_TRUE(devices.TestOpenPort("\\\\.\\COM42")) << "the fixture links dosdevices/com42";
  HANDLE held =
      CreateFileA("\\\\.\\COM42", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(devices.TestOpenPort("\\\\.\\COM42"));
  CloseHandle(held);
  EXPECT_TRUE(devices.TestOpenPort("\\\\.\\COM42"));
  EXPECT_FALSE(devices.TestOpenPort("\\\\.\\COM199"));
}

}  // namespace
