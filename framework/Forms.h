// The application object and the screen.
#pragma once

#include <functional>
#include <string>

#include "framework/Classes.h"
#include "framework/Controls.h"
#include "framework/SysUtils.h"
#include "framework/Toolkit.h"

class TApplication : public TComponent {
 public:
  TApplication();
  ~TApplication() override;

  void Initialize();
  // Creates a form owned by the application; the first becomes the main form.
  template <class T>
  void CreateForm(T*& ref) {
    ref = new T(this);
    if (mainForm_ == nullptr) mainForm_ = ref;
  }
  TForm* MainForm() const { return mainForm_; }
  // Shows the main form and runs the message loop until it ends.
  void Run();
  void ProcessMessages();
  void Terminate();
  bool Terminated() const { return terminated_; }

  // The standard exception box.
  void ShowException(const Exception& e);
  // For a catch block: the silent abort shows nothing, a toolkit exception
  // is shown, any other exception is shown with an empty message.
  void HandleException(TObject* sender);

  void MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind);

  // Called by TForm::Close for the main form.
  void MainFormClosed();

 private:
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
};

extern TApplication* Application;

// Sees every message box the application shows, before it is shown (tools
// use it to learn how a run ended).
using TMessageBoxObserver = std::function<void(const std::string& title, const std::string& text)>;
void SetMessageBoxObserver(TMessageBoxObserver observer);

class TScreen {
 public:
  int PixelsPerInch() const;
};

extern TScreen* Screen;
