// Hooks on the main window's messages, for framework code that has to see
// window messages (such as device-change notifications) on Windows.
#pragma once

#include <cstdint>
#include <functional>

// Called on the UI thread for every message of the main window, in the order
// the hooks were added, before the window's own handling. A hook that returns
// true has handled the message; the window then answers it with 0.
using TMainWindowHook = std::function<bool(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam)>;

// Returns an id for RemoveMainWindowHook.
int AddMainWindowHook(TMainWindowHook hook);
void RemoveMainWindowHook(int id);

// The main window's handle (HWND), or 0 while it has not been shown.
std::uintptr_t MainWindowHandle();
