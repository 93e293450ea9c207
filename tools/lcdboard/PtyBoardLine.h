// The board's end of a pty: bytes leave and arrive at the line speed of
// 9600 baud 8N1, the board's modem lines and the line-error counters live in
// the state shared with the preload library of the program under test.
//
// Between the board and the pty sits an FTDI adapter's receive side: a byte
// the board has sent waits in the chip's 62-byte buffer until the buffer is
// full, the latency timer expires (every period from the last packet on), or
// the board changes DSR (the line state travels in the same packet). The
// period is the latency timer, or 1 ms while the program has set
// ASYNC_LOW_LATENCY through the preload library.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "emulator/LcdBoard.h"

struct qv_modemline_state;

namespace lcdboard {

class TPtyBoardLine : public emulator::IBoardLine {
 public:
  // Opens the pty pair and, when statePath is not empty, creates the shared
  // state file for the slave. Throws std::runtime_error on failure.
  explicit TPtyBoardLine(const std::string& statePath, std::int64_t latencyUs = 16'000);
  ~TPtyBoardLine() override;
  TPtyBoardLine(const TPtyBoardLine&) = delete;
  TPtyBoardLine& operator=(const TPtyBoardLine&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  void Attach(emulator::TLcdBoard& board) { board_ = &board; }

  std::int64_t NowUs() override;
  void Send(const std::vector<std::uint8_t>& bytes) override;
  void SetDsr(bool on) override;
  void After(std::int64_t delayUs, std::function<void()> fn) override;
  void InjectLineError() override;
  void Unplug() override;

  // Runs the line for at most maxWaitUs: timers, paced sending, the
  // system's bytes and DTR changes.
  void RunOnce(std::int64_t maxWaitUs);
  // Whether the system side has the slave open (as far as the master sees).
  bool SlaveOpen() const { return slaveOpen_; }
  bool Unplugged() const { return masterFd_ < 0; }

  static constexpr std::int64_t kByteUs = 10'000'000 / 9600;
  static constexpr std::size_t kChipBuffer = 62;
  static constexpr std::int64_t kLowLatencyUs = 1'000;

  // The period the adapter sends its buffer with now (0: no latency timer).
  std::int64_t PeriodUs() const;
  bool LowLatency() const;
  // How often the program has read the lines (TIOCMGET) through the preload.
  std::uint32_t LineReads() const;

 private:
  void RunDue();
  void SendDue();
  void ReadSystemBytes();
  void WatchDtr();
  void SetBoardLine(std::uint32_t bit, std::int32_t* counter, bool on);
  void ChipDue();
  void FlushChip();
  bool WriteToSystem(std::uint8_t b);

  int masterFd_ = -1;
  std::string slavePath_;
  std::string statePath_;
  qv_modemline_state* state_ = nullptr;
  emulator::TLcdBoard* board_ = nullptr;
  std::int64_t startNs_ = 0;

  std::multimap<std::int64_t, std::function<void()>> timers_;
  std::deque<std::uint8_t> outgoing_;
  std::int64_t nextSendUs_ = 0;
  std::int64_t nextArrivalUs_ = 0;
  bool dtr_ = false;
  bool slaveOpen_ = false;

  std::int64_t latencyUs_;
  std::deque<std::uint8_t> chip_;
  std::int64_t lastPacketUs_ = 0;
  std::int64_t chipDueUs_ = -1;  // the tick that sends chip_
};

}  // namespace lcdboard
