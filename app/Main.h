// The main window: the one window of the program, the owner of the port, the
// indicators and the three timers that drive the run.
#pragma once

#include <functional>
#include <string>

#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"
#include "serial/Comsignal.h"

// The stage operations the run calls. The defaults are the program's own;
// tests of the run sequence replace them.
struct TStageOperations {
  std::function<bool()> FindBoardPort;
  std::function<void()> VerifyPatchFile;
  std::function<void()> ReadConfiguration;
  std::function<void()> ApplyPatchFile;
  std::function<void()> ProgramConfiguration;
  static TStageOperations Defaults();
};
TStageOperations& StageOperations();

// Room for the "%d.%d" version text.
constexpr int kVersionTextRoom = 9;
// The short port name's buffer ("COM1" at start).
constexpr int kPortNameSize = 64;

class TMainForm : public TForm, public IRunHost {
 public:
  explicit TMainForm(TComponent* owner);
  ~TMainForm() override;

  // Members, in declaration order.
  TGroupBox* GroupBox3 = nullptr;
  TGroupBox* GroupBox4 = nullptr;
  TProgressBar* ProgressBar = nullptr;
  TLabel* statusLabel = nullptr;
  TPanel* ResetPanel = nullptr;
  TComboBox* ComboBox = nullptr;
  TComSignal* ResetComSignal = nullptr;
  TComPort* ComPort = nullptr;
  TComSignal* ModeComSignal = nullptr;
  TButton* SuchenButton = nullptr;
  TTimer* Timer1 = nullptr;
  TTimer* Timer2 = nullptr;
  TTimer* Timer3 = nullptr;

  // Handlers, in declaration order.
  void FormCloseQuery(TObject* sender, bool& canClose);
  void ComPortError(TCustomComPort* comPort, EComError& e, TComAction& action);
  void ResetComSignalSignal(TObject* sender);
  void ComboBoxChange(TObject* sender);  // with the port discovery
  void ComPortLineError(TObject* sender, TLineErrors lineErrors);
  void SuchenButtonClick(TObject* sender);
  void Timer1Timer(TObject* sender);
  void Timer2Timer(TObject* sender);
  void Timer3Timer(TObject* sender);

  void SetVersionCaption();

  // The message convention and the control group (IRunHost).
  void SetControlsEnabled(bool enabled) override;
  void ShowErrorMessage(const std::string& text) override;
  void ShowInfoMessage(const std::string& text) override;
  [[noreturn]] void EndRun() override;
  void ProcessMessages() override;
  TProgressBar& Progress() override { return *ProgressBar; }
  TLabel& Status() override { return *statusLabel; }
  TPanel& ResetIndicatorPanel() override { return *ResetPanel; }
  TComPort& Port() override { return *ComPort; }
  TColor ResetColorOn() override { return ResetComSignal->ColorOn(); }
  TColor ResetColorOff() override { return ResetComSignal->ColorOff(); }

  const char* PortName() const { return portName_; }
  // Copies a port name into the fixed buffer, cut to its room.
  void SetPortName(const std::string& name);

  // Whether a stage of the run is in progress.
  bool StageRunning() const { return stageRunning_; }

 private:
  void CreateControls();
  void ClosePort();
  void StopPendingStages();
  template <class F>
  void RunStage(TTimer* timer, const char* stage, F&& work);

  char portName_[kPortNameSize] = "COM1";
  bool stageRunning_ = false;
  // A port error of the running stage has been shown and the port closed.
  bool stagePortFailed_ = false;
};

extern TMainForm* MainForm;

// The outer window size for a screen density: 593 x 175 at 96 pixels per
// inch, scaled by a single-precision factor and truncated.
struct TOuterSize {
  int Width;
  int Height;
};
TOuterSize OuterSizeFor(int pixelsPerInch);

// "Quorvaltine v%s" with the "%d.%d" version text, bounded by its room.
std::string VersionCaption();

// The program entry: initialises the application, creates the main window
// and runs the message loop; returns 0.
int RunQuorvaltine();
