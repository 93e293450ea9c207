// quorvaltine.exe: the program with its native window.
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <filesystem>
#include <vector>

#include "app/Main.h"
#include "app/PatchFolder.h"
#include "framework/ScopedToolkit.h"
#include "framework/win32/Win32DeviceNotify.h"
#include "framework/win32/Win32Toolkit.h"
#include "platform/Scoped.h"
#include "platform/win32/Win32Devices.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
#include "serial/DeviceNotify.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  platform::Win32Platform plat;
  platform::ScopedPlatform usePlatform(plat);
  // The real device listings and serial ports for the port search.
  static platform::Win32Devices devices;
  static platform::Win32SerialSystem serial;
  platform::ScopedDevices useDevices(devices);
  platform::ScopedSerial useSerial(serial);
  TWin32Toolkit toolkit;
  ScopedToolkit useToolkit(toolkit);
  // Offered to the port component; the program itself registers nothing.
  TWin32DeviceNotifications deviceNotifications;
  ScopedDeviceNotifications useDeviceNotifications(deviceNotifications);
  // A file dropped onto the exe in Explorer arrives as the one argument.
  std::vector<std::filesystem::path> arguments;
  int argc = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    LocalFree(argv);
  }
  if (!AcceptStartArguments(arguments)) return 1;
  return RunQuorvaltine();
}
