// lcdboard: the LCD board on a pty, for end-to-end runs of the real serial
// drivers. The first line of standard output is the path of the pty slave
// (the board's "serial port"); the program under test opens it with the
// modem-line preload library pointed at the --state file.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "emulator/LcdBoard.h"
#include "tools/lcdboard/PtyBoardLine.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

const char kUsage[] =
    "usage: lcdboard [--fault NAME[=N]]... [--board FILE] [--store FILE] [--state FILE] [--timeout S]\n"
    "                [--late-extra MS] [--latency MS]\n"
    "  --fault NAME[=N]  misbehave as named (repeatable)\n"
    "  --board FILE      the 120 stored values to start with (whitespace-separated)\n"
    "  --store FILE      at the end, write the 120 values the board has stored\n"
    "  --state FILE      the modem-line state shared with the preload library\n"
    "  --timeout S       give up after S seconds, with exit status 2 (default 120)\n"
    "  --late-extra MS   answer MS later still where a fault makes an answer late\n"
    "  --latency MS      the FTDI adapter's latency timer, 1 ms while the program\n"
    "                    has set ASYNC_LOW_LATENCY (default 16; 0: none)\n"
    "Ends on SIGTERM or SIGINT, or once the port is closed after programming.\n";

void ReadValues(const std::string& path, emulator::TLcdBoard& board) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  int count = 0;
  long long v;
  while (in >> v) {
    if (count == emulator::TLcdBoard::kValues) throw std::runtime_error(path + ": more than 120 values");
    board.Values[static_cast<std::size_t>(count++)] = static_cast<std::int32_t>(v);
  }
  if (!in.eof() || count != emulator::TLcdBoard::kValues)
    throw std::runtime_error(path + ": expected 120 whole numbers");
}

bool WriteValues(const std::string& path, const emulator::TLcdBoard& board) {
  // Written aside and renamed, so a reader never sees half a file.
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (std::int32_t v : board.Values) out << v << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<emulator::TBoardFault> faults;
  std::string boardFile, storeFile, stateFile;
  double timeoutS = 120;
  double lateExtraMs = 0;
  double latencyMs = 16;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
        return argv[++i];
      };
      if (a == "--fault")
        faults.push_back(emulator::ParseFault(value()));
      else if (a == "--board")
        boardFile = value();
      else if (a == "--store")
        storeFile = value();
      else if (a == "--state")
        stateFile = value();
      else if (a == "--timeout")
        timeoutS = std::stod(value());
      else if (a == "--late-extra") {
        lateExtraMs = std::stod(value());
        if (!(lateExtraMs >= 0 && lateExtraMs <= 60'000))
          throw std::invalid_argument("--late-extra: 0 to 60000");
      } else if (a == "--latency") {
        latencyMs = std::stod(value());
        if (!(latencyMs >= 0 && latencyMs <= 255)) throw std::invalid_argument("--latency: 0 to 255");
      } else if (a == "-h" || a == "--help") {
        std::cout << kUsage;
        return 0;
      } else
        throw std::invalid_argument("unknown argument " + a);
    }
  } catch (const std::exception& e) {
    std::cerr << "lcdboard: " << e.what() << "\n" << kUsage;
    return 64;
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    lcdboard::TPtyBoardLine line(stateFile, static_cast<std::int64_t>(latencyMs * 1000));
    emulator::TLcdBoard board(line);
    line.Attach(board);
    for (const auto& f : faults) board.AddFault(f);
    board.LateExtraUs = static_cast<std::int64_t>(lateExtraMs * 1000);
    if (!boardFile.empty()) ReadValues(boardFile, board);
    std::cout << line.SlavePath() << std::endl;

    // The run is over once the port has stayed closed for a moment after
    // the board stored a configuration (a program may close and reopen it).
    constexpr std::int64_t kClosedGraceUs = 500'000;
    const std::int64_t deadlineUs = static_cast<std::int64_t>(timeoutS * 1e6);
    std::int64_t closedSinceUs = -1;
    bool timedOut = false;
    bool lowLatency = false;
    while (!gStop) {
      line.RunOnce(10'000);
      std::int64_t now = line.NowUs();
      if (line.LowLatency() != lowLatency) {
        // The program's request and its undoing, for the logs of a run.
        lowLatency = !lowLatency;
        std::cerr << "lcdboard: low latency " << (lowLatency ? "on" : "off") << " at " << now / 1000
                  << " ms\n";
      }
      if (now >= deadlineUs) {
        timedOut = true;
        break;
      }
      if (board.Programmed() > 0 && !line.SlaveOpen() && !line.Unplugged()) {
        if (closedSinceUs < 0) closedSinceUs = now;
        if (now - closedSinceUs >= kClosedGraceUs) break;
      } else {
        closedSinceUs = -1;
      }
    }
    std::cerr << "lcdboard: " << board.BytesReceived() << " bytes received, programmed " << board.Programmed()
              << " time(s), " << line.LineReads() << " TIOCMGET call(s)" << (timedOut ? ", timed out" : "")
              << "\n";
    if (!storeFile.empty() && !WriteValues(storeFile, board)) {
      std::cerr << "lcdboard: cannot write " << storeFile << "\n";
      return 1;
    }
    return timedOut ? 2 : 0;
  } catch (const std::exception& e) {
    std::cerr << "lcdboard: " << e.what() << "\n";
    return 1;
  }
}
