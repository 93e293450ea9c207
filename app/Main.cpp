#include "app/Main.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/Stages.h"
#include "framework/Thread.h"
#include "platform/Platform.h"

TMainForm* MainForm = nullptr;

TStageOperations TStageOperations::Defaults() {
  TStageOperations ops;
  ops.FindBoardPort = [] { return ::FindBoardPort(); };
  ops.VerifyPatchFile = [] { ::VerifyPatchFile(); };
  ops.ReadConfiguration = [] { ::ReadConfiguration(); };
  ops.ApplyPatchFile = [] { ::ApplyPatchFile(); };
  ops.ProgramConfiguration = [] { ::ProgramConfiguration(); };
  return ops;
}

TStageOperations& StageOperations() {
  static TStageOperations ops = TStageOperations::Defaults();
  return ops;
}

TOuterSize OuterSizeFor(int pixelsPerInch) {
  float factor = static_cast<float>(pixelsPerInch) / 96.0f;
  return TOuterSize{static_cast<int>(593 * factor), static_cast<int>(175 * factor)};
}

std::string VersionCaption() {
  std::string versionText;
  std::optional<platform::FileVersion> v = platform::Current().ProgramVersion();
  if (v) {
    // The numbers are the two 16-bit halves of the file version's high word;
    // the text keeps to its room.
    versionText = std::to_string(v->Major & 0xFFFF) + "." + std::to_string(v->Minor & 0xFFFF);
    if (versionText.size() > kVersionTextRoom) versionText.resize(kVersionTextRoom);
  }
  return "Quorvaltine v" + versionText;
}

namespace {

TFont ArialFont(bool bold = false) {
  TFont f;
  f.Name = "Arial";
  f.Height = -16;
  f.Bold = bold;
  return f;
}

}  // namespace

TMainForm::TMainForm(TComponent* owner) : TForm(owner) {
  SetName("MainForm");
  BeginLoading();
  CreateControls();
  EndLoading();

  // After the stored properties: size, caption, then the first stage.
  TOuterSize size = OuterSizeFor(Screen->PixelsPerInch());
  SetBounds(Left(), Top(), size.Width, size.Height);
  SetVersionCaption();
  SetRunHost(this);
  Timer1->SetEnabled(true);
}

TMainForm::~TMainForm() {
  // Closed while the window is whole: closing runs the indicators, whose
  // handler is the window's.
  try {
    ClosePort();
  } catch (const Exception&) {
    // Nothing to report to at this point.
  }
  if (MainForm == this) MainForm = nullptr;
  SetRunHost(nullptr);
}

