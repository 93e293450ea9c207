// Scaffolding until the board dialogue is built: both exchanges end the run.
#include "app/Stages.h"
#include "protocol/RunHost.h"

void ReadConfiguration() {
  RunHost().ShowErrorMessage("Konfiguration lesen ist in diesem Stand noch nicht eingebaut.");
  RunHost().EndRun();
}

void ProgramConfiguration() {
  RunHost().ShowErrorMessage("Programmieren ist in diesem Stand noch nicht eingebaut.");
  RunHost().EndRun();
}
