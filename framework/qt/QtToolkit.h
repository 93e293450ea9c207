// The Qt 6 Widgets toolkit: the Linux desktop. The header keeps Qt out of
// its users; a QApplication must exist before the toolkit is created and
// outlive it, and the toolkit is created on the UI thread.
#pragma once

#include <memory>
#include <string>

#include "framework/Controls.h"
#include "framework/Toolkit.h"

class TQtToolkit final : public IToolkit {
 public:
  TQtToolkit();
  ~TQtToolkit() override;
  TQtToolkit(const TQtToolkit&) = delete;
  TQtToolkit& operator=(const TQtToolkit&) = delete;

  void ShowForm(TForm& form) override;
  void HideForm(TForm& form) override;
  void RunLoop() override;
  void Quit() override;
  void ProcessMessages() override;
  void WakeMainThread() override;
  void StartTimer(TTimer& timer, int intervalMs) override;
  void StopTimer(TTimer& timer) override;
  void MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) override;
  void ShowExceptionBox(const std::string& message) override;
  int PixelsPerInch() override;

  // The title of the standard exception box.
  static constexpr const char* kExceptionTitle = "Quorvaltine";

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The RGB value of a colour; system colours come from the application's
// palette. Returned as 0x00RRGGBB.
std::uint32_t QtResolveColor(TColor c);
