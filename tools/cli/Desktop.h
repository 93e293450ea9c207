// The pieces of the real machine the command-line tool uses when it does
// not simulate, and the desktop toolkit for --gui.
#pragma once

#include <memory>

#include "framework/Toolkit.h"
#include "platform/Platform.h"

// The operating system of this build.
std::unique_ptr<platform::IPlatform> MakeRealPlatform();
// Lets the system tune the threads that sleep on a real clock, the
// simulated machine's included.
void TuneRealClocks();
// Installs the real serial system, device listings and device notifications;
// they live until the process ends.
void InstallRealSystem();
// The desktop window toolkit of this build, or nullptr when it has none.
std::unique_ptr<IToolkit> MakeDesktopToolkit(int argc, char** argv);
