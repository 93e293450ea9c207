// Scaffolding until the serial port component is in: the part of the main
// window's port that the port search uses (open and close, the device name).
// It opens no device; the serial component replaces it.
#pragma once

#include <string>

#include "framework/Classes.h"

class TComPort : public TComponent {
 public:
  explicit TComPort(TComponent* owner) : TComponent(owner) {}
  bool GetActive() const { return active_; }
  bool Active() const { return active_; }
  void SetActive(bool value) { active_ = value; }
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& v) { deviceName_ = v; }

 private:
  bool active_ = false;
  std::string deviceName_ = "COM1";
};
