// The Windows backends under Wine: the platform facilities on the test exe
// itself (which carries version 7.4.2.9) and on copies of it, and the
// toolkit's loop, timers, synchronised calls, boxes and control windows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Main.h"
#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/SysUtils.h"
#include "framework/Thread.h"
#include "framework/win32/Win32Toolkit.h"
#include "framework/win32/WindowHook.h"
#include "platform/win32/Win32Platform.h"
#include "tests/support/Child.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

// The toolkit seam's name, not the system macro.
#undef MessageBox

namespace {

std::string SelfPath() {
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

// A copy of this exe whose version resource is replaced by `data`.
std::string CopyWithVersion(const std::string& dir, const std::string& name,
                            const std::vector<unsigned char>& data) {
  std::string copy = dir + "\\" + name;
  if (!CopyFileA(SelfPath().c_str(), copy.c_str(), FALSE)) throw std::runtime_error("cannot copy the exe");
  // The resource's language, as the resource compiler stored it.
  WORD lang = 0;
  HMODULE m = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EnumResourceLanguagesA(
      m, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1),
      [](HMODULE, LPCSTR, LPCSTR, WORD l, LONG_PTR out) -> BOOL {
        *reinterpret_cast<WORD*>(out) = l;
        return FALSE;
      },
      reinterpret_cast<LONG_PTR>(&lang));
  FreeLibrary(m);
  HANDLE h = BeginUpdateResourceA(copy.c_str(), FALSE);
  if (h == nullptr) throw std::runtime_error("cannot open the copy's resources");
  BOOL ok = UpdateResourceA(h, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1), lang,
                            const_cast<unsigned char*>(data.data()), static_cast<DWORD>(data.size()));
  if (!EndUpdateResourceA(h, !ok) || !ok) throw std::runtime_error("cannot update the copy's resources");
  return copy;
}

// A version resource without the fixed file information: just the header
// and its key.
std::vector<unsigned char> VersionWithoutFixedInfo() {
  const char16_t key[] = u"VS_VERSION_INFO";
  std::vector<unsigned char> b(6 + sizeof key + 2, 0);  // padded to 32 bits
  b[0] = static_cast<unsigned char>(b.size());
  std::memcpy(b.data() + 6, key, sizeof key);
  return b;
}

TEST(Win32Platform, VersionOfTheProgramFile) {
  platform::Win32Platform plat;
  platform::ScopedPlatform usePlat(plat);
  auto v = plat.ProgramVersion();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->Major, 7u);
  EXPECT_EQ(v->Minor, 4u);
  EXPECT_EQ(VersionCaption(), "Quorvaltine v7.4");
}