void TMainForm::CreateControls() {
  SetFixedBorder(true);
  SetMinimizeOnly(true);
  SetPosition(TPosition::ScreenCenter);
  SetClientSize(577, 137);
  SetColor(clBtnFace);
  SetFont(TFont{});
  SetKeyPreview(true);
  SetIconName("quorvaltine");

  GroupBox3 = new TGroupBox(this);
  GroupBox3->SetName("GroupBox3");
  GroupBox3->SetParent(this);
  GroupBox3->SetBounds(16, 24, 353, 89);
  GroupBox3->SetCaption("Status");
  GroupBox3->SetFont(ArialFont());
  GroupBox3->SetTabOrder(0);

  GroupBox4 = new TGroupBox(this);
  GroupBox4->SetName("GroupBox4");
  GroupBox4->SetParent(this);
  GroupBox4->SetBounds(384, 24, 177, 89);
  GroupBox4->SetCaption("Port");
  GroupBox4->SetFont(ArialFont());
  GroupBox4->SetTabOrder(1);

  ProgressBar = new TProgressBar(this);
  ProgressBar->SetName("ProgressBar");
  ProgressBar->SetParent(GroupBox3);
  ProgressBar->SetBounds(16, 32, 233, 25);
  ProgressBar->SetRange(0, 100);
  ProgressBar->SetSmooth(true);
  ProgressBar->SetStep(1);
  ProgressBar->SetFont(ArialFont());
  ProgressBar->SetTabOrder(0);

  statusLabel = new TLabel(this);
  statusLabel->SetName("statusLabel");
  statusLabel->SetParent(GroupBox3);
  statusLabel->SetBounds(16, 64, 329, 18);
  statusLabel->SetAutoSize(false);
  statusLabel->SetColor(clWhite);
  statusLabel->SetFont(GroupBox3->Font());

  ResetPanel = new TPanel(this);
  ResetPanel->SetName("ResetPanel");
  ResetPanel->SetParent(GroupBox3);
  ResetPanel->SetBounds(264, 32, 73, 25);
  ResetPanel->SetCaption("Reset");
  ResetPanel->SetColor(clGreen);
  ResetPanel->SetBevelOuter(TBevelCut::Lowered);
  ResetPanel->SetFont(ArialFont(true));
  ResetPanel->SetTabOrder(1);

  ComboBox = new TComboBox(this);
  ComboBox->SetName("ComboBox");
  ComboBox->SetParent(GroupBox4);
  ComboBox->SetBounds(16, 24, 137, 26);
  ComboBox->SetDropDownList(true);
  ComboBox->SetItemHeight(18);
  ComboBox->SetFont(ArialFont());
  ComboBox->SetTabStop(false);
  ComboBox->SetTabOrder(0);
  ComboBox->OnChange = TNotifyEvent(this, &TMainForm::ComboBoxChange);

  // The indicators attach in creation order (ResetComSignal first) when the
  // form's Loaded reaches them; until then setting ComPort only stores it.
  ResetComSignal = new TComSignal(this);
  ResetComSignal->BeginLoading();
  ResetComSignal->SetName("ResetComSignal");

  ComPort = new TComPort(this);
  ComPort->SetName("ComPort");
  ComPort->SetBaudRate(br9600);
  ComPort->SetDataBits(db8);
  ComPort->SetParity(paNone);
  ComPort->SetStopBits(sb1);
  ComPort->FlowControl().SetDTR(dcDisable);
  ComPort->FlowControl().SetRTS(rcDisable);
  ComPort->FlowControl().SetXOnXOff(xcDisable);
  ComPort->SetOptions({});
  ComPort->SetPriorityClass(pcRealTime);
  ComPort->BufferSizes().SetInput(64000);
  ComPort->SetDeviceName("COM1");
  ComPort->SetActive(false);
  ComPort->OnError = TComErrorEvent(this, &TMainForm::ComPortError);
  ComPort->SetOnLineError(TLineErrorEvent(this, &TMainForm::ComPortLineError));

  ModeComSignal = new TComSignal(this);
  ModeComSignal->BeginLoading();
  ModeComSignal->SetName("ModeComSignal");
  ModeComSignal->SetComPort(ComPort);
  ModeComSignal->SetSignal(siCTS);
  ModeComSignal->SetDelay(10);

  ResetComSignal->SetComPort(ComPort);
  ResetComSignal->SetControl(ResetPanel);
  ResetComSignal->SetSignal(siDSR);
  ResetComSignal->SetDelay(10);
  ResetComSignal->OnSignal = TNotifyEvent(this, &TMainForm::ResetComSignalSignal);

  SuchenButton = new TButton(this);
  SuchenButton->SetName("SuchenButton");
  SuchenButton->SetParent(GroupBox4);
  SuchenButton->SetBounds(16, 56, 137, 25);
  SuchenButton->SetCaption("suchen");
  SuchenButton->SetFont(GroupBox4->Font());
  SuchenButton->SetTabStop(false);
  SuchenButton->SetTabOrder(1);
  SuchenButton->OnClick = TNotifyEvent(this, &TMainForm::SuchenButtonClick);

  TTimer** timers[] = {&Timer1, &Timer2, &Timer3};
  void (TMainForm::*handlers[])(TObject*) = {&TMainForm::Timer1Timer, &TMainForm::Timer2Timer,
                                             &TMainForm::Timer3Timer};
  for (int i = 0; i < 3; ++i) {
    TTimer* t = new TTimer(this);
    t->SetName("Timer" + std::to_string(i + 1));
    t->SetEnabled(false);
    t->SetOnTimer(TNotifyEvent(this, handlers[i]));
    *timers[i] = t;
  }

  OnCloseQuery = TCloseQueryEvent(this, &TMainForm::FormCloseQuery);
}

void TMainForm::SetVersionCaption() { SetCaption(VersionCaption()); }

void TMainForm::SetPortName(const std::string& name) {
  std::snprintf(portName_, sizeof portName_, "%s", name.c_str());
}

void TMainForm::SetControlsEnabled(bool enabled) {
  ResetPanel->SetEnabled(enabled);
  ProgressBar->SetEnabled(enabled);
  SuchenButton->SetEnabled(enabled);
  ComboBox->SetEnabled(enabled);
  ComboBox->Repaint();
}

