#include "framework/win32/Win32Toolkit.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/Thread.h"
#include "framework/win32/WindowHook.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

// The seam's own names, not the system's A/W macros.
#undef MessageBox

namespace {

constexpr wchar_t kFormClass[] = L"QuorvaltineForm";
constexpr wchar_t kMessageClass[] = L"QuorvaltineMessages";
// Posted to the message window: run the queued synchronised calls.
constexpr UINT kWakeMessage = WM_APP + 1;
// Room for the entries of the opened drop-down list.
constexpr int kDropDownItems = 8;

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  // The program's texts are UTF-8; anything else is taken in the ANSI code
  // page rather than dropped.
  UINT cp = CP_UTF8;
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) {
    cp = CP_ACP;
    n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  }
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

COLORREF ResolveColor(TColor c) {
  if (IsSystemColor(c)) return GetSysColor(SystemColorIndex(c));
  return static_cast<COLORREF>(c & 0x00FFFFFF);
}

std::mutex g_hookMu;
std::vector<std::pair<int, TMainWindowHook>> g_hooks;
int g_nextHook = 1;

// Whether a hook has handled a message of the main window.
bool RunHooks(UINT msg, WPARAM wp, LPARAM lp) {
  std::vector<std::pair<int, TMainWindowHook>> hooks;
  {
    std::lock_guard<std::mutex> lock(g_hookMu);
    hooks = g_hooks;
  }
  for (auto& [id, fn] : hooks)
    if (fn(msg, static_cast<std::uintptr_t>(wp), static_cast<std::intptr_t>(lp))) return true;
  return false;
}

}  // namespace

struct TWin32Toolkit::Impl {
  HINSTANCE instance = nullptr;
  HWND messageWindow = nullptr;
  bool quit = false;
  std::atomic<bool> wakePosted{false};
  std::map<UINT_PTR, TTimer*> timers;
  std::map<TTimer*, UINT_PTR> timerIds;
  UINT_PTR nextTimerId = 1;
  std::map<std::tuple<std::string, int, bool>, HFONT> fonts;
  std::map<COLORREF, HBRUSH> brushes;

  int Ppi() {
    HDC dc = GetDC(nullptr);
    int ppi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return ppi > 0 ? ppi : kDesignPixelsPerInch;
  }
  int Scale(int v) { return ScaleToPpi(v, Ppi()); }

  HFONT Font(const TFont& f) {
    int height = Scale(f.Height);
    auto key = std::make_tuple(f.Name, height, f.Bold);
    auto it = fonts.find(key);
    if (it != fonts.end()) return it->second;
    HFONT h = CreateFontA(height, 0, 0, 0, f.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, f.Name.c_str());
    fonts[key] = h;
    return h;
  }

  HBRUSH Brush(TColor c) {
    COLORREF rgb = ResolveColor(c);
    auto it = brushes.find(rgb);
    if (it != brushes.end()) return it->second;
    HBRUSH b = CreateSolidBrush(rgb);
    brushes[rgb] = b;
    return b;
  }

  void PostWake() {
    if (!wakePosted.exchange(true)) PostMessageW(messageWindow, kWakeMessage, 0, 0);
  }
};

namespace {

TWin32Toolkit::Impl* g_impl = nullptr;

class TWin32Peer final : public IControlPeer {
 public:
  TWin32Peer(TWin32Toolkit::Impl& tk, TControl& c, HWND hwnd) : tk_(tk), c_(c), hwnd_(hwnd) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~TWin32Peer() override {
    // A child's window has gone with its form's window already.
    if (IsWindow(hwnd_) && reinterpret_cast<TWin32Peer*>(GetWindowLongPtrW(hwnd_, GWLP_USERDATA)) == this) {
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
    }
  }

  HWND Handle() const { return hwnd_; }
  TControl& Control() const { return c_; }

