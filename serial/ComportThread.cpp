// The port's event thread and device notifications. Until the event thread
// exists the driver's event mask is set (SetComEventMask) but nobody waits on
// it, and no device notification is registered.
#include "serial/Comport.h"

void TCustomComPort::CreateThread() {}

void TCustomComPort::DestroyThread() { thread_ = nullptr; }

bool TCustomComPort::StartNotification() { return true; }

bool TCustomComPort::StopNotification() {
  notification_ = nullptr;
  return true;
}
