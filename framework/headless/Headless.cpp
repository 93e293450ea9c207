#include "framework/headless/Headless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Thread.h"
#include "platform/Platform.h"

namespace {

class THeadlessPeer final : public IControlPeer {
 public:
  THeadlessPeer(TControl& c, THeadlessToolkit& tk) : c_(c), tk_(tk) {}
  void Changed(TChange what) override {
    if (!tk_.TraceControls()) return;
    using platform::Transcript;
    switch (c_.Kind()) {
      case TControlKind::Label:
        if (what == TChange::Text) Transcript::Line("status " + Transcript::Escape(c_.Caption()));
        break;
      case TControlKind::ProgressBar:
        if (what == TChange::Position)
          Transcript::Line("progress " + std::to_string(static_cast<TProgressBar&>(c_).Position()));
        break;
      case TControlKind::Panel:
        if (what == TChange::Color) {
          char buf[16];
          TColor col = c_.Color();
          std::snprintf(buf, sizeof buf, "%02X%02X%02X", ColorR(col), ColorG(col), ColorB(col));
          Transcript::Line("panel " + c_.Name() + " " + buf);
        }
        break;
      default:
        break;
    }
  }

 private:
  TControl& c_;
  THeadlessToolkit& tk_;
};

void GivePeers(TControl& c, THeadlessToolkit& tk) {
  if (c.Peer() == nullptr) c.SetPeer(std::make_unique<THeadlessPeer>(c, tk));
  for (TControl* child : c.Children()) GivePeers(*child, tk);
}

}  // namespace

THeadlessToolkit::THeadlessToolkit() = default;
THeadlessToolkit::~THeadlessToolkit() = default;

void THeadlessToolkit::ShowForm(TForm& form) {
  bool first = form.Peer() == nullptr;
  GivePeers(form, *this);
  if (first) platform::Transcript::Line("show " + platform::Transcript::Escape(form.Caption()));
}

void THeadlessToolkit::HideForm(TForm&) { platform::Transcript::Line("close"); }

void THeadlessToolkit::Quit() {
  quit_ = true;
  WakeMainThread();
}

void THeadlessToolkit::WakeMainThread() {
  {
    std::lock_guard<std::mutex> lock(wakeMu_);
    woken_ = true;
  }
  wakeCv_.notify_all();
}

void THeadlessToolkit::StartTimer(TTimer& timer, int intervalMs) {
  TimerState st;
  st.intervalUs = intervalMs * 1000;
  st.dueUs = platform::NowUs() + st.intervalUs;
  timers_[&timer] = st;
}

void THeadlessToolkit::StopTimer(TTimer& timer) { timers_.erase(&timer); }

void THeadlessToolkit::At(std::int64_t timeUs, std::function<void()> action) {
  actions_.emplace(timeUs, std::move(action));
}

std::int64_t THeadlessToolkit::NextDueUs() {
  std::int64_t next = -1;
  for (auto& [t, st] : timers_)
    if (next < 0 || st.dueUs < next) next = st.dueUs;
  if (!actions_.empty() && (next < 0 || actions_.begin()->first < next)) next = actions_.begin()->first;
  return next;
}

bool THeadlessToolkit::RunDue() {
  bool ran = CheckSynchronize();
  std::int64_t now = platform::NowUs();
  // Scripted actions first, then timers, each in order of their due time.
  while (!actions_.empty() && actions_.begin()->first <= now) {
    auto fn = std::move(actions_.begin()->second);
    actions_.erase(actions_.begin());
    GuardedDispatch(fn);
    ran = true;
    if (quit_) return ran;
    ran = CheckSynchronize() || ran;
  }
  for (;;) {
    TTimer* due = nullptr;
    std::int64_t best = 0;
    for (auto& [t, st] : timers_)
      if (st.dueUs <= now && (due == nullptr || st.dueUs < best)) {
        due = t;
        best = st.dueUs;
      }
    if (due == nullptr) break;
    // Like a window-message timer: the next tick counts from this one.
    timers_[due].dueUs = now + timers_[due].intervalUs;
    due->DispatchTick();
    ran = true;
    if (quit_) return ran;
    CheckSynchronize();
    now = platform::NowUs();
  }
  return ran;
}

void THeadlessToolkit::ProcessMessages() {
  ++depth_;
  RunDue();
  --depth_;
}

void THeadlessToolkit::RunLoop() {
  platform::IClock& clock = platform::Current().Clock();
  while (!quit_) {
    RunDue();
    if (quit_) break;
    if (SynchronizePending()) continue;
    std::int64_t next = NextDueUs();
    if (clock.IsVirtual()) {
      auto& vclock = static_cast<platform::VirtualClock&>(clock);
      std::int64_t ev = vclock.NextEventUs();
      if (next < 0 && ev < 0) {
        // Nothing can happen any more: no timer, no action, no device event.
        platform::Transcript::Line("idle");
        return;
      }
      std::int64_t to = next;
      if (ev >= 0 && (to < 0 || ev < to)) to = ev;
      vclock.AdvanceTo(std::max(to, vclock.NowUs()));
      continue;
    }
    if (next < 0) {
      platform::Transcript::Line("idle");
      return;
    }
    std::unique_lock<std::mutex> lock(wakeMu_);
    std::int64_t waitUs = next - clock.NowUs();
    if (waitUs > 0 && !woken_)
      wakeCv_.wait_for(lock, std::chrono::microseconds(waitUs), [&] { return woken_; });
    woken_ = false;
  }
}

void THeadlessToolkit::MessageBox(const std::string& text, const std::string& title, TMsgBoxKind) {
  platform::Transcript::Line("box " + title + ": " + platform::Transcript::Escape(text));
  if (boxHook_) boxHook_(title, text);
}

void THeadlessToolkit::ShowExceptionBox(const std::string& message) {
  platform::Transcript::Line("exception " + platform::Transcript::Escape(message));
}
