// Device-change notifications on Windows: hooks on the main window's
// messages and RegisterDeviceNotification for that window.
#pragma once

#include <map>

#include "platform/DeviceNotify.h"

class TWin32DeviceNotifications final : public platform::IDeviceNotifications {
 public:
  ~TWin32DeviceNotifications() override;
  int AddMainWindowHook(platform::MainWindowHook hook) override;
  void RemoveMainWindowHook(int id) override;
  // Fails while the main window has no handle yet.
  void* RegisterDeviceInterface(const platform::DeviceInterfaceFilter& filter) override;
  bool UnregisterDeviceInterface(void* registration) override;
};
