// quorvaltine.exe: the program with its native window.
#include <windows.h>

#include "app/Main.h"
#include "framework/win32/Win32Toolkit.h"
#include "platform/win32/Win32Platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  platform::Win32Platform plat;
  platform::Install(&plat);
  TWin32Toolkit toolkit;
  InstallToolkit(&toolkit);
  return RunQuorvaltine();
}
