// quorvaltine: the program on the Linux desktop, with the Qt window and the
// real system.
#include <QApplication>
#include <filesystem>
#include <vector>

#include "app/Main.h"
#include "app/PatchFolder.h"
#include "framework/ScopedToolkit.h"
#include "framework/linux/UeventNotify.h"
#include "framework/qt/QtToolkit.h"
#include "platform/Scoped.h"
#include "platform/linux/LinuxDevices.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PosixSerial.h"
#include "serial/DeviceNotify.h"

int main(int argc, char** argv) {
  // The one argument is the patch file (or its folder), so none reach Qt;
  // Qt's environment variables (QT_QPA_PLATFORM, ...) still apply.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("quorvaltine"));
  QGuiApplication::setDesktopFileName(QStringLiteral("quorvaltine"));

  platform::LinuxPlatform linuxPlatform;
  platform::ScopedPlatform usePlatform(linuxPlatform);
  platform::LinuxDevices linuxDevices;
  platform::ScopedDevices useDevices(linuxDevices);
  platform::PosixSerialSystem posixSerial;
  platform::ScopedSerial useSerial(posixSerial);
  TQtToolkit toolkit;
  ScopedToolkit useToolkit(toolkit);
  // Offered to the port component; the program itself registers nothing.
  TUeventNotifications deviceNotifications;
  ScopedDeviceNotifications useDeviceNotifications(deviceNotifications);

  return AcceptStartArguments(std::vector<std::filesystem::path>(argv + 1, argv + argc)) ? RunQuorvaltine()
                                                                                         : 1;
}
