#include "framework/Thread.h"

#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include "framework/Toolkit.h"
#include "platform/Platform.h"

namespace {

struct SyncCall {
  TThread* thread = nullptr;
  std::function<void()> fn;
  bool done = false;
  std::exception_ptr error;
};

std::mutex g_syncMu;
std::condition_variable g_syncCv;
std::deque<std::shared_ptr<SyncCall>> g_queue;
// The thread that starts the program is the UI thread until a toolkit says
// otherwise: a synchronised call from any other thread must never run on
// that thread itself, with or without an application object.
std::thread::id g_mainThread = std::this_thread::get_id();

// Threads started whose body has not ended yet; guarded by g_freedMu.
int g_running = 0;

// Never destroyed: a thread may still signal them while the exit routines
// run.
std::mutex& g_freedMu = *new std::mutex;
std::condition_variable& g_freedCv = *new std::condition_variable;

// The system threads of free-on-terminate threads that have freed
// themselves, until they are joined. Never destroyed: a thread still in it
// at exit must not be destroyed joinable.
std::vector<std::thread>& Freed() {
  static auto* freed = new std::vector<std::thread>;
  return *freed;
}

}  // namespace

void SetMainThread() {
  std::lock_guard<std::mutex> lock(g_syncMu);
  g_mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
  std::lock_guard<std::mutex> lock(g_syncMu);
  return g_mainThread == std::this_thread::get_id();
}

bool SynchronizePending() {
  std::lock_guard<std::mutex> lock(g_syncMu);
  return !g_queue.empty();
}

bool CheckSynchronize() {
  bool ran = false;
  for (;;) {
    std::shared_ptr<SyncCall> call;
    {
      std::lock_guard<std::mutex> lock(g_syncMu);
      if (g_queue.empty()) break;
      call = g_queue.front();
      g_queue.pop_front();
    }
    std::exception_ptr error;
    try {
      call->fn();
    } catch (...) {
      error = std::current_exception();
    }
    {
      // The exception goes over to the calling thread whole: this thread
      // keeps no reference, so it is freed where it is caught.
      std::lock_guard<std::mutex> lock(g_syncMu);
      call->error = std::move(error);
      call->done = true;
    }
    g_syncCv.notify_all();
    ran = true;
  }
  return ran;
}

TThread::TThread() = default;

TThread::~TThread() {
  if (!freeOnTerminate_) {
    Terminate();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
      else
        thread_.join();
    }
  } else if (thread_.joinable()) {
    thread_.detach();
  }
}

void TThread::Start() {
  // Those that ended before keep nothing behind.
  JoinFreedThreads();
  {
    std::lock_guard<std::mutex> lock(startMu_);
    if (started_) return;
    started_ = true;
    {
      std::lock_guard<std::mutex> count(g_freedMu);
      ++g_running;
    }
    thread_ = std::thread([this] { Body(); });
  }
  // The thread takes its priority before Start returns: from then on it
  // touches the platform only in Execute, which its owner waits out.
  std::unique_lock<std::mutex> lock(priorityMu_);
  priorityCv_.wait(lock, [this] { return prioritised_; });
  startDone_ = true;
  priorityCv_.notify_all();
}

void TThread::Body() {
  {
    // Wait until Start has stored the thread object.
    std::lock_guard<std::mutex> lock(startMu_);
  }
  {
    std::unique_lock<std::mutex> lock(priorityMu_);
    if (platform::IPlatform* pl = platform::Installed()) systemId_ = pl->CurrentThreadId();
    if (priority_ != tpNormal) ApplyPriorityLocked();
    prioritised_ = true;
    priorityCv_.notify_all();
    // Start still uses this object until it has seen the priority set.
    priorityCv_.wait(lock, [this] { return startDone_; });
  }
  try {
    Execute();
  } catch (...) {
    // An exception ends the thread, as in the toolkit; nothing to report.
  }
  {
    std::lock_guard<std::mutex> lock(priorityMu_);
    systemId_ = 0;
  }
  finished_ = true;
  if (freeOnTerminate_) {
    std::thread self = std::move(thread_);
    delete this;
    {
      std::lock_guard<std::mutex> lock(g_freedMu);
      Freed().push_back(std::move(self));
      --g_running;
    }
  } else {
    std::lock_guard<std::mutex> lock(g_freedMu);
    --g_running;
  }
  g_freedCv.notify_all();
}

bool TThread::EndThreads(std::chrono::milliseconds limit) {
  bool ended;
  {
    std::unique_lock<std::mutex> lock(g_freedMu);
    ended = g_freedCv.wait_for(lock, limit, [] { return g_running == 0; });
  }
  JoinFreedThreads();
  return ended;
}

void TThread::JoinFreedThreads() {
  std::vector<std::thread> freed;
  {
    std::lock_guard<std::mutex> lock(g_freedMu);
    freed.swap(Freed());
  }
  // Each has freed itself: what is left of it is its return.
  for (std::thread& t : freed) t.join();
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

// Given at once to a running thread, and by the thread to itself when it
// starts.
void TThread::SetPriority(TThreadPriority p) {
  std::lock_guard<std::mutex> lock(priorityMu_);
  priority_ = p;
  ApplyPriorityLocked();
}

void TThread::ApplyPriorityLocked() {
  if (systemId_ == 0) return;
  if (platform::IPlatform* pl = platform::Installed())
    pl->SetThreadPriority(systemId_, static_cast<int>(priority_));
}

void TThread::Synchronize(const std::function<void()>& fn) { Synchronize(this, fn); }

void TThread::Synchronize(TThread* thread, const std::function<void()>& fn) {
  SynchronizeCall(thread, fn, false);
}

bool TThread::SynchronizeUnlessTerminated(TThread* thread, const std::function<void()>& fn) {
  return SynchronizeCall(thread, fn, true);
}

bool TThread::SynchronizeCall(TThread* thread, const std::function<void()>& fn, bool unlessTerminated) {
  if (IsMainThread()) {
    fn();
    return true;
  }
  auto call = std::make_shared<SyncCall>();
  call->thread = thread;
  call->fn = fn;
  {
    std::lock_guard<std::mutex> lock(g_syncMu);
    if (unlessTerminated && thread != nullptr && thread->Terminated()) return false;
    g_queue.push_back(call);
  }
  // Without a toolkit nobody sleeps in a message loop: the UI thread runs
  // the call when it next checks the queue.
  if (IToolkit* t = InstalledToolkit()) t->WakeMainThread();
  std::unique_lock<std::mutex> lock(g_syncMu);
  g_syncCv.wait(lock, [&] { return call->done; });
  std::exception_ptr error = std::move(call->error);
  lock.unlock();
  if (error) std::rethrow_exception(error);
  return true;
}

void TThread::RemoveQueuedEvents(TThread* thread) {
  {
    std::lock_guard<std::mutex> lock(g_syncMu);
    for (auto it = g_queue.begin(); it != g_queue.end();) {
      if ((*it)->thread == thread) {
        (*it)->done = true;
        it = g_queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  g_syncCv.notify_all();
}