  // Places a child in its form's client area. Children of a group box are
  // windows of the form itself, offset by the group box position, so the
  // form receives all their notifications.
  void Place() {
    if (c_.Kind() == TControlKind::Form) {
      SetWindowPos(hwnd_, nullptr, c_.Left(), c_.Top(), c_.Width(), c_.Height(),
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return;
    }
    int x = c_.Left(), y = c_.Top();
    for (TControl* p = c_.Parent(); p != nullptr && p->Kind() != TControlKind::Form; p = p->Parent()) {
      x += p->Left();
      y += p->Top();
    }
    int h = tk_.Scale(c_.Height());
    if (c_.Kind() == TControlKind::ComboBox)
      h += tk_.Scale(static_cast<TComboBox&>(c_).ItemHeight()) * kDropDownItems;
    SetWindowPos(hwnd_, nullptr, tk_.Scale(x), tk_.Scale(y), tk_.Scale(c_.Width()), h,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void ApplyItems() {
    auto& cb = static_cast<TComboBox&>(c_);
    SendMessageW(hwnd_, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : cb.Items())
      SendMessageW(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item).c_str()));
    SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(cb.ItemIndex()), 0);
  }

  void ApplyPosition() {
    auto& pb = static_cast<TProgressBar&>(c_);
    SendMessageW(hwnd_, PBM_SETRANGE32, static_cast<WPARAM>(pb.Min()), static_cast<LPARAM>(pb.Max()));
    SendMessageW(hwnd_, PBM_SETPOS, static_cast<WPARAM>(pb.Position()), 0);
  }

  // Every property of the model, once the window exists.
  void ApplyAll() {
    if (c_.Kind() != TControlKind::Form) Place();
    Changed(TChange::Font);
    Changed(TChange::Enabled);
    switch (c_.Kind()) {
      case TControlKind::ComboBox:
        SendMessageW(hwnd_, CB_SETITEMHEIGHT, 0, tk_.Scale(static_cast<TComboBox&>(c_).ItemHeight()));
        ApplyItems();
        break;
      case TControlKind::ProgressBar:
        ApplyPosition();
        break;
      default:
        break;
    }
  }

  void Changed(TChange what) override {
    switch (what) {
      case TChange::Bounds:
        Place();
        // Moving a group box moves what it holds.
        for (TControl* child : c_.Children())
          if (auto* p = dynamic_cast<TWin32Peer*>(child->Peer())) p->Changed(TChange::Bounds);
        break;
      case TChange::Text:
        if (c_.Kind() != TControlKind::ComboBox || !static_cast<TComboBox&>(c_).DropDownList())
          SetWindowTextW(hwnd_, Widen(c_.Caption()).c_str());
        break;
      case TChange::Color:
        InvalidateRect(hwnd_, nullptr, TRUE);
        break;
      case TChange::Font:
        if (c_.Kind() != TControlKind::Form)
          SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(tk_.Font(c_.Font())), TRUE);
        break;
      case TChange::Enabled:
        EnableWindow(hwnd_, c_.Enabled() ? TRUE : FALSE);
        break;
      case TChange::Visible:
        ShowWindow(hwnd_, c_.Visible() ? SW_SHOW : SW_HIDE);
        break;
      case TChange::Items:
        ApplyItems();
        break;
      case TChange::ItemIndex:
        SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(static_cast<TComboBox&>(c_).ItemIndex()), 0);
        break;
      case TChange::Position:
        if (c_.Kind() == TControlKind::ProgressBar) ApplyPosition();
        break;
      case TChange::Repaint:
        RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        break;
    }
  }

 private:
  TWin32Toolkit::Impl& tk_;
  TControl& c_;
  HWND hwnd_;
};

TWin32Peer* PeerOf(HWND hwnd) {
  return hwnd != nullptr ? reinterpret_cast<TWin32Peer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)) : nullptr;
}

