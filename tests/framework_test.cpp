// The component model, method references, timers and the synchronised call.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

#include "framework/Classes.h"
#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/Strings.h"
#include "framework/Thread.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"

namespace {

struct Handlers {
  int a = 0, b = 0;
  void A(TObject*) { ++a; }
  void B(TObject*) { ++b; }
  // Same body as A: a linker may fold the code of A and C together.
  void C(TObject*) { ++a; }
};

TEST(MethodTest, SameFunctionAndSameObject) {
  Handlers h1, h2;
  TNotifyEvent a1(&h1, &Handlers::A), a2(&h2, &Handlers::A), b1(&h1, &Handlers::B), c1(&h1, &Handlers::C);
  EXPECT_TRUE(a1.SameFunction(a2));
  EXPECT_FALSE(a1 == a2);
  EXPECT_TRUE(a1 == TNotifyEvent(&h1, &Handlers::A));
  EXPECT_FALSE(a1.SameFunction(b1));
  EXPECT_FALSE(a1.SameFunction(c1)) << "identical bodies are still different functions";
  EXPECT_FALSE(TNotifyEvent().Assigned());
  EXPECT_TRUE(TNotifyEvent().SameFunction(TNotifyEvent()));
  EXPECT_FALSE(TNotifyEvent().SameFunction(a1));
  a1(nullptr);
  c1(nullptr);
  b1(nullptr);
  EXPECT_EQ(h1.a, 2);
  EXPECT_EQ(h1.b, 1);
}

struct Base {
  virtual ~Base() = default;
  virtual void F(TObject*) {}
};
struct Derived : Base {
  void F(TObject*) override {}
  void G(TObject*) {}
};

TEST(MethodTest, MembersOfDifferentClassesNeverCompareEqual) {
  Derived d;
  TNotifyEvent viaBase(&d, &Base::F), viaDerived(&d, &Derived::G);
  EXPECT_FALSE(viaBase.SameFunction(viaDerived));
  EXPECT_TRUE(viaBase.SameFunction(TNotifyEvent(static_cast<Base*>(&d), &Base::F)));
}

class Watcher : public TComponent {
 public:
  using TComponent::TComponent;
  TComponent* watched = nullptr;
  std::vector<std::string> log;
  int loaded = 0;

 protected:
  void Loaded() override {
    TComponent::Loaded();
    ++loaded;
    log.push_back("loaded " + Name());
  }
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove && c == watched) {
      watched = nullptr;
      log.push_back("removed");
    }
  }
};

TEST(ComponentTest, OwnerFreesOwnedAndSiblingsHearOfRemoval) {
  auto* owner = new TComponent(nullptr);
  auto* w = new Watcher(owner);
  auto* victim = new TComponent(owner);
  w->watched = victim;
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete victim;
  EXPECT_EQ(w->watched, nullptr);
  EXPECT_EQ(owner->ComponentCount(), 1);
  delete owner;  // frees w; ASan reports a leak or double free otherwise
}

TEST(ComponentTest, FreeNotificationAcrossOwners) {
  TComponent a(nullptr);
  Watcher w(nullptr);
  auto* other = new TComponent(&a);
  w.watched = other;
  w.FreeNotification(other);
  delete other;
  EXPECT_EQ(w.watched, nullptr);
}

TEST(ComponentTest, LoadingThenLoadedInCreationOrder) {
  TComponent owner(nullptr);
  auto* first = new Watcher(&owner);
  first->SetName("first");
  auto* second = new Watcher(&owner);
  second->SetName("second");
  owner.BeginLoading();
  EXPECT_TRUE(first->ComponentState().Contains(csLoading));
  owner.EndLoading();
  EXPECT_FALSE(first->ComponentState().Contains(csLoading));
  EXPECT_FALSE(owner.ComponentState().Contains(csLoading));
  EXPECT_EQ(first->loaded, 1);
  EXPECT_EQ(second->loaded, 1);
}

TEST(StringListTest, AppendsInOrderUnlessSorted) {
  TStringList l;
  l.Add("COM5");
  l.Add("COM1");
  l.Add("COM1");
  ASSERT_EQ(l.Count(), 3);
  EXPECT_EQ(l[0], "COM5");
  EXPECT_EQ(l.IndexOf("COM1"), 1);
  l.SetSorted(true);
  EXPECT_EQ(l[0], "COM1");
  l.Add("COM3");
  EXPECT_EQ(l[2], "COM3");
}

