// Scaffolding until the patch file reader is built: both passes end the run.
#include "app/Stages.h"
#include "protocol/RunHost.h"

void VerifyPatchFile() {
  RunHost().ShowErrorMessage("Patchdatei-Prüfung ist in diesem Stand noch nicht eingebaut.");
  RunHost().EndRun();
}

void ApplyPatchFile() {
  RunHost().ShowErrorMessage("Patchdatei-Anwendung ist in diesem Stand noch nicht eingebaut.");
  RunHost().EndRun();
}