// The colours of a static control or group box, painted by its form.
LRESULT ControlColor(HDC dc, HWND control) {
  TWin32Peer* peer = PeerOf(control);
  if (peer == nullptr || g_impl == nullptr) return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
  TControl& c = peer->Control();
  // A control that takes its parent's colour shows the background beneath.
  const TControl* from = &c;
  while (from->ParentColor() && from->Parent() != nullptr) from = from->Parent();
  TColor color = from->Color();
  SetTextColor(dc, c.Enabled() ? ResolveColor(c.Font().Color) : GetSysColor(COLOR_GRAYTEXT));
  SetBkColor(dc, ResolveColor(color));
  return reinterpret_cast<LRESULT>(g_impl->Brush(color));
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  TWin32Peer* self = PeerOf(hwnd);
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  auto& form = static_cast<TForm&>(self->Control());
  if (Application != nullptr && Application->MainForm() == &form && RunHooks(msg, wp, lp)) return 0;
  switch (msg) {
    case WM_CLOSE:
      GuardedDispatch([&] { form.Close(); });
      return 0;
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wp), &r, g_impl->Brush(form.Color()));
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ControlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_COMMAND: {
      TWin32Peer* peer = PeerOf(reinterpret_cast<HWND>(lp));
      if (peer == nullptr) break;
      TControl& c = peer->Control();
      if (c.Kind() == TControlKind::Button && HIWORD(wp) == BN_CLICKED) {
        GuardedDispatch([&] { static_cast<TButton&>(c).DoUserClick(); });
        return 0;
      }
      if (c.Kind() == TControlKind::ComboBox && HIWORD(wp) == CBN_SELCHANGE) {
        int i = static_cast<int>(SendMessageW(peer->Handle(), CB_GETCURSEL, 0, 0));
        GuardedDispatch([&] { static_cast<TComboBox&>(c).DoUserSelect(i); });
        return 0;
      }
      break;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK MessageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_impl != nullptr) {
    if (msg == kWakeMessage) {
      g_impl->wakePosted = false;
      GuardedDispatch([] { CheckSynchronize(); });
      return 0;
    }
    if (msg == WM_TIMER) {
      auto it = g_impl->timers.find(static_cast<UINT_PTR>(wp));
      // The tick hands what its handler throws to the application itself.
      if (it != g_impl->timers.end()) it->second->DispatchTick();
      GuardedDispatch([] { CheckSynchronize(); });
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

struct ControlClass {
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};

ControlClass ClassFor(TControl& c) {
  switch (c.Kind()) {
    case TControlKind::GroupBox:
      return {L"BUTTON", BS_GROUPBOX, 0};
    case TControlKind::ProgressBar:
      return {PROGRESS_CLASSW, static_cast<TProgressBar&>(c).Smooth() ? DWORD(PBS_SMOOTH) : DWORD(0), 0};
    case TControlKind::Panel: {
      DWORD ex = static_cast<TPanel&>(c).BevelOuter() == TBevelCut::None ? 0 : WS_EX_STATICEDGE;
      return {L"STATIC", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, ex};
    }
    case TControlKind::Label:
      return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case TControlKind::ComboBox: {
      DWORD style = static_cast<TComboBox&>(c).DropDownList() ? CBS_DROPDOWNLIST : CBS_DROPDOWN;
      return {L"COMBOBOX", style | WS_VSCROLL | (c.TabStop() ? DWORD(WS_TABSTOP) : DWORD(0)), 0};
    }
    case TControlKind::Button:
      return {L"BUTTON", BS_PUSHBUTTON | (c.TabStop() ? DWORD(WS_TABSTOP) : DWORD(0)), 0};
    case TControlKind::Form:
      break;
  }
  throw std::logic_error("no window class for this control");
}

void CreateChildren(TWin32Toolkit::Impl& tk, TControl& parent, HWND form, std::vector<HWND>& groupBoxes) {
  for (TControl* c : parent.Children()) {
    if (c->Peer() == nullptr) {
      ControlClass cls = ClassFor(*c);
      DWORD style = WS_CHILD | WS_CLIPSIBLINGS | cls.style | (c->Visible() ? WS_VISIBLE : 0);
      std::wstring text = c->Kind() == TControlKind::ComboBox ? std::wstring() : Widen(c->Caption());
      HWND h = CreateWindowExW(cls.exStyle, cls.className, text.c_str(), style, 0, 0, 0, 0, form, nullptr,
                               tk.instance, nullptr);
      if (h == nullptr) throw std::runtime_error("cannot create a control window");
      auto peer = std::make_unique<TWin32Peer>(tk, *c, h);
      TWin32Peer* raw = peer.get();
      c->SetPeer(std::move(peer));
      raw->ApplyAll();
      if (c->Kind() == TControlKind::GroupBox) groupBoxes.push_back(h);
    }
    CreateChildren(tk, *c, form, groupBoxes);
  }
}

}  // namespace

TWin32Toolkit::TWin32Toolkit() : impl_(std::make_unique<Impl>()) {
  if (g_impl != nullptr) throw std::logic_error("one Windows toolkit per process");
  impl_->instance = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MessageProc;
  wc.hInstance = impl_->instance;
  wc.lpszClassName = kMessageClass;
  RegisterClassExW(&wc);
  impl_->messageWindow =
      CreateWindowExW(0, kMessageClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, impl_->instance, nullptr);
  if (impl_->messageWindow == nullptr) throw std::runtime_error("cannot create the message window");

  WNDCLASSEXW fc{};
  fc.cbSize = sizeof fc;
  fc.lpfnWndProc = FormProc;
  fc.hInstance = impl_->instance;
  fc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  fc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  fc.lpszClassName = kFormClass;
  RegisterClassExW(&fc);
  g_impl = impl_.get();
}

TWin32Toolkit::~TWin32Toolkit() {
  for (auto& [id, t] : impl_->timers) KillTimer(impl_->messageWindow, id);
  DestroyWindow(impl_->messageWindow);
  g_impl = nullptr;
  for (auto& [key, f] : impl_->fonts) DeleteObject(f);
  for (auto& [rgb, b] : impl_->brushes) DeleteObject(b);
}

void TWin32Toolkit::ShowForm(TForm& form) {
  Impl& tk = *impl_;
  if (form.Peer() == nullptr) {
    if (form.Position() == TPosition::ScreenCenter)
      form.SetBounds((GetSystemMetrics(SM_CXSCREEN) - form.Width()) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - form.Height()) / 2, form.Width(), form.Height());
    // No WS_CLIPCHILDREN: the form paints the inside of its group boxes.
    DWORD style = 0;
    if (form.FixedBorder())
      style |= WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU |
               (form.MinimizeOnly() ? WS_MINIMIZEBOX : WS_MAXIMIZEBOX | WS_MINIMIZEBOX);
    else
      style |= WS_OVERLAPPEDWINDOW;
    HWND h = CreateWindowExW(0, kFormClass, Widen(form.Caption()).c_str(), style, form.Left(), form.Top(),
                             form.Width(), form.Height(), nullptr, nullptr, tk.instance, nullptr);
    if (h == nullptr) throw std::runtime_error("cannot create the window");
    if (!form.IconName().empty()) {
      std::wstring name = Widen(form.IconName());
      auto big = LoadImageW(tk.instance, name.c_str(), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                            GetSystemMetrics(SM_CYICON), 0);
      auto smallIcon = LoadImageW(tk.instance, name.c_str(), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                  GetSystemMetrics(SM_CYSMICON), 0);
      if (big != nullptr) SendMessageW(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
      if (smallIcon != nullptr) SendMessageW(h, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    }
    form.SetPeer(std::make_unique<TWin32Peer>(tk, form, h));
  }
  auto* peer = static_cast<TWin32Peer*>(form.Peer());
  std::vector<HWND> groupBoxes;
  CreateChildren(tk, form, peer->Handle(), groupBoxes);
  // A group box lies beneath the controls it frames.
  for (HWND g : groupBoxes)
    SetWindowPos(g, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (form.Visible()) {
    ShowWindow(peer->Handle(), SW_SHOW);
    UpdateWindow(peer->Handle());
  }
}

void TWin32Toolkit::HideForm(TForm& form) {
  if (auto* peer = static_cast<TWin32Peer*>(form.Peer())) ShowWindow(peer->Handle(), SW_HIDE);
}

void TWin32Toolkit::RunLoop() {
  Impl& tk = *impl_;
  GuardedDispatch([] { CheckSynchronize(); });
  MSG msg;
  while (!tk.quit) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    GuardedDispatch([] { CheckSynchronize(); });
  }
}

void TWin32Toolkit::Quit() {
  impl_->quit = true;
  // Wakes a loop that waits for a message.
  PostMessageW(impl_->messageWindow, WM_NULL, 0, 0);
}

void TWin32Toolkit::ProcessMessages() {
  MSG msg;
  GuardedDispatch([] { CheckSynchronize(); });
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      impl_->quit = true;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    GuardedDispatch([] { CheckSynchronize(); });
  }
}

void TWin32Toolkit::WakeMainThread() { impl_->PostWake(); }

void TWin32Toolkit::StartTimer(TTimer& timer, int intervalMs) {
  Impl& tk = *impl_;
  StopTimer(timer);
  // Ids are never reused, so a tick still queued for a stopped timer
  // reaches no other one.
  UINT_PTR id = tk.nextTimerId++;
  if (SetTimer(tk.messageWindow, id, static_cast<UINT>(intervalMs), nullptr) == 0)
    throw std::runtime_error("cannot start a timer");
  tk.timers[id] = &timer;
  tk.timerIds[&timer] = id;
}

void TWin32Toolkit::StopTimer(TTimer& timer) {
  Impl& tk = *impl_;
  auto it = tk.timerIds.find(&timer);
  if (it == tk.timerIds.end()) return;
  KillTimer(tk.messageWindow, it->second);
  tk.timers.erase(it->second);
  tk.timerIds.erase(it);
}

namespace {

// The owner of a box: the main window while it shows, else the whole
// thread's windows are disabled while it is open.
std::pair<HWND, UINT> BoxOwner() {
  if (Application != nullptr && Application->MainForm() != nullptr) {
    if (auto* peer = static_cast<TWin32Peer*>(Application->MainForm()->Peer()))
      if (IsWindowVisible(peer->Handle())) return {peer->Handle(), 0};
  }
  return {nullptr, MB_TASKMODAL};
}

}  // namespace

void TWin32Toolkit::MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) {
  auto [owner, modality] = BoxOwner();
  UINT icon = kind == TMsgBoxKind::Error ? MB_ICONERROR : MB_ICONINFORMATION;
  // The box's own modal loop keeps dispatching timers and posted wake-ups.
  MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), MB_OK | icon | modality);
}

