#include "framework/Forms.h"

#include <exception>

#include "framework/Thread.h"

TApplication* Application = nullptr;
static TScreen g_screen;
TScreen* Screen = &g_screen;

TApplication::TApplication() : TComponent(nullptr) {
  Application = this;
  SetMainThread();
}

TApplication::~TApplication() {
  if (Application == this) Application = nullptr;
}

void TApplication::Initialize() { SetMainThread(); }

void TApplication::Run() {
  if (mainForm_ != nullptr) mainForm_->Show();
  if (terminated_) return;
  Toolkit().RunLoop();
}

void TApplication::ProcessMessages() { Toolkit().ProcessMessages(); }

void TApplication::Terminate() {
  terminated_ = true;
  Toolkit().Quit();
}

void TApplication::MainFormClosed() { Terminate(); }

void TApplication::ShowException(const Exception& e) { Toolkit().ShowExceptionBox(e.Message()); }

void TApplication::HandleException(TObject*) {
  try {
    throw;
  } catch (const EAbort&) {
    // silent
  } catch (const Exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(Exception(""));
  }
}

namespace {
TMessageBoxObserver g_boxObserver;
}

void SetMessageBoxObserver(TMessageBoxObserver observer) { g_boxObserver = std::move(observer); }

void TApplication::MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) {
  if (g_boxObserver) g_boxObserver(title, text);
  Toolkit().MessageBox(text, title, kind);
}

int TScreen::PixelsPerInch() const { return Toolkit().PixelsPerInch(); }
