// The Qt backend on Qt's offscreen platform: controls, message boxes,
// timers, message processing and the synchronised call.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/Thread.h"
#include "framework/qt/QtToolkit.h"
#include "platform/sim/SimPlatform.h"
#include "tests/qt/QtTestSupport.h"

namespace {

using qvtest::BoxResponder;

// A handler object for the models' method references.
struct Handler : TObject {
  std::function<void(TObject*)> fn;
  explicit Handler(std::function<void(TObject*)> f = {}) : fn(std::move(f)) {}
  void Fire(TObject* sender) {
    if (fn) fn(sender);
  }
  TNotifyEvent Event() { return TNotifyEvent(this, &Handler::Fire); }
};

struct CloseHandler : TObject {
  bool allow = true;
  int asked = 0;
  void Query(TObject*, bool& canClose) {
    ++asked;
    canClose = allow;
  }
};

class QtToolkitTest : public testing::Test {
 protected:
  QtToolkitTest() {
    qvtest::QtApp();
    app_ = std::make_unique<TApplication>();
  }
  ~QtToolkitTest() override { app_.reset(); }

  // Runs the loop until `done` holds; a watchdog ends it should the
  // behaviour under test never get there, so the test fails instead of
  // hanging.
  void RunUntil(const std::function<bool()>& done) {
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
      if (done()) toolkit_.Quit();
    });
    check.start(2);
    QTimer::singleShot(20000, [this] { toolkit_.Quit(); });
    toolkit_.RunLoop();
  }

  platform::SimPlatform sim_{false};
  TQtToolkit toolkit_;
  std::unique_ptr<TApplication> app_;
  platform::ScopedPlatform useSim_{sim_};
  ScopedToolkit useToolkit_{toolkit_};
};

template <class W>
W* Find(QWidget* root, const char* name) {
  W* w = root->findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

struct TestForm {
  std::unique_ptr<TForm> form = std::make_unique<TForm>(nullptr);
  TGroupBox* group;
  TProgressBar* bar;
  TPanel* panel;
  TLabel* label;
  TComboBox* combo;
  TButton* button;

  template <class T>
  T* Add(const char* name, TControl* parent, int l, int t, int w, int h) {
    T* c = new T(form.get());
    c->SetName(name);
    c->SetParent(parent);
    c->SetBounds(l, t, w, h);
    return c;
  }

  TestForm() {
    form->SetName("TestForm");
    form->SetFixedBorder(true);
    form->SetMinimizeOnly(true);
    form->SetPosition(TPosition::ScreenCenter);
    form->SetIconName("quorvaltine");
    form->SetBounds(0, 0, 593, 175);
    form->SetCaption("Prüffenster");
    TFont arial;
    arial.Name = "Arial";
    arial.Height = -16;
    group = Add<TGroupBox>("Group", form.get(), 16, 24, 353, 89);
    group->SetCaption("Status");
    group->SetFont(arial);
    bar = Add<TProgressBar>("Bar", group, 16, 32, 233, 25);
    bar->SetSmooth(true);
    panel = Add<TPanel>("Panel", group, 264, 32, 73, 25);
    panel->SetCaption("Reset");
    panel->SetColor(clGreen);
    panel->SetBevelOuter(TBevelCut::Lowered);
    TFont bold = arial;
    bold.Bold = true;
    panel->SetFont(bold);
    label = Add<TLabel>("Label", group, 16, 64, 329, 18);
    label->SetAutoSize(false);
    label->SetColor(clWhite);
    combo = Add<TComboBox>("Combo", form.get(), 400, 48, 137, 26);
    combo->SetDropDownList(true);
    combo->SetFont(arial);
    combo->SetItemHeight(18);
    combo->AddItem("ttyS0");
    combo->AddItem("ttyUSB0");
    button = Add<TButton>("Button", form.get(), 400, 80, 137, 25);
    button->SetCaption("suchen");
  }

  QWidget* Window() const {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "TestForm") return w;
    return nullptr;
  }
};

TEST_F(QtToolkitTest, FormIsAFixedCentredWindowWithMinimizeOnlyAndItsIcon) {
  TestForm f;
  f.form->Show();
  QWidget* w = f.Window();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Prüffenster"));
  // Offscreen windows have no frame, so the client area is the outer size.
  EXPECT_EQ(w->frameGeometry().size(), QSize(593, 175));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  Qt::WindowFlags flags = w->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
  QRect area = w->screen()->availableGeometry();
  EXPECT_LE((w->frameGeometry().center() - area.center()).manhattanLength(), 1);
  ASSERT_FALSE(w->windowIcon().isNull()) << "the icon resource is compiled in";
  EXPECT_TRUE(w->windowIcon().availableSizes().contains(QSize(96, 96)));
  EXPECT_EQ(toolkit_.PixelsPerInch(), 96);
}