void TWin32Toolkit::ShowExceptionBox(const std::string& message) {
  // Titled with the program's name, as the standard box is.
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring title = path;
  std::size_t slash = title.find_last_of(L"\\/");
  if (slash != std::wstring::npos) title.erase(0, slash + 1);
  std::size_t dot = title.rfind(L'.');
  if (dot != std::wstring::npos) title.erase(dot);
  auto [owner, modality] = BoxOwner();
  MessageBoxW(owner, Widen(message).c_str(), title.c_str(), MB_OK | MB_ICONERROR | modality);
}

int TWin32Toolkit::PixelsPerInch() { return impl_->Ppi(); }

std::uintptr_t TWin32Toolkit::WindowHandle(const TControl& control) {
  auto* peer = dynamic_cast<TWin32Peer*>(control.Peer());
  return peer != nullptr ? reinterpret_cast<std::uintptr_t>(peer->Handle()) : 0;
}

int AddMainWindowHook(TMainWindowHook hook) {
  std::lock_guard<std::mutex> lock(g_hookMu);
  int id = g_nextHook++;
  g_hooks.emplace_back(id, std::move(hook));
  return id;
}

void RemoveMainWindowHook(int id) {
  std::lock_guard<std::mutex> lock(g_hookMu);
  for (auto it = g_hooks.begin(); it != g_hooks.end(); ++it)
    if (it->first == id) {
      g_hooks.erase(it);
      return;
    }
}

std::uintptr_t MainWindowHandle() {
  if (Application == nullptr || Application->MainForm() == nullptr) return 0;
  return TWin32Toolkit::WindowHandle(*Application->MainForm());
}
