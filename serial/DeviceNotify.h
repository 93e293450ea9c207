// The device notifications the port registers: the installed backend. The
// backends live with their systems (framework/win32, framework/linux) and
// the program's entry points install them.
#pragma once

#include "platform/DeviceNotify.h"
#include "platform/Scoped.h"

// The installed backend; without one, a backend whose registrations fail,
// so a port simply sees no devices come and go.
platform::IDeviceNotifications& DeviceNotifications();
// Installs a backend; the caller keeps ownership; nullptr restores the
// default. Returns the previous one.
platform::IDeviceNotifications* InstallDeviceNotifications(platform::IDeviceNotifications* n);

using ScopedDeviceNotifications =
    platform::ScopedInstall<platform::IDeviceNotifications, &InstallDeviceNotifications>;
