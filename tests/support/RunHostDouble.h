// A small host in place of the main window for the board exchanges: it
// records the boxes and the control switching, and where the window would
// end the process it closes the port and throws TRunEnded instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Controls.h"
#include "framework/Forms.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"
#include "tests/support/PortSetup.h"

namespace qvtest {

struct TRunEnded {};

class TRunHostDouble final : public IRunHost {
 public:
  explicit TRunHostDouble(TComponent* owner)
      : progress(new TProgressBar(owner)),
        status(new TLabel(owner)),
        panel(new TPanel(owner)),
        port(new TComPort(owner)) {}
  void ShowErrorMessage(const std::string& text) override { messages.push_back("Fehler: " + text); }
  void ShowInfoMessage(const std::string& text) override { messages.push_back("Information: " + text); }
  [[noreturn]] void EndRun() override {
    port->SetActive(false);
    throw TRunEnded{};
  }
  void SetControlsEnabled(bool on) override { enabledLog.push_back(on); }
  void ProcessMessages() override { Application->ProcessMessages(); }
  TProgressBar& Progress() override { return *progress; }
  TLabel& Status() override { return *status; }
  TPanel& ResetIndicatorPanel() override { return *panel; }
  std::uint32_t ResetColorOn() override { return clLime; }
  std::uint32_t ResetColorOff() override { return clGreen; }
  TComPort& Port() override { return *port; }

  // Opens the port on `device` with the main window's line settings.
  void OpenPort(const char* device) {
    ConfigureBoardLine(*port);
    port->SetDeviceName(device);
    port->SetActive(true);
  }

  TProgressBar* progress;
  TLabel* status;
  TPanel* panel;
  TComPort* port;
  std::vector<std::string> messages;
  std::vector<bool> enabledLog;
};

}  // namespace qvtest
