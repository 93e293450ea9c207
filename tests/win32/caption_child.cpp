// The caption child: prints the running program file's version caption.
#include <cstdio>

#include "app/Main.h"
#include "platform/Scoped.h"
#include "platform/win32/Win32Platform.h"
#include "tests/support/Child.h"

QV_CHILD(caption) {
  platform::Win32Platform plat;
  platform::ScopedPlatform usePlat(plat);
  std::printf("%s\n", VersionCaption().c_str());
  return 0;
}
