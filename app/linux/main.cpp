// quorvaltine: the program on the Linux desktop, with the Qt window and the
// real system.
#include <QApplication>
#include <filesystem>
#include <vector>

#include "app/Main.h"
#include "app/PatchFolder.h"
#include "framework/qt/QtToolkit.h"
#include "platform/linux/LinuxDevices.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PosixSerial.h"

int main(int argc, char** argv) {
  // The one argument is the patch file (or its folder), so none reach Qt;
  // Qt's environment variables (QT_QPA_PLATFORM, ...) still apply.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("quorvaltine"));
  QGuiApplication::setDesktopFileName(QStringLiteral("quorvaltine"));

  platform::LinuxPlatform linuxPlatform;
  platform::Install(&linuxPlatform);
  platform::LinuxDevices linuxDevices;
  platform::InstallDevices(&linuxDevices);
  platform::PosixSerialSystem posixSerial;
  platform::InstallSerial(&posixSerial);
  TQtToolkit toolkit;
  InstallToolkit(&toolkit);

  int code =
      AcceptStartArguments(std::vector<std::filesystem::path>(argv + 1, argv + argc)) ? RunQuorvaltine() : 1;

  InstallToolkit(nullptr);
  platform::InstallSerial(nullptr);
  platform::InstallDevices(nullptr);
  platform::Install(nullptr);
  return code;
}