TEST_F(QtToolkitTest, ControlsFollowTheirModels) {
  TestForm f;
  f.form->Show();
  QWidget* w = f.Window();
  ASSERT_NE(w, nullptr);

  auto* group = Find<QGroupBox>(w, "Group");
  auto* bar = Find<QProgressBar>(w, "Bar");
  auto* panel = Find<QLabel>(w, "Panel");
  auto* label = Find<QLabel>(w, "Label");
  auto* combo = Find<QComboBox>(w, "Combo");
  auto* button = Find<QPushButton>(w, "Button");
  ASSERT_TRUE(group && bar && panel && label && combo && button);

  // Children sit at their design positions inside their parents.
  EXPECT_EQ(group->geometry(), QRect(16, 24, 353, 89));
  EXPECT_EQ(bar->parentWidget(), group);
  EXPECT_EQ(bar->geometry(), QRect(16, 32, 233, 25));
  EXPECT_EQ(label->geometry(), QRect(16, 64, 329, 18));
  EXPECT_EQ(group->title(), "Status");
  EXPECT_EQ(button->text(), "suchen");

  // The panel: lowered bevel, its own green background, bold caption.
  EXPECT_EQ(panel->text(), "Reset");
  EXPECT_EQ(panel->frameShadow(), QFrame::Sunken);
  EXPECT_TRUE(panel->autoFillBackground());
  EXPECT_EQ(panel->palette().color(QPalette::Window), QColor(0, 128, 0));
  EXPECT_TRUE(panel->font().bold());
  EXPECT_EQ(panel->font().pixelSize(), 16);
  f.panel->SetColor(clLime);
  EXPECT_EQ(panel->palette().color(QPalette::Window), QColor(0, 255, 0));

  // The status line paints its own white background; the group box does not.
  EXPECT_TRUE(label->autoFillBackground());
  EXPECT_EQ(label->palette().color(QPalette::Window), QColor(255, 255, 255));
  EXPECT_FALSE(group->autoFillBackground());
  f.label->SetCaption("Konfiguration gelesen");
  EXPECT_EQ(label->text(), "Konfiguration gelesen");

  // A missing family falls back to an installed sans-serif one.
  QFontInfo info(group->font());
  EXPECT_EQ(info.pixelSize(), 16);
  EXPECT_TRUE(QFontDatabase::families().contains(info.family())) << info.family().toStdString();

  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  f.bar->SetPosition(40);
  EXPECT_EQ(bar->value(), 40);

  EXPECT_FALSE(combo->isEditable()) << "the user can only pick";
  ASSERT_EQ(combo->count(), 2);
  // The list's entries have the model's item height, not the font's.
  EXPECT_EQ(combo->view()->sizeHintForRow(0), 18);
  EXPECT_EQ(combo->view()->sizeHintForRow(1), 18);
  EXPECT_EQ(combo->currentIndex(), -1);
  f.combo->AddItem("ttyUSB1");
  f.combo->SetItemIndex(2);
  EXPECT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->currentText(), "ttyUSB1");
  f.combo->ClearItems();
  EXPECT_EQ(combo->count(), 0);

  for (bool on : {false, true}) {
    f.button->SetEnabled(on);
    f.combo->SetEnabled(on);
    EXPECT_EQ(button->isEnabled(), on);
    EXPECT_EQ(combo->isEnabled(), on);
  }
  f.label->SetVisible(false);
  EXPECT_TRUE(label->isHidden());
}

TEST_F(QtToolkitTest, UserActionsReachTheModel) {
  TestForm f;
  int clicks = 0;
  Handler onClick([&](TObject*) { ++clicks; });
  std::vector<int> picked;
  Handler onChange([&](TObject*) { picked.push_back(f.combo->ItemIndex()); });
  f.button->OnClick = onClick.Event();
  f.combo->OnChange = onChange.Event();
  f.form->Show();
  QWidget* w = f.Window();
  ASSERT_NE(w, nullptr);
  auto* button = Find<QPushButton>(w, "Button");
  auto* combo = Find<QComboBox>(w, "Combo");
  ASSERT_TRUE(button && combo);

  button->click();
  EXPECT_EQ(clicks, 1);
  f.button->SetEnabled(false);
  button->click();
  EXPECT_EQ(clicks, 1) << "a disabled button ignores the user";

  // Picking with the keyboard: the first entry, then the next.
  QTest::keyClick(combo, Qt::Key_Down);
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(picked, (std::vector<int>{0, 1}));
  EXPECT_EQ(f.combo->Caption(), "ttyUSB0");
  // The program's own selection is no user pick.
  f.combo->SetItemIndex(0);
  EXPECT_EQ(picked.size(), 2u);
}

