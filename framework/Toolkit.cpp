#include "framework/Toolkit.h"

#include <atomic>
#include <stdexcept>

#include "framework/Forms.h"

namespace {
std::atomic<IToolkit*> g_toolkit{nullptr};
}

IToolkit& Toolkit() {
  IToolkit* t = g_toolkit.load();
  if (t == nullptr) throw std::logic_error("no toolkit installed");
  return *t;
}

IToolkit* InstalledToolkit() { return g_toolkit.load(); }

IToolkit* InstallToolkit(IToolkit* t) { return g_toolkit.exchange(t); }

void HandleDispatchException(TObject* sender) noexcept {
  if (Application == nullptr) return;
  try {
    Application->HandleException(sender);
  } catch (...) {
    // Nothing more can be done here: the handler's own dispatch goes on.
  }
}
