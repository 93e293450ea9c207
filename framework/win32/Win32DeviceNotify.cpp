#include "framework/win32/Win32DeviceNotify.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <dbt.h>

#include <cstring>

#include "framework/win32/WindowHook.h"

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == sizeof(platform::DeviceInterfaceFilter));
static_assert(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) == platform::kBroadcastPortNameOffset);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) ==
              platform::kBroadcastInterfaceNameOffset);

TWin32DeviceNotifications::~TWin32DeviceNotifications() = default;

int TWin32DeviceNotifications::AddMainWindowHook(platform::MainWindowHook hook) {
  return ::AddMainWindowHook([hook](unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    platform::WindowMessage m;
    m.Msg = msg;
    m.WParam = wParam;
    m.LParam = lParam;
    return hook(m);
  });
}

void TWin32DeviceNotifications::RemoveMainWindowHook(int id) { ::RemoveMainWindowHook(id); }

void* TWin32DeviceNotifications::RegisterDeviceInterface(const platform::DeviceInterfaceFilter& filter) {
  HWND window = reinterpret_cast<HWND>(MainWindowHandle());
  if (window == nullptr) return nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_A record;
  std::memcpy(&record, &filter, sizeof record);
  return ::RegisterDeviceNotificationA(window, &record, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool TWin32DeviceNotifications::UnregisterDeviceInterface(void* registration) {
  return ::UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(registration)) != FALSE;
}
