#include "tools/cli/Desktop.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Scoped.h"
#include "serial/DeviceNotify.h"

#ifdef _WIN32
#include "framework/win32/Win32Toolkit.h"
#include "platform/win32/Win32Devices.h"
#include "platform/win32/Win32Platform.h"
#ifdef QV_CLI_WIN32_SERIAL
#include "platform/win32/Win32Serial.h"
#endif
#else
#include "framework/linux/UeventNotify.h"
#include "platform/linux/LinuxDevices.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PosixSerial.h"
#ifdef QV_CLI_QT
#include <QApplication>

#include "framework/qt/QtToolkit.h"
#endif
#endif

std::unique_ptr<platform::IPlatform> MakeRealPlatform() {
#ifdef _WIN32
  return std::make_unique<platform::Win32Platform>();
#else
  return std::make_unique<platform::LinuxPlatform>();
#endif
}

void TuneRealClocks() {
#ifndef _WIN32
  platform::LinuxPlatform::TuneRealClocks();
#endif
}

void InstallRealSystem() {
#ifdef _WIN32
  static platform::Win32Devices devices;
#ifdef QV_CLI_WIN32_SERIAL
  static platform::Win32SerialSystem serial;
  static platform::ScopedSerial useSerial(serial);
#endif
#else
  static platform::PosixSerialSystem serial;
  static platform::LinuxDevices devices;
  static platform::ScopedSerial useSerial(serial);
  static TUeventNotifications deviceNotifications;
  static ScopedDeviceNotifications useDeviceNotifications(deviceNotifications);
#endif
  static platform::ScopedDevices useDevices(devices);
}

std::unique_ptr<IToolkit> MakeDesktopToolkit([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifdef _WIN32
  return std::make_unique<TWin32Toolkit>();
#elif defined(QV_CLI_QT)
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  static QApplication* app = new QApplication(qtArgc, qtArgv);
  (void)app;
  return std::make_unique<TQtToolkit>();
#else
  return nullptr;
#endif
}