// The caption of a program file without a version resource (a probe built
// without one) and of a copy of this exe whose version resource lacks the
// fixed file information.
TEST(Win32Platform, ProgramsWithoutAUsableVersion) {
  namespace fs = std::filesystem;
  std::string dir = qvtest::MakeTempDir();
  std::string probe = (fs::path(SelfPath()).parent_path() / "win32_caption_probe.exe").string();
  struct Case {
    std::string exe;
    bool hasVersion;
    const char* caption;
  } cases[] = {
      {probe, false, "Quorvaltine v"},
      {CopyWithVersion(dir, "nofixedinfo.exe", VersionWithoutFixedInfo()), true, "Quorvaltine v0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe);
    auto v = platform::FileVersionOf(c.exe);
    ASSERT_EQ(v.has_value(), c.hasVersion);
    if (v) {
      EXPECT_EQ(v->Major, 0u);
      EXPECT_EQ(v->Minor, 0u);
    }
    // The program's own caption, through GetModuleFileNameA.
    qvtest::SetSelfPath(c.exe);
    qvtest::ChildResult r = qvtest::RunChild("caption");
    qvtest::SetSelfPath(SelfPath());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.Has(c.caption)) << r.output;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

TEST(Win32Platform, PriorityClassRoundTrip) {
  platform::Win32Platform plat;
  int before = plat.GetProcessPriorityClass();
  EXPECT_EQ(before, platform::kNormalPriorityClass);
  for (int cls :
       {platform::kHighPriorityClass, platform::kIdlePriorityClass, platform::kNormalPriorityClass}) {
    plat.SetProcessPriorityClass(cls);
    EXPECT_EQ(plat.GetProcessPriorityClass(), cls);
  }
  plat.SetProcessPriorityClass(before);
}

TEST(Win32Platform, RemoveFile) {
  platform::Win32Platform plat;
  std::string path = qvtest::MakeTempDir() + "\\Quorvaltine.ini";
  qvtest::WriteFile(path, "1;2\n");
  ASSERT_TRUE(qvtest::FileExists(path));
  plat.RemoveFile(path);
  EXPECT_FALSE(qvtest::FileExists(path));
  plat.RemoveFile(path);  // a missing file is not reported
}

// Handlers for the toolkit's method references.
struct Calls {
  std::function<void(TObject*)> tick, click, change;
  std::function<void(bool&)> closeQuery;
  void Tick(TObject* s) { tick(s); }
  void Click(TObject* s) { click(s); }
  void Change(TObject* s) { change(s); }
  void CloseQuery(TObject*, bool& can) { closeQuery(can); }
};

class Win32ToolkitTest : public testing::Test {
 protected:
  void SetUp() override {
    usePlatform_.emplace(plat_);
    toolkit_ = std::make_unique<TWin32Toolkit>();
    useToolkit_.emplace(*toolkit_);
    app_ = std::make_unique<TApplication>();
  }
  void TearDown() override {
    app_.reset();
    useToolkit_.reset();
    toolkit_.reset();
    usePlatform_.reset();
  }
  TTimer* NewTimer(int ms) {
    auto* t = new TTimer(app_.get());
    t->SetInterval(ms);
    t->SetOnTimer(TNotifyEvent(&calls_, &Calls::Tick));
    return t;
  }

  platform::Win32Platform plat_;
  std::optional<platform::ScopedPlatform> usePlatform_;
  std::unique_ptr<TWin32Toolkit> toolkit_;
  std::optional<ScopedToolkit> useToolkit_;
  std::unique_ptr<TApplication> app_;
  Calls calls_;
};

TEST_F(Win32ToolkitTest, TimerTicksUntilStoppedAndQuitEndsTheLoop) {
  int ticks = 0;
  TTimer* t = nullptr;
  calls_.tick = [&](TObject* sender) {
    EXPECT_EQ(sender, t);
    if (++ticks == 3) {
      t->SetEnabled(false);
      Toolkit().Quit();
    }
  };
  t = NewTimer(5);
  Toolkit().RunLoop();
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(t->Running());
}

TEST_F(Win32ToolkitTest, SynchronisedCallsRunOnTheUiThreadWithTheirException) {
  std::thread::id uiThread = std::this_thread::get_id(), ranOn;
  std::string carried;
  std::thread worker([&] {
    TThread::Synchronize(nullptr, [&] { ranOn = std::this_thread::get_id(); });
    try {
      TThread::Synchronize(nullptr, [] { throw Exception("kaputt"); });
    } catch (const Exception& e) {
      carried = e.Message();
    }
    TThread::Synchronize(nullptr, [] { Toolkit().Quit(); });
  });
  // No timer: only the wake-up can get the waiting loop going.
  Toolkit().RunLoop();
  worker.join();
  EXPECT_EQ(ranOn, uiThread);
  EXPECT_EQ(carried, "kaputt");
}

TEST_F(Win32ToolkitTest, ProcessMessagesRunsAQueuedSynchronisedCall) {
  std::atomic<bool> queued{false}, ran{false};
  std::thread worker([&] {
    queued = true;
    TThread::Synchronize(nullptr, [&] { ran = true; });
  });
  while (!queued || !SynchronizePending()) std::this_thread::yield();
  Toolkit().ProcessMessages();
  EXPECT_TRUE(ran);
  worker.join();
}

TEST_F(Win32ToolkitTest, TimersAndSynchronisedCallsRunWhileABoxIsShown) {
  int ticks = 0;
  bool boxReturned = false, syncRan = false;
  TTimer* boxTimer = nullptr;
  TTimer* answerer = nullptr;
  std::thread worker;
  calls_.tick = [&](TObject* sender) {
    if (sender == boxTimer) {
      boxTimer->SetEnabled(false);
      worker = std::thread([&] { TThread::Synchronize(nullptr, [&] { syncRan = true; }); });
      Toolkit().MessageBox("Zeile 1\nZeile 2", "QvTestBox", TMsgBoxKind::Information);
      boxReturned = true;
      Toolkit().Quit();
      return;
    }
    // Inside the box's own loop: answer it once the worker's call has run.
    ++ticks;
    if (!syncRan) return;
    if (HWND box = FindWindowW(L"#32770", L"QvTestBox")) {
      answerer->SetEnabled(false);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
  };
  boxTimer = NewTimer(1);
  answerer = NewTimer(5);
  Toolkit().RunLoop();
  worker.join();
  EXPECT_TRUE(boxReturned);
  EXPECT_TRUE(syncRan);
  EXPECT_GE(ticks, 1);
}

// Position of a control's window in its form's client area.
RECT ClientRectOf(HWND control, HWND form) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

HWND Hwnd(const TControl& c) { return reinterpret_cast<HWND>(TWin32Toolkit::WindowHandle(c)); }

TEST_F(Win32ToolkitTest, ControlWindowsFollowTheirModels) {
  ASSERT_EQ(Toolkit().PixelsPerInch(), 96);
  TForm* form = nullptr;
  app_->CreateForm(form);
  form->SetFixedBorder(true);
  form->SetMinimizeOnly(true);
  form->SetBounds(0, 0, 593, 175);
  form->SetCaption("Fenster");
  auto* group = new TGroupBox(form);
  group->SetParent(form);
  group->SetBounds(16, 24, 353, 89);
  auto* bar = new TProgressBar(form);
  bar->SetParent(group);
  bar->SetBounds(16, 32, 233, 25);
  auto* panel = new TPanel(form);
  panel->SetParent(group);
  panel->SetBounds(264, 32, 73, 25);
  panel->SetColor(clGreen);
  panel->SetBevelOuter(TBevelCut::Lowered);
  auto* combo = new TComboBox(form);
  combo->SetParent(form);
  combo->SetBounds(400, 48, 137, 26);
  combo->SetDropDownList(true);
  combo->OnChange = TNotifyEvent(&calls_, &Calls::Change);
  auto* button = new TButton(form);
  button->SetParent(form);
  button->SetBounds(400, 80, 137, 25);
  button->OnClick = TNotifyEvent(&calls_, &Calls::Click);
  form->OnCloseQuery = TCloseQueryEvent(&calls_, &Calls::CloseQuery);
  form->Show();

  HWND hform = Hwnd(*form);
  ASSERT_NE(hform, nullptr);
  EXPECT_EQ(MainWindowHandle(), reinterpret_cast<std::uintptr_t>(hform));
  RECT outer;
  GetWindowRect(hform, &outer);
  EXPECT_EQ(outer.right - outer.left, 593);
  EXPECT_EQ(outer.bottom - outer.top, 175);
  LONG style = GetWindowLongW(hform, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));

  // Children of the group box sit at its position plus their own.
  struct {
    TControl* c;
    LONG left, top, width, height;
  } places[] = {
      {group, 16, 24, 353, 89}, {bar, 32, 56, 233, 25}, {panel, 280, 56, 73, 25}, {button, 400, 80, 137, 25}};
  for (auto& p : places) {
    RECT r = ClientRectOf(Hwnd(*p.c), hform);
    EXPECT_EQ(r.left, p.left);
    EXPECT_EQ(r.top, p.top);
    EXPECT_EQ(r.right - r.left, p.width);
    EXPECT_EQ(r.bottom - r.top, p.height);
  }
  group->SetBounds(20, 30, 353, 89);
  EXPECT_EQ(ClientRectOf(Hwnd(*bar), hform).left, 36);
  EXPECT_EQ(ClientRectOf(Hwnd(*bar), hform).top, 62);

  bar->SetPosition(42);
  EXPECT_EQ(SendMessageW(Hwnd(*bar), PBM_GETPOS, 0, 0), 42);
  EXPECT_EQ(SendMessageW(Hwnd(*bar), PBM_GETRANGE, FALSE, 0), 100);

  // The panel's colour comes through the control-colour message.
  HDC dc = GetDC(hform);
  auto brush = reinterpret_cast<HBRUSH>(SendMessageW(hform, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                     reinterpret_cast<LPARAM>(Hwnd(*panel))));
  LOGBRUSH lb{};
  ASSERT_TRUE(GetObjectW(brush, sizeof lb, &lb));
  EXPECT_EQ(lb.lbColor, RGB(0, 128, 0));
  panel->SetColor(clLime);
  brush = reinterpret_cast<HBRUSH>(SendMessageW(hform, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                reinterpret_cast<LPARAM>(Hwnd(*panel))));
  ASSERT_TRUE(GetObjectW(brush, sizeof lb, &lb));
  EXPECT_EQ(lb.lbColor, RGB(0, 255, 0));
  ReleaseDC(hform, dc);

  HWND hcombo = Hwnd(*combo);
  for (const char* port : {"COM1", "COM3", "COM7"}) combo->AddItem(port);
  combo->SetItemIndex(1);
  EXPECT_EQ(SendMessageW(hcombo, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageW(hcombo, CB_GETCURSEL, 0, 0), 1);

  // The user picks an entry: the model and its handler follow.
  int changes = 0;
  calls_.change = [&](TObject* sender) {
    EXPECT_EQ(sender, combo);
    ++changes;
  };
  SendMessageW(hcombo, CB_SETCURSEL, 2, 0);
  SendMessageW(hform, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hcombo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(hcombo));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(combo->ItemIndex(), 2);
  EXPECT_EQ(combo->Caption(), "COM7");

  int clicks = 0;
  calls_.click = [&](TObject*) { ++clicks; };
  SendMessageW(Hwnd(*button), BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  button->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(Hwnd(*button)));
  SendMessageW(Hwnd(*button), BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);

  // A hook sees the main window's messages first.
  std::vector<unsigned> seen;
  int hook = AddMainWindowHook([&](unsigned msg, std::uintptr_t wp, std::intptr_t) {
    if (msg == WM_DEVICECHANGE) seen.push_back(static_cast<unsigned>(wp));
    return msg == WM_DEVICECHANGE;
  });
  EXPECT_EQ(SendMessageW(hform, WM_DEVICECHANGE, 7, 0), 0);
  RemoveMainWindowHook(hook);
  SendMessageW(hform, WM_DEVICECHANGE, 8, 0);
  EXPECT_EQ(seen, std::vector<unsigned>{7});

  // Closing asks the form, hides the window and ends the loop.
  int queries = 0;
  calls_.closeQuery = [&](bool& can) {
    ++queries;
    can = true;
  };
  SendMessageW(hform, WM_CLOSE, 0, 0);
  EXPECT_EQ(queries, 1);
  EXPECT_FALSE(IsWindowVisible(hform));
  EXPECT_TRUE(app_->Terminated());
}

}  // namespace