TEST(ScaleToPpiTest, RoundsToTheNearestPixelWithHalvesAwayFromZero) {
  struct Case {
    int ppi, design, screen;
  } cases[] = {
      {96, 593, 593},  {96, -11, -11},  {96, 0, 0},      {120, 1, 1},     {120, 2, 3},     {120, 13, 16},
      {120, 18, 23},   {120, 593, 741}, {120, -2, -3},   {120, -11, -14}, {144, 1, 2},     {144, 13, 20},
      {144, 175, 263}, {144, -1, -2},   {144, -11, -17}, {192, 0, 0},     {192, 137, 274}, {192, -11, -22},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ScaleToPpi(c.design, c.ppi), c.screen) << c.design << " at " << c.ppi << " dpi";
}

TEST(ColorTest, SystemColoursHaveTheHighBitAndATableIndex) {
  struct Case {
    TColor color;
    int index;  // in the system's colour table; -1: a plain colour
  } cases[] = {
      {clBlack, -1},    {clGreen, -1},   {clLime, -1},      {clWhite, -1}, {clRed, -1},     {0x00123456, -1},
      {0x7F123456, -1}, {clBtnFace, 15}, {clWindowText, 8}, {clWindow, 5}, {0x80000000, 0}, {0x80000018, 24},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsSystemColor(c.color) ? SystemColorIndex(c.color) : -1, c.index) << std::hex << c.color;
}

// A scoped installation gives back what was installed before it, not merely
// nothing, however deep the nesting.
TEST(ScopedInstallTest, TheEndOfAScopeGivesBackThePreviousBackend) {
  IToolkit* const before = InstalledToolkit();
  platform::IPlatform* const platformBefore = platform::Installed();
  platform::SimPlatform outer, inner;
  THeadlessToolkit outerTk, innerTk;
  {
    platform::ScopedPlatform useOuter(outer);
    ScopedToolkit useOuterTk(outerTk);
    {
      platform::ScopedPlatform useInner(inner);
      ScopedToolkit useInnerTk(innerTk);
      EXPECT_EQ(platform::Installed(), &inner);
      EXPECT_EQ(InstalledToolkit(), &innerTk);
    }
    EXPECT_EQ(platform::Installed(), &outer);
    EXPECT_EQ(InstalledToolkit(), &outerTk);
  }
  EXPECT_EQ(platform::Installed(), platformBefore);
  EXPECT_EQ(InstalledToolkit(), before);
}

// The headless toolkit on the virtual clock.
class HeadlessTest : public ::testing::Test {
 protected:
  platform::SimPlatform sim{true};
  THeadlessToolkit tk;
  TApplication app;
  platform::ScopedPlatform useSim{sim};
  ScopedToolkit useTk{tk};
};

struct Ticker {
  std::vector<long long> at;
  TTimer* timer = nullptr;
  int stopAfter = 1000;
  bool throwAbort = false, throwError = false;
  void Tick(TObject*) {
    at.push_back(platform::Current().Clock().NowMs());
    if (static_cast<int>(at.size()) >= stopAfter) timer->SetEnabled(false);
    if (throwAbort) Abort();
    if (throwError) throw Exception("kaputt");
  }
};

TEST_F(HeadlessTest, TimerTicksOnTheVirtualClockUntilDisabled) {
  TTimer timer(nullptr);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000);
  Ticker t;
  t.timer = &timer;
  t.stopAfter = 3;
  timer.SetOnTimer(TNotifyEvent(&t, &Ticker::Tick));
  tk.RunLoop();  // ends when nothing can happen any more
  EXPECT_EQ(t.at, (std::vector<long long>{1000, 2000, 3000}));
}

TEST_F(HeadlessTest, TimerWithZeroIntervalNeverTicks) {
  TTimer timer(nullptr);
  Ticker t;
  t.timer = &timer;
  timer.SetInterval(0);
  timer.SetOnTimer(TNotifyEvent(&t, &Ticker::Tick));
  EXPECT_FALSE(timer.Running());
  tk.RunLoop();
  EXPECT_TRUE(t.at.empty());
}

