// Fault injection on a simulated line: the next call of a kind fails with a
// chosen code; and the codes of the platform the program is built for.
#include "platform/sim/SimSerial.h"

namespace platform {

std::uint32_t SimErrorCodes::NotFound() { return CodesOf(kNativeFlavour).NotFound; }
std::uint32_t SimErrorCodes::Busy() { return CodesOf(kNativeFlavour).Busy; }
std::uint32_t SimErrorCodes::Removed() { return CodesOf(kNativeFlavour).Removed; }
std::uint32_t SimErrorCodes::RemovedWait() { return CodesOf(kNativeFlavour).RemovedWait; }
std::uint32_t SimErrorCodes::Aborted() { return CodesOf(kNativeFlavour).Aborted; }
std::uint32_t SimErrorCodes::InvalidParameter() { return CodesOf(kNativeFlavour).InvalidParameter; }
std::uint32_t SimErrorCodes::InvalidHandle() { return CodesOf(kNativeFlavour).InvalidHandle; }

bool SimSerialLine::TakeFailure(SimCall call, std::uint32_t& code) {
  auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  code = it->second;
  failures_.erase(it);
  return true;
}

void SimSerialLine::FailNext(SimCall call, std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_[call] = code;
}

}  // namespace platform
