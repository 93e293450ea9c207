// Scaffolding until the port discovery is built: the search reports that it
// cannot search yet, and a pick in the port list does nothing.
#include "app/Main.h"
#include "app/Stages.h"

bool FindBoardPort() {
  MainForm->ShowErrorMessage("Portsuche ist in diesem Stand noch nicht eingebaut.");
  return false;
}

void TMainForm::ComboBoxChange(TObject*) {}
