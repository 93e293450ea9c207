#include "framework/linux/UeventNotify.h"

#include <chrono>
#include <thread>

#include "framework/Thread.h"
#include "platform/linux/Uevent.h"

class TUeventNotifications::TReader final : public TThread {
 public:
  TReader(TUeventNotifications& owner, platform::IUeventSource& source) : owner_(owner), source_(source) {}

 protected:
  void Execute() override {
    std::string datagram;
    while (!Terminated() && source_.Receive(datagram)) {
      if (Terminated()) break;
      Synchronize([this, datagram] { owner_.Deliver(datagram); });
    }
  }

 private:
  TUeventNotifications& owner_;
  platform::IUeventSource& source_;
};

TUeventNotifications::TUeventNotifications(SourceFactory factory) : factory_(std::move(factory)) {}

TUeventNotifications::~TUeventNotifications() { StopReader(); }

int TUeventNotifications::AddMainWindowHook(platform::MainWindowHook hook) {
  int id = nextHook_++;
  hooks_.emplace(id, std::move(hook));
  return id;
}

void TUeventNotifications::RemoveMainWindowHook(int id) { hooks_.erase(id); }

void* TUeventNotifications::RegisterDeviceInterface(const platform::DeviceInterfaceFilter&) {
  // The kernel reports ttys, whatever adapter they hang on; one socket
  // serves every registration.
  if (registrations_ == 0) {
    source_ = factory_ ? factory_() : std::make_unique<platform::NetlinkUeventSource>();
    if (!source_ || !source_->Open()) {
      source_.reset();
      return nullptr;
    }
    reader_ = new TReader(*this, *source_);
    try {
      reader_->Start();
    } catch (...) {
      delete reader_;
      reader_ = nullptr;
      source_.reset();
      return nullptr;
    }
  }
  ++registrations_;
  return new int(registrations_);
}

bool TUeventNotifications::UnregisterDeviceInterface(void* registration) {
  if (registration == nullptr || registrations_ == 0) return false;
  delete static_cast<int*>(registration);
  if (--registrations_ == 0) StopReader();
  return true;
}

void TUeventNotifications::StopReader() {
  if (reader_ == nullptr) return;
  reader_->Terminate();
  source_->Interrupt();
  // A reader that waits for the UI thread (this one) is let go without its
  // call having run.
  while (!reader_->Finished()) {
    TThread::RemoveQueuedEvents(reader_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader_->WaitFor();
  delete reader_;
  reader_ = nullptr;
  source_.reset();
}

void TUeventNotifications::Deliver(const std::string& datagram) {
  std::optional<platform::TtyUevent> ev = platform::ParseTtyUevent(datagram);
  if (!ev) return;
  std::string storage;
  platform::WindowMessage m = platform::MakeDeviceChangeMessage(
      ev->Added ? platform::kDbtDeviceArrival : platform::kDbtDeviceRemoveComplete, platform::kDbtDevTypPort,
      ev->Name, storage);
  // A copy: a hook may add or remove hooks.
  std::map<int, platform::MainWindowHook> hooks = hooks_;
  for (auto& [id, hook] : hooks) hook(m);
}
