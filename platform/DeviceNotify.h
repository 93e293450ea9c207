// The device-change seam: hooks on the main window's messages and the
// registration for device-interface notifications, so the serial component
// can see devices arrive and go. On Windows the window backend supplies the
// hooks and RegisterDeviceNotification the registration; on Linux the
// kernel's uevents for ttys are turned into the same device-change messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// One message of the main window, as the window procedure sees it.
struct WindowMessage {
  unsigned Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
};

// The device-change message and the two event codes the component reads.
constexpr unsigned kWmDeviceChange = 0x219;
constexpr std::uintptr_t kDbtDeviceArrival = 0x8000;
constexpr std::uintptr_t kDbtDeviceRemoveComplete = 0x8004;
// Device types of the broadcast header.
constexpr std::uint32_t kDbtDevTypPort = 3;
constexpr std::uint32_t kDbtDevTypDeviceInterface = 5;

// The broadcast records, byte for byte as Windows lays them out: a 12-byte
// header (size, device type, reserved), then for a port the zero-terminated
// name, for a device interface the 16-byte class identifier and the
// zero-terminated device path.
constexpr std::size_t kBroadcastHeaderSize = 12;
constexpr std::size_t kBroadcastPortNameOffset = 12;
constexpr std::size_t kBroadcastInterfaceNameOffset = 28;

struct Guid {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};
};
static_assert(sizeof(Guid) == 16);

// The USB device interface class {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
constexpr Guid kGuidUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// The filter record of a device-interface registration (32 bytes).
struct DeviceInterfaceFilter {
  std::uint32_t Size = 32;
  std::uint32_t DeviceType = kDbtDevTypDeviceInterface;
  std::uint32_t Reserved = 0;
  Guid ClassGuid;
  char Name[4] = {};
};
static_assert(sizeof(DeviceInterfaceFilter) == 32);

// A hook sees every message of the main window on the UI thread; true means
// it has handled the message.
using MainWindowHook = std::function<bool(const WindowMessage&)>;

class IDeviceNotifications {
 public:
  virtual ~IDeviceNotifications() = default;
  // Returns an id (> 0) for RemoveMainWindowHook.
  virtual int AddMainWindowHook(MainWindowHook hook) = 0;
  virtual void RemoveMainWindowHook(int id) = 0;
  // Registers the main window for the notifications the filter names; a
  // non-null registration on success.
  virtual void* RegisterDeviceInterface(const DeviceInterfaceFilter& filter) = 0;
  virtual bool UnregisterDeviceInterface(void* registration) = 0;
};

// The program entry points install the backend of their system through
// serial/DeviceNotify.h.

// Builds a device-change message record as the window receives it: the
// record in `storage`, the message pointing at it.
WindowMessage MakeDeviceChangeMessage(std::uintptr_t event, std::uint32_t deviceType, const std::string& name,
                                      std::string& storage);

}  // namespace platform
