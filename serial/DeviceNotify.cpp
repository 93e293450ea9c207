#include "serial/DeviceNotify.h"

#include <atomic>

namespace {

// Nothing to register with.
class TNoDeviceNotifications final : public platform::IDeviceNotifications {
 public:
  int AddMainWindowHook(platform::MainWindowHook) override { return 1; }
  void RemoveMainWindowHook(int) override {}
  void* RegisterDeviceInterface(const platform::DeviceInterfaceFilter&) override { return nullptr; }
  bool UnregisterDeviceInterface(void*) override { return false; }
};

std::atomic<platform::IDeviceNotifications*> g_installed{nullptr};

}  // namespace

platform::IDeviceNotifications& DeviceNotifications() {
  static TNoDeviceNotifications none;
  platform::IDeviceNotifications* n = g_installed.load();
  return n != nullptr ? *n : none;
}

platform::IDeviceNotifications* InstallDeviceNotifications(platform::IDeviceNotifications* n) {
  return g_installed.exchange(n);
}
