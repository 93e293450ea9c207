// quorvaltine-cli: the same program and the same run with the headless
// toolkit, the transcript on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "app/Main.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimDevices.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#ifndef _WIN32
#include "platform/linux/LinuxDevices.h"
#include "platform/linux/LinuxPlatform.h"
#endif

namespace {

std::int64_t g_startUs = 0;

void Usage() { std::fprintf(stderr, "usage: quorvaltine-cli [--dir DIR] [--simulate [--realtime]]\n"); }

void AtEnd() {
  std::int64_t ms = (platform::NowUs() - g_startUs) / 1000;
  platform::Transcript::Line("time " + std::to_string(ms));
  platform::Transcript::Line("exit 0");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool simulate = false, realtime = false;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--simulate") {
      simulate = true;
    } else if (a == "--realtime") {
      realtime = true;
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else {
      Usage();
      return 2;
    }
  }
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    if (ec) {
      std::fprintf(stderr, "quorvaltine-cli: cannot change to %s: %s\n", dir.c_str(), ec.message().c_str());
      return 2;
    }
  }

  std::unique_ptr<platform::IPlatform> plat;
  std::unique_ptr<platform::IDevices> devices;
  std::unique_ptr<platform::SimSerialSystem> serial;
  if (simulate) {
    plat = std::make_unique<platform::SimPlatform>(!realtime);
    devices = std::make_unique<platform::SimDevices>();
  } else {
#ifdef _WIN32
    std::fprintf(stderr, "quorvaltine-cli: only --simulate is available in this build\n");
    return 2;
#else
    plat = std::make_unique<platform::LinuxPlatform>();
    devices = std::make_unique<platform::LinuxDevices>();
#endif
  }
  platform::Install(plat.get());
  platform::InstallDevices(devices.get());
  if (simulate) {
    // The simulated machine's two ports as serial devices.
    serial = std::make_unique<platform::SimSerialSystem>();
    serial->AddDevice("COM1");
    serial->AddDevice("COM5");
    platform::InstallSerial(serial.get());
  }
  THeadlessToolkit toolkit;
  InstallToolkit(&toolkit);
  platform::Transcript::SetStream(&std::cout);
  g_startUs = platform::NowUs();
  std::atexit(AtEnd);
  int code = RunQuorvaltine();
  std::exit(code);
}
