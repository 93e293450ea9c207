#include "protocol/RunHost.h"

#include <stdexcept>

namespace {
IRunHost* g_host = nullptr;
}

IRunHost& RunHost() {
  if (g_host == nullptr) throw std::logic_error("no run host");
  return *g_host;
}

void SetRunHost(IRunHost* host) { g_host = host; }
