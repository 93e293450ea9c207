// quorvaltine-cli's options for failing driver calls on the simulated
// machine, and its report of the driver calls a run made and of what it
// left behind.
#pragma once

#include <string>
#include <vector>

#include "platform/ErrorFlavour.h"

namespace emulator {
class TSimRig;
}

struct TOsFaultOptions {
  platform::ErrorFlavour flavour = platform::kNativeFlavour;
  std::vector<std::string> faults;  // OP=K[:CODE]
  std::string vanish;               // K or OP=K
  bool report = false;
  bool Any() const { return !faults.empty() || !vanish.empty() || report; }
};

// Takes argv[i] (and its value) when it is one of the options; throws
// std::invalid_argument for a bad value.
bool ParseOsFaultOption(TOsFaultOptions& o, int argc, char** argv, int& i);
// Wraps the rig's serial system as the options say and, with the report,
// writes "store-request" when the board is told to store.
void InstallOsFaults(const TOsFaultOptions& o, emulator::TSimRig& rig);
// The closing lines of the report: "os calls ..." and "os left ...".
void ReportOsFaults();
