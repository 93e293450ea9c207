// Device-change notifications on Linux: the kernel's tty uevents turned into
// the main window's device-change messages.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/DeviceNotify.h"

namespace platform {
class IUeventSource;
}

// While a registration exists, a reader thread receives the kernel's
// uevents; each add or remove of a tty is delivered on the UI thread, through
// the toolkit's synchronised call, to every hook as a device-change message
// (arrival or remove-complete) with a port record carrying the short name.
class TUeventNotifications final : public platform::IDeviceNotifications {
 public:
  using SourceFactory = std::function<std::unique_ptr<platform::IUeventSource>()>;
  // Without a factory the kernel's netlink socket is used.
  explicit TUeventNotifications(SourceFactory factory = nullptr);
  ~TUeventNotifications() override;

  int AddMainWindowHook(platform::MainWindowHook hook) override;
  void RemoveMainWindowHook(int id) override;
  void* RegisterDeviceInterface(const platform::DeviceInterfaceFilter& filter) override;
  bool UnregisterDeviceInterface(void* registration) override;

  // Delivers one datagram to the hooks on the calling (UI) thread.
  void Deliver(const std::string& datagram);
  bool Listening() const { return reader_ != nullptr; }

 private:
  class TReader;
  void StopReader();
  SourceFactory factory_;
  std::map<int, platform::MainWindowHook> hooks_;
  int nextHook_ = 1;
  int registrations_ = 0;
  std::unique_ptr<platform::IUeventSource> source_;
  TReader* reader_ = nullptr;
};