void TMainForm::ShowErrorMessage(const std::string& text) {
  platform::Current().MessageBeep();
  Application->MessageBox(text, "Fehler", TMsgBoxKind::Error);
}

void TMainForm::ShowInfoMessage(const std::string& text) {
  Application->MessageBox(text, "Information", TMsgBoxKind::Information);
}

void TMainForm::ClosePort() { ComPort->SetActive(false); }

void TMainForm::ComPortError(TCustomComPort*, EComError&, TComAction& action) {
  action = caAbort;
  // The stage's next call on the port it closed below: that error has been
  // shown already.
  if (stageRunning_ && stagePortFailed_) return;
  ShowErrorMessage(Format("ComPortError:  %s !", portName_));
  if (stageRunning_) {
    // The error may come from a handler that the stage's message processing
    // ran (a signal indicator reading the lines), whose abort ends only that
    // handler. With the port closed the stage's next call on it ends the
    // stage, so nothing is sent, stored or reported as success after the
    // error.
    stagePortFailed_ = true;
    ComPort->SetActive(false);
  }
  StopPendingStages();
}

void TMainForm::ComPortLineError(TObject*, TLineErrors) {
  ShowErrorMessage(Format("ComPortLineError:  %s !", portName_));
  ComPort->SetActive(false);
  StopPendingStages();
}

// A port error between two stages (the event thread's, or a line error that
// closed the port) stops the run where "suchen" starts it again, instead of
// letting the next stage start on a port that failed. Inside a stage the
// abort ends that stage, which enables no further one.
void TMainForm::StopPendingStages() {
  if (stageRunning_) return;
  Timer2->SetEnabled(false);
  Timer3->SetEnabled(false);
}

void TMainForm::ResetComSignalSignal(TObject*) {
  ResetPanel->SetColor(ResetComSignal->SignalValue() ? ResetComSignal->ColorOn()
                                                     : ResetComSignal->ColorOff());
}

void TMainForm::EndRun() {
  ClosePort();
  platform::Current().ExitProcess(0);
  std::abort();  // not reached
}

void TMainForm::ProcessMessages() { Application->ProcessMessages(); }

void TMainForm::FormCloseQuery(TObject*, bool& canClose) {
  ClosePort();
  canClose = true;
}

void TMainForm::SuchenButtonClick(TObject*) { Timer1->SetEnabled(true); }

// A stage never starts inside another one: a board exchange processes
// messages, and a search or second stage run from there would close the port
// under it. A timer that fires meanwhile stays enabled, so its stage starts
// at its next tick after the running stage has ended.
template <class F>
void TMainForm::RunStage(TTimer* timer, const char* stage, F&& work) {
  if (stageRunning_) {
    platform::Transcript::Line(std::string("stage ") + stage + " pending");
    return;
  }
  timer->SetEnabled(false);
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{stageRunning_};
  stageRunning_ = true;
  stagePortFailed_ = false;
  platform::Transcript::Line(std::string("stage ") + stage + " begin");
  work();
  platform::Transcript::Line(std::string("stage ") + stage + " end");
}

void TMainForm::Timer1Timer(TObject*) {
  RunStage(Timer1, "search", [this] {
    Show();
    if (StageOperations().FindBoardPort()) Timer2->SetEnabled(true);
  });
}

void TMainForm::Timer2Timer(TObject*) {
  RunStage(Timer2, "patch", [this] {
    StageOperations().VerifyPatchFile();
    StageOperations().ReadConfiguration();
    StageOperations().ApplyPatchFile();
    Timer3->SetEnabled(true);
  });
}

void TMainForm::Timer3Timer(TObject*) {
  RunStage(Timer3, "program", [this] {
    StageOperations().ProgramConfiguration();
    ShowInfoMessage("Patch erfolgreich beendet!");
    EndRun();
  });
}

int RunQuorvaltine() {
  {
    TApplication application;
    try {
      Application->Initialize();
      Application->CreateForm(MainForm);
      Application->Run();
    } catch (const Exception& e) {
      Application->ShowException(e);
    } catch (...) {
      Application->ShowException(Exception(""));
    }
  }
  // The port is closed with its window; a thread of it that is still on its
  // way out must be gone before the program's exit routines run (the MinGW
  // thread library deadlocks when a thread ends during them).
  TThread::EndThreads(std::chrono::seconds(2));
  return 0;
}
