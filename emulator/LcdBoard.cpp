#include "emulator/LcdBoard.h"

#include <algorithm>
#include <stdexcept>

namespace emulator {

namespace {

constexpr std::uint8_t kPrefix = 0xA5, kRead = 0xAB, kProgram = 0xA8, kPing = 0xBA, kSep = 0x5F, kEod = 0xFA,
                       kConfirm = 0xAF, kControl = 0x04;

// One character at 9600 baud, 8N1.
constexpr std::int64_t kByteUs = 10'000'000 / 9600;

// Delays that put an answer into the 97th poll of the system's echo waits:
// the first poll comes one send-completion check (10 ms) plus the wait's
// own lead-in after the system wrote its byte, and the answer needs two
// character times on the line (there and back).
constexpr std::int64_t kPingLateUs = 116'500 - 2 * kByteUs;
constexpr std::int64_t kEchoLateUs = 106'500 - 2 * kByteUs;
constexpr std::int64_t kEodLateUs = 975'000 - 2 * kByteUs;

// The confirmation wait polls every 20 ms from 20 ms after the end-of-data
// echo was read; an answer scheduled for poll k arrives in the middle of
// its window.
std::int64_t ConfirmDelayForPoll(int k) { return 20'000 + 20'000LL * k + 10'000 - 2 * kByteUs; }

const std::vector<std::string> kFaultNames = {
    "no-dsr",          "dsr-stuck",       "ping-wrong",     "ping-late",      "dump-silent",
    "dump-overflow",   "dump-size",       "extra-field",    "missing-field",  "long-field",
    "no-control-char", "language",        "devtext-long",   "devtext-len",    "devtype",
    "empty-field",     "early-bytes",     "dump-gap",       "trailer-silent", "echo-wrong",
    "echo-late",       "separator-wrong", "separator-late", "eod-wrong",      "eod-late",
    "program-wrong",   "program-silent",  "confirm-wrong",  "confirm-late",   "confirm-poll",
    "reset-end-fail",  "line-error",      "unplug",         "store-wrong"};

void AppendText(std::vector<std::uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

const std::vector<std::string>& FaultNames() { return kFaultNames; }

TBoardFault ParseFault(const std::string& text) {
  TBoardFault f;
  std::size_t eq = text.find('=');
  f.name = text.substr(0, eq);
  if (eq != std::string::npos) {
    std::size_t used = 0;
    f.n = std::stoi(text.substr(eq + 1), &used, 0);
    if (used != text.size() - eq - 1) throw std::invalid_argument("bad number in fault " + text);
  }
  if (std::find(kFaultNames.begin(), kFaultNames.end(), f.name) == kFaultNames.end())
    throw std::invalid_argument("unknown fault " + f.name);
  return f;
}

TLcdBoard::TLcdBoard(IBoardLine& line) : line_(line) { SetDefaultValues(); }

void TLcdBoard::SetDefaultValues() {
  for (int i = 0; i < kValues; ++i) Values[static_cast<std::size_t>(i)] = (i * 37) % 1000 - 200;
  Run1.assign(kRunFields, 0);
  Run2.assign(kRunFields, 0);
  for (int i = 0; i < kRunFields; ++i) {
    Run1[static_cast<std::size_t>(i)] = i;
    Run2[static_cast<std::size_t>(i)] = -i;
  }
}

bool TLcdBoard::HasFault(const std::string& name) const {
  return std::any_of(faults_.begin(), faults_.end(), [&](const TBoardFault& f) { return f.name == name; });
}

int TLcdBoard::FaultN(const std::string& name) const {
  for (const auto& f : faults_)
    if (f.name == name) return f.n;
  return 0;
}

void TLcdBoard::Reply(std::vector<std::uint8_t> bytes, std::int64_t delayUs) {
  line_.After(delayUs, [this, bytes = std::move(bytes)] { line_.Send(bytes); });
}

void TLcdBoard::OnDtr(bool on) {
  mode_ = Mode::Idle;
  if (on) {
    ++dtrRises_;
    if (HasFault("no-dsr")) return;
    if (HasFault("reset-end-fail") && programmed_ > 0) return;
    line_.After(kDsrDelayUs, [this] { line_.SetDsr(true); });
  } else {
    if (HasFault("dsr-stuck")) return;
    line_.After(kDsrDelayUs, [this] { line_.SetDsr(false); });
  }
}

std::vector<std::uint8_t> TLcdBoard::Dump() const {
  std::vector<std::string> fields;
  fields.reserve(kValues + 2 * kRunFields + 1);
  int empty = HasFault("empty-field") ? FaultN("empty-field") : -1;
  for (int i = 0; i < kValues; ++i)
    fields.push_back(i == empty ? std::string() : std::to_string(Values[static_cast<std::size_t>(i)]));
  for (int v : Run1) fields.push_back(std::to_string(v));
  for (int v : Run2) fields.push_back(std::to_string(v));
  if (HasFault("extra-field")) fields.push_back("7");
  if (HasFault("missing-field")) fields.pop_back();
  // Value 0 as a field of N characters, its value kept by leading zeros.
  if (HasFault("long-field")) {
    std::string& f = fields.front();
    std::size_t length = static_cast<std::size_t>(std::max(FaultN("long-field"), 0));
    bool neg = !f.empty() && f[0] == '-';
    if (length > f.size()) f.insert(neg ? 1 : 0, length - f.size(), '0');
  }

  std::size_t natural = TailText4.size() + TailText3.size() + 1;
  for (const auto& f : fields) natural += f.size() + 1;
  // Pad the runs' fields with leading zeros to reach a chosen dump size.
  std::size_t target = 0;
  if (HasFault("dump-overflow")) target = 63995;
  if (HasFault("dump-size")) target = static_cast<std::size_t>(FaultN("dump-size"));
  if (target > natural) {
    std::size_t extra = target - natural;
    for (std::size_t i = kValues; i < fields.size() && extra > 0; ++i) {
      std::string& f = fields[i];
      bool neg = !f.empty() && f[0] == '-';
      std::size_t room = 49 - f.size();
      std::size_t add = std::min(room, extra);
      f.insert(neg ? 1 : 0, add, '0');
      extra -= add;
    }
  }

  std::vector<std::uint8_t> out;
  out.reserve(target > natural ? target : natural);
  for (const auto& f : fields) {
    AppendText(out, f);
    out.push_back(kSep);
  }
  AppendText(out, TailText4);
  AppendText(out, TailText3);
  out.push_back(kConfirm);
  return out;
}

std::vector<std::uint8_t> TLcdBoard::Trailer() const {
  std::vector<std::uint8_t> out;
  out.push_back(HasFault("no-control-char") ? 0x05 : kControl);
  out.push_back(HasFault("language") ? static_cast<std::uint8_t>(FaultN("language")) : Language);
  out.push_back(HasFault("devtype") ? static_cast<std::uint8_t>(FaultN("devtype")) : DeviceType);
  std::string text = DeviceText;
  if (HasFault("devtext-long")) text = std::string(17, 'L');
  if (HasFault("devtext-len")) text = std::string(static_cast<std::size_t>(FaultN("devtext-len")), 'T');
  AppendText(out, text);
  out.push_back(kSep);
  if (HasFault("trailer-silent"))
    out.resize(std::min(out.size(), static_cast<std::size_t>(FaultN("trailer-silent"))));
  return out;
}

void TLcdBoard::OnByte(std::uint8_t b) {
  ++received_;
  if (HasFault("line-error") && FaultN("line-error") == received_) line_.InjectLineError();
  if (HasFault("unplug") && FaultN("unplug") == received_) {
    line_.Unplug();
    return;
  }
  switch (mode_) {
    case Mode::Idle:
    case Mode::Stored:
      if (b == kPing) {
        if (HasFault("ping-wrong"))
          Reply({0x00});
        else
          Reply({kPing}, HasFault("ping-late") ? kPingLateUs + LateExtraUs : kAnswerDelayUs);
      } else if (b == kPrefix) {
        mode_ = Mode::Prefix;
      }
      break;
    case Mode::Prefix:
      mode_ = Mode::Idle;
      if (b == kRead) {
        if (HasFault("early-bytes")) Reply({'x', 'y', 'z', kConfirm}, 5'000);
        if (HasFault("dump-silent")) break;
        if (ReadReply) {
          Reply(*ReadReply, kDumpDelayUs);
          break;
        }
        std::vector<std::uint8_t> dump = Dump();
        std::vector<std::uint8_t> trailer = Trailer();
        if (HasFault("dump-gap")) {
          // A pause of N idle polls (10 ms each, less a little) in the dump.
          std::size_t half = dump.size() / 2;
          std::vector<std::uint8_t> first(dump.begin(), dump.begin() + static_cast<std::ptrdiff_t>(half));
          std::vector<std::uint8_t> rest(dump.begin() + static_cast<std::ptrdiff_t>(half), dump.end());
          rest.insert(rest.end(), trailer.begin(), trailer.end());
          Reply(first, kDumpDelayUs);
          std::int64_t gapUs = static_cast<std::int64_t>(FaultN("dump-gap")) * 10'000 - 5'000;
          std::int64_t firstDoneUs = kDumpDelayUs + static_cast<std::int64_t>(first.size()) * kByteUs;
          Reply(rest, firstDoneUs + gapUs);
        } else {
          dump.insert(dump.end(), trailer.begin(), trailer.end());
          Reply(dump, kDumpDelayUs);
        }
      } else if (b == kProgram) {
        mode_ = Mode::Programming;
        valueChars_ = 0;
        valueIndex_ = 0;
        field_.clear();
        if (HasFault("program-silent")) break;
        Reply({HasFault("program-wrong") ? std::uint8_t{0x05} : kControl});
      }
      break;
    case Mode::Programming:
      ProgramByte(b);
      break;
  }
}

void TLcdBoard::ProgramByte(std::uint8_t b) {
  if (b == kEod) {
    if (HasFault("eod-wrong"))
      Reply({0x00});
    else
      Reply({kEod}, HasFault("eod-late") ? kEodLateUs + LateExtraUs : kAnswerDelayUs);
    FinishProgramming();
    return;
  }
  if (b == kSep) {
    if (HasFault("separator-wrong"))
      Reply({std::uint8_t{'#'}});
    else
      Reply({kSep},
            HasFault("separator-late") && valueIndex_ == 0 ? kEchoLateUs + LateExtraUs : kAnswerDelayUs);
    if (valueIndex_ < kValues)
      incoming_[static_cast<std::size_t>(valueIndex_)] = std::stoi(field_.empty() ? "0" : field_);
    ++valueIndex_;
    field_.clear();
    return;
  }
  ++valueChars_;
  field_ += static_cast<char>(b);
  if (HasFault("echo-wrong") && FaultN("echo-wrong") == valueChars_) {
    Reply({static_cast<std::uint8_t>(b ^ 0x01)});
    return;
  }
  bool late = HasFault("echo-late") && FaultN("echo-late") == valueChars_;
  Reply({b}, late ? kEchoLateUs + LateExtraUs : kAnswerDelayUs);
}

void TLcdBoard::FinishProgramming() {
  mode_ = Mode::Stored;
  if (valueIndex_ != kValues) return;  // an incomplete transfer is not stored
  if (OnStoreRequest) OnStoreRequest();
  std::int64_t delay = kStoreTimeUs;
  if (HasFault("confirm-late")) delay = ConfirmDelayForPoll(599) + LateExtraUs;
  if (HasFault("confirm-poll")) delay = ConfirmDelayForPoll(FaultN("confirm-poll"));
  std::uint8_t answer = HasFault("confirm-wrong") ? 0x00 : kConfirm;
  line_.After(delay, [this, answer] {
    if (answer == kConfirm) {
      Values = incoming_;
      // A board with a bad cell: it confirms, but holds one value with its
      // lowest bit flipped.
      if (HasFault("store-wrong") && FaultN("store-wrong") >= 0 && FaultN("store-wrong") < kValues)
        Values[static_cast<std::size_t>(FaultN("store-wrong"))] ^= 1;
      ++programmed_;
    }
    line_.Send({answer});
  });
}

}  // namespace emulator