TEST_F(HeadlessTest, DueTimerRunsInsideProcessMessagesAfterASleep) {
  TTimer timer(nullptr);
  Ticker t;
  t.timer = &timer;
  t.stopAfter = 1;
  timer.SetInterval(10);
  timer.SetOnTimer(TNotifyEvent(&t, &Ticker::Tick));
  platform::Sleep(5);
  app.ProcessMessages();
  EXPECT_TRUE(t.at.empty());
  platform::Sleep(7);
  app.ProcessMessages();
  EXPECT_EQ(t.at, std::vector<long long>{12});
}

TEST_F(HeadlessTest, ExceptionLeavingATimerIsShownButTheSilentAbortIsNot) {
  std::ostringstream out;
  platform::Transcript::SetStream(&out);
  TTimer t1(nullptr), t2(nullptr);
  Ticker a, b;
  a.timer = &t1;
  a.stopAfter = 1;
  a.throwAbort = true;
  b.timer = &t2;
  b.stopAfter = 1;
  b.throwError = true;
  t1.SetOnTimer(TNotifyEvent(&a, &Ticker::Tick));
  t2.SetInterval(2000);
  t2.SetOnTimer(TNotifyEvent(&b, &Ticker::Tick));
  tk.RunLoop();
  platform::Transcript::SetStream(nullptr);
  EXPECT_EQ(out.str(), "exception kaputt\nidle\n");
}

// The headless toolkit whose exception box fails in turn, as a box may while
// the program is going down.
class FailingBoxToolkit final : public THeadlessToolkit {
 public:
  std::vector<std::string> attempts;
  void ShowExceptionBox(const std::string& message) override {
    attempts.push_back(message);
    throw std::runtime_error("no box for " + message);
  }
};

// The headless fixture with that toolkit in place of the plain one.
class FailingBoxTest : public HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    useFailing.emplace(failing);
  }
  FailingBoxToolkit failing;
  std::optional<ScopedToolkit> useFailing;
};

TEST_F(FailingBoxTest, TheLoopGoesOnWhenTheExceptionBoxFailsAsWell) {
  TTimer timer(nullptr);
  Ticker t;
  t.timer = &timer;
  t.stopAfter = 3;
  t.throwError = true;
  timer.SetOnTimer(TNotifyEvent(&t, &Ticker::Tick));
  bool lastActionRan = false;
  failing.At(1'500'000, [] { throw Exception("Klick"); });
  failing.At(3'500'000, [&] { lastActionRan = true; });
  EXPECT_NO_THROW(failing.RunLoop());
  EXPECT_EQ(t.at, (std::vector<long long>{1000, 2000, 3000}));
  EXPECT_EQ(failing.attempts, (std::vector<std::string>{"kaputt", "Klick", "kaputt", "kaputt"}));
  EXPECT_TRUE(lastActionRan);
}

class Worker : public TThread {
 public:
  std::atomic<int> result{0};
  bool raise = false;
  std::string caught;
  void Execute() override {
    try {
      Synchronize([this] {
        EXPECT_TRUE(IsMainThread());
        if (raise) throw Exception("vom UI-Thread");
        result = 42;
      });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  }
};

TEST_F(HeadlessTest, SynchronizeRunsOnTheUiThreadAndCarriesExceptionsBack) {
  for (bool raise : {false, true}) {
    Worker w;
    w.raise = raise;
    w.Start();
    while (!w.Finished()) app.ProcessMessages();
    w.WaitFor();
    EXPECT_EQ(w.result.load(), raise ? 0 : 42);
    EXPECT_EQ(w.caught, raise ? "vom UI-Thread" : "");
  }
}

class Blocked : public TThread {
 public:
  std::atomic<bool> ran{false};
  void Execute() override {
    Synchronize([this] { ran = true; });
  }
};

TEST_F(HeadlessTest, RemovedQueuedCallReleasesItsCallerWithoutRunning) {
  Blocked b;
  b.Start();
  while (!SynchronizePending()) std::this_thread::yield();
  TThread::RemoveQueuedEvents(&b);
  b.WaitFor();
  app.ProcessMessages();
  EXPECT_FALSE(b.ran.load());
}

}  // namespace