TEST_F(QtToolkitTest, ClosingTheWindowAsksTheModel) {
  TestForm f;
  CloseHandler query;
  f.form->OnCloseQuery = TCloseQueryEvent(&query, &CloseHandler::Query);
  f.form->Show();
  QWidget* w = f.Window();
  ASSERT_NE(w, nullptr);

  query.allow = false;
  w->close();
  EXPECT_EQ(query.asked, 1);
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(f.form->Visible());

  query.allow = true;
  w->close();
  EXPECT_EQ(query.asked, 2);
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(f.form->Visible());
}

TEST_F(QtToolkitTest, ColoursResolveToRgbAndSystemColoursToThePalette) {
  const QPalette pal = QApplication::palette();
  struct Case {
    TColor color;
    QColor expected;
  } cases[] = {
      {clGreen, QColor(0, 128, 0)},           {clRed, QColor(255, 0, 0)},
      {0x00123456, QColor(0x56, 0x34, 0x12)}, {clBtnFace, pal.color(QPalette::Button)},
      {clWindow, pal.color(QPalette::Base)},  {clWindowText, pal.color(QPalette::WindowText)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QtResolveColor(c.color), c.expected.rgb() & 0xFFFFFFu) << std::hex << c.color;
}

TEST_F(QtToolkitTest, MessageBoxesHaveTitleIconTextAndOneOkButton) {
  struct Case {
    TMsgBoxKind kind;
    std::string title;
    QMessageBox::Icon icon;
    std::string text;
  } cases[] = {
      {TMsgBoxKind::Error, "Fehler", QMessageBox::Critical,
       "Programmierfehler!  Fehlercode 8\n\nZeitüberschreitung."},
      {TMsgBoxKind::Information, "Information", QMessageBox::Information, "Patch erfolgreich beendet!"},
  };
  for (const Case& c : cases) {
    BoxResponder responder;
    Application->MessageBox(c.text, c.title, c.kind);
    ASSERT_EQ(responder.boxes.size(), 1u) << c.title;
    const qvtest::SeenBox& box = responder.boxes[0];
    EXPECT_EQ(box.title, c.title);
    EXPECT_EQ(box.icon, c.icon);
    EXPECT_EQ(box.text, c.text) << "shown unchanged";
    EXPECT_EQ(box.buttons, (std::vector<std::string>{"OK"}));
    EXPECT_TRUE(box.applicationModal);
    EXPECT_LE(box.offCentre, 1) << "centred on the screen";
  }
}

TEST_F(QtToolkitTest, ExceptionFromATimerTickGoesToTheExceptionBox) {
  TTimer timer(nullptr);
  int ticks = 0;
  Handler tick([&](TObject*) {
    ++ticks;
    timer.SetEnabled(false);
    throw Exception("Zugriffsfehler");
  });
  BoxResponder responder;
  timer.SetInterval(10);
  timer.SetOnTimer(tick.Event());
  RunUntil([&] { return !responder.boxes.empty(); });
  EXPECT_EQ(ticks, 1);
  ASSERT_EQ(responder.boxes.size(), 1u);
  EXPECT_EQ(responder.boxes[0].title, TQtToolkit::kExceptionTitle);
  EXPECT_EQ(responder.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(responder.boxes[0].text, "Zugriffsfehler");
}

TEST_F(QtToolkitTest, TimersRepeatUntilStoppedAndAStoppedTimerStaysSilent) {
  TTimer fast(nullptr), slow(nullptr);
  int fastTicks = 0, slowTicks = 0;
  Handler onFast([&](TObject*) {
    if (++fastTicks == 3) fast.SetEnabled(false);
  });
  Handler onSlow([&](TObject*) {
    ++slowTicks;
    slow.SetEnabled(false);
  });
  fast.SetInterval(10);
  fast.SetOnTimer(onFast.Event());
  // Ten intervals of the fast timer.
  slow.SetInterval(100);
  slow.SetOnTimer(onSlow.Event());
  RunUntil([&] { return slowTicks > 0; });
  EXPECT_EQ(fastTicks, 3);
  EXPECT_EQ(slowTicks, 1);
  EXPECT_FALSE(fast.Running());
}

TEST_F(QtToolkitTest, ProcessingMessagesInsideATickDeliversOtherTimersAndSynchronisedCalls) {
  TTimer outer(nullptr), inner(nullptr);
  int outerDepth = 0, maxOuterDepth = 0, innerTicks = 0, innerTicksInsideOuter = 0;
  std::atomic<bool> syncRan{false};
  bool syncRanInsideOuter = false;
  struct Worker : TThread {
    std::atomic<bool>* ran;
    void Execute() override {
      Synchronize([this] { *ran = true; });
    }
  } worker;
  worker.ran = &syncRan;

  Handler onInner([&](TObject*) {
    ++innerTicks;
    if (outerDepth > 0) ++innerTicksInsideOuter;
    if (innerTicks == 2) inner.SetEnabled(false);
  });
  Handler onOuter([&](TObject*) {
    ++outerDepth;
    maxOuterDepth = std::max(maxOuterDepth, outerDepth);
    outer.SetEnabled(false);
    inner.SetInterval(5);
    inner.SetOnTimer(onInner.Event());
    worker.Start();
    // A long exchange that lets pending messages through; bounded so a
    // fault ends the test instead of hanging it.
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((innerTicks < 2 || !syncRan) && std::chrono::steady_clock::now() < limit)
      Toolkit().ProcessMessages();
    syncRanInsideOuter = syncRan;
    --outerDepth;
  });
  outer.SetInterval(5);
  outer.SetOnTimer(onOuter.Event());
  RunUntil([&] { return !outer.Running() && outerDepth == 0; });
  worker.WaitFor();
  EXPECT_EQ(maxOuterDepth, 1);
  EXPECT_EQ(innerTicksInsideOuter, 2);
  EXPECT_TRUE(syncRanInsideOuter);
}

TEST_F(QtToolkitTest, SynchronisedCallRunsOnTheUiThreadAndCarriesItsExceptionBack) {
  const std::thread::id uiThread = std::this_thread::get_id();
  std::thread::id ranOn;
  std::string carried;
  bool returnedAfterRun = false;
  struct Worker : TThread {
    std::function<void(TThread*)> body;
    void Execute() override { body(this); }
  } worker;
  bool ran = false, quitByWorker = false;
  worker.body = [&](TThread* self) {
    self->Synchronize([&] {
      ranOn = std::this_thread::get_id();
      ran = true;
    });
    returnedAfterRun = ran;
    try {
      self->Synchronize([] { throw Exception("im UI-Thread geworfen"); });
    } catch (const Exception& e) {
      carried = e.Message();
    }
    self->Synchronize([&] {
      quitByWorker = true;
      toolkit_.Quit();
    });
  };
  QTimer::singleShot(20000, [this] { toolkit_.Quit(); });
  worker.Start();
  toolkit_.RunLoop();
  // Should the loop have missed a call, the worker still gets to its end.
  while (!worker.Finished()) toolkit_.ProcessMessages();
  worker.WaitFor();
  EXPECT_TRUE(quitByWorker) << "the loop ran the worker's calls";
  EXPECT_EQ(ranOn, uiThread);
  EXPECT_TRUE(returnedAfterRun) << "the caller waits until the call has run";
  EXPECT_EQ(carried, "im UI-Thread geworfen");
}

TEST_F(QtToolkitTest, SynchronisedCallIsDeliveredWhileAModalBoxIsShown) {
  std::atomic<bool> syncRan{false};
  bool boxShowingDuringCall = false;
  struct Worker : TThread {
    std::function<void(TThread*)> body;
    void Execute() override { body(this); }
  } worker;
  worker.body = [&](TThread* self) {
    self->Synchronize([&] {
      boxShowingDuringCall = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
      syncRan = true;
    });
  };
  // The box is answered once the call has run inside its loop (or, should
  // it never come, after a while, so that the test fails instead of hanging).
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  BoxResponder responder([&] { return syncRan.load() || std::chrono::steady_clock::now() > giveUp; });
  worker.Start();
  Application->MessageBox("Warten", "Information", TMsgBoxKind::Information);
  bool ranInsideBox = syncRan;
  while (!worker.Finished()) toolkit_.ProcessMessages();
  worker.WaitFor();
  EXPECT_TRUE(ranInsideBox);
  EXPECT_TRUE(syncRan);
  EXPECT_TRUE(boxShowingDuringCall);
  EXPECT_EQ(responder.boxes.size(), 1u);
}

}  // namespace
