#include "platform/SerialDriver.h"

#include <atomic>
#include <stdexcept>

namespace platform {

namespace {
std::atomic<ISerialSystem*> g_serial{nullptr};
}  // namespace

bool ISerialSystem::GetDefaultConfig(const std::string&, Dcb&) {
  SetLastError(InvalidHandleCode());
  return false;
}

bool ISerialSystem::RunConfigDialog(const std::string&, Dcb&, bool& confirmed) {
  confirmed = false;
  SetLastError(InvalidHandleCode());
  return false;
}

bool ISerialSystem::SetDefaultConfig(const std::string&, const Dcb&) {
  SetLastError(InvalidHandleCode());
  return false;
}

ISerialSystem& Serial() {
  ISerialSystem* s = g_serial.load();
  if (s == nullptr) throw std::logic_error("no serial system installed");
  return *s;
}

ISerialSystem* InstallSerial(ISerialSystem* s) { return g_serial.exchange(s); }

}  // namespace platform
