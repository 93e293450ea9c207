// The LCD board as the system meets it on the serial line: DSR follows DTR,
// the ping is echoed, the read command gets the configuration dump and the
// identity trailer, the program command gets the echo dialogue and the
// confirmation. Faults can be injected by name. The board is written against
// a small line interface, so the in-process simulation and the pty emulator
// share it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace emulator {

// What the board needs of its end of the line.
class IBoardLine {
 public:
  virtual ~IBoardLine() = default;
  virtual std::int64_t NowUs() = 0;
  // Queues bytes for sending; they leave one after another at the line's
  // speed, after whatever is still queued.
  virtual void Send(const std::vector<std::uint8_t>& bytes) = 0;
  virtual void SetDsr(bool on) = 0;
  // Runs fn on the board's side after a delay.
  virtual void After(std::int64_t delayUs, std::function<void()> fn) = 0;
  // Fault hooks of the line itself.
  virtual void InjectLineError() = 0;
  virtual void Unplug() = 0;
};

struct TBoardFault {
  std::string name;
  int n = 0;
};

// Parses "name" or "name=N"; throws std::invalid_argument for an unknown name.
TBoardFault ParseFault(const std::string& text);
// The names the board knows.
const std::vector<std::string>& FaultNames();

class TLcdBoard {
 public:
  static constexpr int kValues = 120;
  static constexpr int kRunFields = 1000;

  explicit TLcdBoard(IBoardLine& line);

  // The board's stored configuration.
  std::array<std::int32_t, kValues> Values{};
  std::vector<std::int32_t> Run1, Run2;
  std::string TailText4 = "V2.3";
  std::string TailText3 = "LCD";
  std::uint8_t Language = 1;
  std::uint8_t DeviceType = 0x21;
  std::string DeviceText = "LCD-Platine 240";
  // When set, sent after the read command in place of the dump and trailer.
  std::optional<std::vector<std::uint8_t>> ReadReply;
  // Added to every late answer. The late delays land just past the
  // system's poll counts on an exact clock; on a real clock the polls take
  // longer than their nominal sleeps, so a board on a real line needs a
  // margin for a late answer to be late at all.
  std::int64_t LateExtraUs = 0;

  // The documented built-in start values: value i is (i * 37) % 1000 - 200,
  // so there are negative values, zeros and values of several lengths.
  void SetDefaultValues();

  void AddFault(const TBoardFault& f) { faults_.push_back(f); }
  bool HasFault(const std::string& name) const;
  int FaultN(const std::string& name) const;

  // Line events from the system's side.
  void OnDtr(bool on);
  void OnByte(std::uint8_t b);
  // Bytes the system has sent so far (counted from 1).
  int BytesReceived() const { return received_; }
  // Value characters of the last programming so far (counted from 1).
  int ValueCharsReceived() const { return valueChars_; }

  // The dump and trailer the board sends after the read command.
  std::vector<std::uint8_t> Dump() const;
  std::vector<std::uint8_t> Trailer() const;

  // Whether the board stored a programmed configuration, and how often.
  int Programmed() const { return programmed_; }
  // Called when a complete configuration has come in and the board starts
  // to store it (whether or not it confirms later).
  std::function<void()> OnStoreRequest;

  // Delays of the board's answers.
  static constexpr std::int64_t kDsrDelayUs = 5'000;
  static constexpr std::int64_t kAnswerDelayUs = 200;
  static constexpr std::int64_t kDumpDelayUs = 100'000;
  static constexpr std::int64_t kStoreTimeUs = 3'000'000;

 private:
  enum class Mode { Idle, Prefix, Programming, Stored };
  void Reply(std::vector<std::uint8_t> bytes, std::int64_t delayUs = kAnswerDelayUs);
  void ProgramByte(std::uint8_t b);
  void FinishProgramming();

  IBoardLine& line_;
  std::vector<TBoardFault> faults_;
  Mode mode_ = Mode::Idle;
  int received_ = 0;
  int dtrRises_ = 0;
  int valueChars_ = 0;
  int valueIndex_ = 0;
  std::string field_;
  std::array<std::int32_t, kValues> incoming_{};
  int programmed_ = 0;
};

}  // namespace emulator
