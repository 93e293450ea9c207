// A serial system that wraps another one and makes its calls fail on
// purpose: the K-th call of one operation fails with a chosen code, or at
// the K-th call the devices vanish as an unplugged USB adapter does. It
// counts every call, so a sweep knows how many calls a run makes.
//
// A vanished device fails every later call with the device-gone code of the
// error flavour (platform/ErrorFlavour.h): the event wait with RemovedWait,
// transfers and their completion with RemovedIo, every other call with
// Removed, opening with NotFound. At the moment it vanishes, a pending event
// wait ends with that failure (GetWaitResult) and pending transfers end with
// a failure. An injected failure of GetWaitResult is a pending wait that
// ended with that code.
//
// An injected failure of a completion (GetReadResult, GetWriteResult) ends
// the transfer of the wrapped driver first, as a failed transfer on Windows
// has ended: nothing writes into the caller's buffer afterwards.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ErrorFlavour.h"
#include "platform/SerialDriver.h"

namespace platform {

// The driver operations, by the seam's names.
enum class SerialOp {
  Open,
  NewEvent,
  GetCommState,
  SetCommState,
  SetupComm,
  GetCommTimeouts,
  SetCommTimeouts,
  PurgeComm,
  FlushBuffers,
  EscapeCommFunction,
  SetCommBreak,
  ClearCommBreak,
  TransmitCommChar,
  GetCommModemStatus,
  ClearCommError,
  GetCommProperties,
  ReadFile,
  WriteFile,
  GetReadResult,
  GetWriteResult,
  SetCommMask,
  GetCommMask,
  WaitCommEvent,
  GetWaitResult,
};
constexpr int kSerialOpCount = static_cast<int>(SerialOp::GetWaitResult) + 1;

const char* SerialOpName(SerialOp op);
// The seam's name of an operation ("ClearCommError"); false when unknown.
bool ParseSerialOp(const std::string& name, SerialOp& op);

class FaultSerialDevice;

class FaultSerialSystem final : public ISerialSystem {
 public:
  // The inner system must outlive this one.
  FaultSerialSystem(ISerialSystem& inner, ErrorFlavour flavour);
  ~FaultSerialSystem() override;
  FaultSerialSystem(const FaultSerialSystem&) = delete;
  FaultSerialSystem& operator=(const FaultSerialSystem&) = delete;

  ErrorFlavour Flavour() const { return flavour_; }

  // The k-th call (counted from 1) of op fails with code and does nothing.
  void FailAt(SerialOp op, int k, std::uint32_t code);
  // The devices vanish at the k-th call of any operation but NewEvent
  // (creating an event needs no device), or at the k-th call of op; that
  // call fails already.
  void VanishAt(int k);
  void VanishAt(SerialOp op, int k);
  // The devices vanish now.
  void Vanish();
  bool Vanished() const { return vanished_; }

  int Calls(SerialOp op) const { return calls_[static_cast<std::size_t>(op)]; }
  // The calls a vanish counts.
  int DeviceCalls() const { return deviceCalls_; }

  std::unique_ptr<ISerialDevice> Open(const std::string& name) override;
  std::unique_ptr<ISerialEvent> NewEvent(bool manualReset, bool initiallySet) override;
  std::uint32_t LastError() override { return inner_.LastError(); }
  void SetLastError(std::uint32_t code) override { inner_.SetLastError(code); }
  std::string ErrorText(std::uint32_t code) override { return inner_.ErrorText(code); }
  std::uint32_t InvalidHandleCode() override { return inner_.InvalidHandleCode(); }
  // The code this system's vanished devices give.
  std::uint32_t DeviceGoneCode() override { return CodesOf(flavour_).RemovedWait; }
  bool HasConfigDialog() override { return inner_.HasConfigDialog(); }
  bool GetDefaultConfig(const std::string& shortName, Dcb& dcb) override {
    return inner_.GetDefaultConfig(shortName, dcb);
  }
  bool RunConfigDialog(const std::string& shortName, Dcb& dcb, bool& confirmed) override {
    return inner_.RunConfigDialog(shortName, dcb, confirmed);
  }
  bool SetDefaultConfig(const std::string& shortName, const Dcb& dcb) override {
    return inner_.SetDefaultConfig(shortName, dcb);
  }

 private:
  friend class FaultSerialDevice;
  struct Fault {
    SerialOp op;
    int k;
    std::uint32_t code;
  };
  // Counts a call of op; false with the last error set when it is to fail.
  bool Enter(SerialOp op);
  bool Fail(std::uint32_t code);
  std::uint32_t GoneCode(SerialOp op) const;

  ISerialSystem& inner_;
  const ErrorFlavour flavour_;
  std::array<std::atomic<int>, kSerialOpCount> calls_{};
  std::atomic<int> deviceCalls_{0};
  std::atomic<bool> vanished_{false};

  std::mutex mu_;  // the faults, the vanish point and the live devices
  std::vector<Fault> faults_;
  int vanishAt_ = 0;
  SerialOp vanishOp_ = SerialOp::Open;
  int vanishOpAt_ = 0;
  std::set<FaultSerialDevice*> devices_;
};

}  // namespace platform
