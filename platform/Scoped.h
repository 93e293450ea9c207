// Installing a backend for a scope: the previous one comes back when the
// scope ends, so no test or entry point can leave a dangling backend
// installed or put back the wrong one.
#pragma once

#include "platform/Devices.h"
#include "platform/Platform.h"
#include "platform/SerialDriver.h"

namespace platform {

// Install is one of the seams' install functions, which return the
// backend they replace.
template <typename Backend, Backend* (*Install)(Backend*)>
class ScopedInstall {
 public:
  explicit ScopedInstall(Backend& backend) : previous_(Install(&backend)) {}
  ~ScopedInstall() { Install(previous_); }
  ScopedInstall(const ScopedInstall&) = delete;
  ScopedInstall& operator=(const ScopedInstall&) = delete;

 private:
  Backend* previous_;
};

using ScopedPlatform = ScopedInstall<IPlatform, &Install>;
using ScopedDevices = ScopedInstall<IDevices, &InstallDevices>;
using ScopedSerial = ScopedInstall<ISerialSystem, &InstallSerial>;

}  // namespace platform
