// The environment of a scenario child: the simulated platform on the virtual
// clock, the headless toolkit, and the transcript on standard output with
// time stamps.
#pragma once

#include <iostream>

#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"

namespace qvtest {

struct ScenarioEnv {
  platform::SimPlatform sim{true};
  THeadlessToolkit toolkit;
  platform::ScopedPlatform useSim{sim};
  ScopedToolkit useToolkit{toolkit};
  explicit ScenarioEnv(bool timestamps = true) {
    platform::Transcript::SetStream(&std::cout);
    platform::Transcript::SetTimestamps(timestamps);
  }
  ~ScenarioEnv() { platform::Transcript::SetStream(nullptr); }
  ScenarioEnv(const ScenarioEnv&) = delete;
  ScenarioEnv& operator=(const ScenarioEnv&) = delete;
};

}  // namespace qvtest
