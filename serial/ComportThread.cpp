// The port's event thread and its device notifications.
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

#include "framework/Forms.h"
#include "framework/Toolkit.h"
#include "platform/DeviceNotify.h"
#include "platform/SerialDriver.h"
#include "serial/ComThread.h"
#include "serial/Comport.h"
#include "serial/DeviceNotify.h"

namespace {

// The event thread running on this thread, if any.
thread_local TComThread* tlsComThread = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// The gate.

TCustomComPort* TComThreadGate::Attached(std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mu);
  return port != nullptr && current == generation ? port : nullptr;
}

void TComThreadGate::SetState(std::uint64_t generation, TComThreadState s) {
  std::lock_guard<std::mutex> lock(mu);
  if (current == generation) state = s;
}

namespace {

// Runs fn on the UI thread for the event thread, marked as synchronising so
// a settling test lets the UI thread run it.
void SyncOnUi(TComThread* thread, TComThreadGate& gate, std::uint64_t generation,
              const std::function<void()>& fn) {
  gate.SetState(generation, TComThreadState::Synchronizing);
  struct Back {
    TComThreadGate& g;
    std::uint64_t gen;
    ~Back() { g.SetState(gen, TComThreadState::Busy); }
  } back{gate, generation};
  // A thread that its port has stopped queues nothing more: the port drops
  // what was queued when it stops it, and nobody would run a later call
  // (the program may be ending).
  TThread::SynchronizeUnlessTerminated(thread, fn);
}

// Counts a thread out of one of the gate's phases.
struct LeavePhase {
  TComThreadGate& g;
  int& counter;
  ~LeavePhase() {
    {
      std::lock_guard<std::mutex> lock(g.mu);
      --counter;
    }
    g.cv.notify_all();
  }
};

// Waits until no thread of the gate is in its wait phase and, unless the
// caller is a dispatching thread itself or runs on its behalf, none runs a
// direct dispatch. Queued calls of the gate's threads are dropped meanwhile,
// so a thread that waits for the UI thread cannot hold this up.
void WaitForThreads(TComThreadGate& g) {
  bool self = tlsComThread != nullptr && tlsComThread->FComPortGate() == &g;
  std::unique_lock<std::mutex> lock(g.mu);
  auto done = [&] { return g.inWait == 0 && (self || g.carrying > 0 || g.inDirectDispatch == 0); };
  // At least once: a stopped thread's call queued just before it saw the
  // stop is dropped here, and none can follow it.
  for (TComThread* t : g.live) TThread::RemoveQueuedEvents(t);
  while (!done()) {
    for (TComThread* t : g.live) TThread::RemoveQueuedEvents(t);
    g.cv.wait_for(lock, std::chrono::milliseconds(1), done);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The thread.

TComThread::TComThread(TCustomComPort* port) : FComPort(port) {
  if (!port->threadGate_) port->threadGate_ = std::make_shared<TComThreadGate>(port);
  gate_ = port->threadGate_;
  {
    std::lock_guard<std::mutex> lock(gate_->mu);
    generation_ = ++gate_->lastGeneration;
    gate_->current = generation_;
    gate_->currentAlive = true;
    gate_->state = TComThreadState::Busy;
    gate_->live.insert(this);
  }
  port->thread_ = this;
  SetFreeOnTerminate(true);
  // Before the start: a thread that frees itself must not be touched after.
  SetPriority(port->ThreadPriority());
  try {
    Start();
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(gate_->mu);
      gate_->live.erase(this);
      gate_->current = 0;
      gate_->currentAlive = false;
      gate_->state = TComThreadState::None;
    }
    port->thread_ = nullptr;
    throw EThread(e.what());
  }
}

TComThread::~TComThread() {
  {
    std::lock_guard<std::mutex> lock(gate_->mu);
    gate_->live.erase(this);
    if (gate_->current == generation_) {
      gate_->currentAlive = false;
      gate_->state = TComThreadState::None;
    }
  }
  gate_->cv.notify_all();
}

TComThreadGate* TComThread::FComPortGate() const { return gate_.get(); }

void TComThread::Execute() {
  struct Mark {
    explicit Mark(TComThread* t) { tlsComThread = t; }
    ~Mark() { tlsComThread = nullptr; }
  } mark(this);
  while (!Terminated()) {
    {
      // Enter the wait phase only while the port is alive and still has
      // this thread; from here on the port waits for us before it lets go
      // of the device.
      std::lock_guard<std::mutex> lock(gate_->mu);
      if (gate_->port == nullptr || gate_->current != generation_) break;
      ++gate_->inWait;
      gate_->state = TComThreadState::Busy;
    }
    FComPort->ThreadProc(this);
  }
}

// ---------------------------------------------------------------------------
// The port's side.

void TCustomComPort::CreateThread() {
  if (thread_ != nullptr) return;
  TComThread* t = new (std::nothrow) TComThread(this);
  if (t == nullptr) RaiseError(0, "Can't create thread");
}

void TCustomComPort::DestroyThread() {
  if (thread_ == nullptr) return;
  TComThread* t = thread_;
  thread_ = nullptr;
  TComThreadGate& g = *threadGate_;
  bool alive;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    // A thread that ended after a wait error is gone: never touch it.
    alive = g.currentAlive;
    if (alive) t->Terminate();
    g.current = 0;
    g.currentAlive = false;
    g.state = TComThreadState::None;
  }
  // A mask of 0 ends the pending wait at once; the wait event is set as well
  // so that no driver can keep the thread in its wait.
  if (device_) device_->SetCommMask(0);
  if (alive && waitEvent_) waitEvent_->Set();
  WaitForThreads(g);
  // No thread waits on the event any more; drop a signal nobody collected.
  if (alive && waitEvent_) waitEvent_->Reset();
}

void TCustomComPort::DetachEventThreads() {
  DestroyThread();
  if (!threadGate_) return;
  {
    std::lock_guard<std::mutex> lock(threadGate_->mu);
    threadGate_->port = nullptr;
  }
  TComThreadGate& g = *threadGate_;
  std::unique_lock<std::mutex> lock(g.mu);
  for (TComThread* t : g.live) TThread::RemoveQueuedEvents(t);
  auto done = [&] { return g.inWait == 0 && g.inDirectDispatch == 0; };
  while (!done()) {
    for (TComThread* t : g.live) TThread::RemoveQueuedEvents(t);
    g.cv.wait_for(lock, std::chrono::milliseconds(1), done);
  }
}

void TCustomComPort::ApplyThreadPriority() {
  if (thread_ == nullptr || !threadGate_) return;
  std::lock_guard<std::mutex> lock(threadGate_->mu);
  if (threadGate_->currentAlive) thread_->SetPriority(threadPriority_);
}

TComThreadState TCustomComPort::EventThreadState() const {
  if (!threadGate_) return TComThreadState::None;
  std::lock_guard<std::mutex> lock(threadGate_->mu);
  return threadGate_->current != 0 ? threadGate_->state : TComThreadState::None;
}

bool TCustomComPort::CloseOnEventThread() {
  TComThread* self = tlsComThread;
  if (self == nullptr || self->FComPort != this) return false;
  std::shared_ptr<TComThreadGate> gate = self->gate_;
  std::uint64_t gen = self->generation_;
  SyncOnUi(self, *gate, gen, [gate, gen] {
    TCustomComPort* p = gate->Attached(gen);
    if (p == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(gate->mu);
      ++gate->carrying;
    }
    struct Done {
      TComThreadGate& g;
      ~Done() {
        std::lock_guard<std::mutex> lock(g.mu);
        --g.carrying;
      }
    } done{*gate};
    p->Close();
  });
  return true;
}

void TCustomComPort::ThreadProc(TComThread* thread) {
  // Entered in the wait phase (Execute): the port is alive until it ends.
  std::shared_ptr<TComThreadGate> gate = thread->gate_;
  const std::uint64_t gen = thread->generation_;
  bool dispatch = false, failed = false, direct = false;
  std::uint32_t error = 0, mask = 0;
  {
    LeavePhase leave{*gate, gate->inWait};
    platform::ISerialSystem& sys = platform::Serial();
    direct = !synchronizeEvents_;
    // A wait that fails leaves the word as it was: cleared first, the word
    // of the last wait is never dispatched again.
    eventMaskWord_ = 0;
    std::uint32_t code = 0;
    if (device_->WaitCommEvent(&eventMaskWord_, *waitEvent_)) {
      dispatch = !thread->Terminated();
    } else if (!thread->Terminated()) {
      code = sys.LastError();
      if (code == platform::kErrorIoPending) {
        code = 0;
        gate->SetState(gen, TComThreadState::Waiting);
        bool signalled = waitEvent_->Wait(-1);
        gate->SetState(gen, TComThreadState::Busy);
        if (signalled && !thread->Terminated()) {
          // The wait that ended may have failed: only its error counts then.
          if (device_->GetWaitResult()) {
            dispatch = true;
          } else {
            code = sys.LastError();
            // Signalled before the driver had ended it: nothing to deliver.
            if (code == platform::kErrorIoIncomplete) code = 0;
          }
        }
      }
    }
    if (code != 0) {
      threadErrorCode_ = static_cast<int>(code);
      sys.SetLastError(0);
      failed = true;
      error = code;
    }
    // Only a completed wait's word is ours to read: a wait abandoned on
    // termination is still the driver's until the mask is cleared.
    if (dispatch) mask = eventMaskWord_;
  }
  // Out of the wait phase: from here on the port is reached only through
  // calls that ask the gate on the UI thread.

  if (failed) {
    // The error is raised on the UI thread whatever SynchronizeEvents says;
    // its exception comes back here and ends the thread.
    std::exception_ptr raised;
    try {
      SyncOnUi(thread, *gate, gen, [gate, gen] {
        if (TCustomComPort* p = gate->Attached(gen)) p->RaiseThreadError();
      });
    } catch (...) {
      raised = std::current_exception();
    }
    if (error == platform::Serial().DeviceGoneCode()) {
      try {
        SyncOnUi(thread, *gate, gen, [gate, gen] {
          if (TCustomComPort* p = gate->Attached(gen)) p->Close();
        });
      } catch (...) {
        // The error raised above ends the thread either way.
      }
    }
    thread->Terminate();
    if (raised) std::rethrow_exception(raised);
    return;
  }

  // A wait ended by a new mask carries no events: nothing to deliver.
  if (!dispatch || mask == 0) return;
  if (direct) {
    {
      std::lock_guard<std::mutex> lock(gate->mu);
      if (gate->port == nullptr || gate->current != gen) return;
      ++gate->inDirectDispatch;
    }
    LeavePhase leave{*gate, gate->inDirectDispatch};
    ThreadDoEvent();
  } else {
    SyncOnUi(thread, *gate, gen, [gate, gen] {
      if (TCustomComPort* p = gate->Attached(gen)) p->ThreadDoEvent();
    });
  }
}

void TCustomComPort::RaiseThreadError() {
  RaiseError(threadErrorCode_, platform::Serial().ErrorText(static_cast<std::uint32_t>(threadErrorCode_)));
}

void TCustomComPort::ThreadDoEvent() {
  if (!IsOpen()) return;
  // The driver events in dispatch order; index -1 is the line error.
  struct Entry {
    std::uint32_t bit;
    int notify;
    const char* text;
  };
  static const Entry kOrder[] = {
      {platform::kEvBreak, kBreak, "Break event"},
      {platform::kEvCts, kCTSChange, "CTSChange event"},
      {platform::kEvDsr, kDSRChange, "DSRChange event"},
      {platform::kEvErr, -1, "LineError event"},
      {platform::kEvEvent1, kEvent1, "Event1 event"},
      {platform::kEvEvent2, kEvent2, "Event2 event"},
      {platform::kEvPErr, kPrinterError, "PrinterError event"},
      {platform::kEvRing, kRing, "Ring event"},
      {platform::kEvRlsd, kRLSDChange, "RLSDChange event"},
      {platform::kEvRx80Full, kRx80PercFull, "Rx80PercFull event"},
      {platform::kEvRxChar, kRxChar, "RxChar event"},
      {platform::kEvRxFlag, kRxFlag, "RxFlag event"},
      {platform::kEvTxEmpty, kTxEmpty, "TxEmpty event"},
  };
  // A handler may close the port, assign events anew (a new thread then
  // fills the word with its own wait) or even destroy the port: the word is
  // read once, and after every handler the dispatch goes on only while the
  // port is alive and open.
  const std::uint32_t word = eventMaskWord_;
  std::shared_ptr<TComThreadGate> gate = threadGate_;
  auto stillHere = [this, &gate] {
    if (gate) {
      std::lock_guard<std::mutex> lock(gate->mu);
      if (gate->port != this) return false;
    }
    return IsOpen();
  };
  try {
    for (const Entry& e : kOrder) {
      if ((word & e.bit) == 0) continue;
      if (Log()) WriteLog(e.text, nullptr, 0);
      if (e.notify < 0) {
        if (onLineError_.Assigned()) CheckLineErrors();
      } else {
        // A copy: the handler may assign the event anew.
        TNotifyEvent handler = notify_[e.notify];
        if (handler.Assigned()) handler(this);
      }
      if (!stillHere()) return;
    }
  } catch (const Exception&) {
    // Shown (the silent abort is not); the rest of this wait is skipped,
    // and a box that fails as well ends here too.
    HandleDispatchException(this);
  }
}

// ---------------------------------------------------------------------------
// Device notifications.

bool TCustomComPort::StartNotification() {
  if (notification_ != nullptr) return true;
  platform::IDeviceNotifications& dn = DeviceNotifications();
  notificationHook_ =
      dn.AddMainWindowHook([this](const platform::WindowMessage& m) { return WindowHook(m); });
  platform::DeviceInterfaceFilter filter;
  filter.ClassGuid = platform::kGuidUsbDeviceInterface;
  notification_ = dn.RegisterDeviceInterface(filter);
  if (notification_ == nullptr) {
    dn.RemoveMainWindowHook(notificationHook_);
    notificationHook_ = 0;
    return false;
  }
  return true;
}

bool TCustomComPort::StopNotification() {
  if (notification_ == nullptr) return true;
  platform::IDeviceNotifications& dn = DeviceNotifications();
  bool ok = dn.UnregisterDeviceInterface(notification_);
  notification_ = nullptr;
  dn.RemoveMainWindowHook(notificationHook_);
  notificationHook_ = 0;
  return ok;
}

bool TCustomComPort::WindowHook(const platform::WindowMessage& message) {
  if (message.Msg != platform::kWmDeviceChange) return false;
  bool arrival = message.WParam == platform::kDbtDeviceArrival;
  if (!arrival && message.WParam != platform::kDbtDeviceRemoveComplete) return false;
  if (message.LParam == 0) return false;
  const auto* record = reinterpret_cast<const unsigned char*>(message.LParam);
  std::uint32_t size = 0, type = 0;
  std::memcpy(&size, record, 4);
  std::memcpy(&type, record + 4, 4);
  std::size_t offset;
  if (type == platform::kDbtDevTypPort)
    offset = platform::kBroadcastPortNameOffset;
  else if (type == platform::kDbtDevTypDeviceInterface)
    offset = platform::kBroadcastInterfaceNameOffset;
  else
    return false;
  // The name ends at its zero or, at the latest, with the record.
  if (size <= offset) return false;
  const char* name = reinterpret_cast<const char*>(record + offset);
  std::string deviceName(name, strnlen(name, size - offset));
  TDeviceEvent handler = arrival ? onDeviceArrival_ : onDeviceRemoved_;
  if (handler.Assigned()) handler(this, deviceName);
  return false;
}
