// The per-byte cost of the board dialogue: one WriteByte + WritePending +
// InputCount round, over a simulated device and over a pty.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/Scoped.h"
#include "platform/linux/PosixSerial.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "serial/Comport.h"
#include "tests/support/PortSetup.h"

namespace {

void BM_SimRound(benchmark::State& state) {
  platform::SimPlatform sim(true);
  platform::SimSerialSystem serial;
  platform::ScopedPlatform useSim(sim);
  platform::ScopedSerial useSerial(serial);
  auto line = serial.AddDevice("COM5");
  {
    TComPort port(nullptr);
    qvtest::ConfigureBoardLine(port);
    port.SetDeviceName("COM5");
    port.Open();
    for (auto _ : state) {
      port.WriteByte(0xA5);
      benchmark::DoNotOptimize(port.WritePending());
      benchmark::DoNotOptimize(port.InputCount());
      if (state.iterations() % 1024 == 0) line->TakeReceived();
    }
  }
}
BENCHMARK(BM_SimRound);

void BM_PosixPtyRound(benchmark::State& state) {
  platform::SimPlatform sim(false);
  platform::PosixSerialSystem serial;
  platform::ScopedPlatform useSim(sim);
  platform::ScopedSerial useSerial(serial);
  int master, slave;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("openpty");
    return;
  }
  bool stop = false;
  // The far side drains what is written.
  std::thread drain([&] {
    char buf[4096];
    while (read(master, buf, sizeof buf) > 0 && !stop) {
    }
  });
  {
    TComPort port(nullptr);
    qvtest::ConfigureBoardLine(port);
    port.SetDeviceName(name);
    port.Open();
    for (auto _ : state) {
      port.WriteByte(0xA5);
      benchmark::DoNotOptimize(port.WritePending());
      benchmark::DoNotOptimize(port.InputCount());
    }
    stop = true;
    port.WriteByte(0);
    port.WaitForWriteCompletion();
  }
  close(slave);
  drain.join();
  close(master);
}
BENCHMARK(BM_PosixPtyRound);

}  // namespace

BENCHMARK_MAIN();
