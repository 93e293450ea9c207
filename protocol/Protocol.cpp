#include "protocol/Protocol.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "framework/Controls.h"
#include "platform/Platform.h"
#include "protocol/ConfigImage.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"

namespace protocol {

namespace {

// The working storage of one exchange, tied to the exchange's life: an
// exchange that returns or is left by an exception (a port error turned into
// a silent abort) frees it on the way out, and a failure that ends the
// process, which unwinds nothing, frees it before it ends.
class TExchangeBuffers {
 public:
  TExchangeBuffers(std::size_t receiveBytes, std::size_t fieldBytes)
      : receive_(receiveBytes > 0 ? new std::uint8_t[receiveBytes] : nullptr),
        field_(fieldBytes > 0 ? new char[fieldBytes] : nullptr),
        outer_(live_) {
    live_ = this;
  }
  ~TExchangeBuffers() { live_ = outer_; }
  TExchangeBuffers(const TExchangeBuffers&) = delete;
  TExchangeBuffers& operator=(const TExchangeBuffers&) = delete;

  std::uint8_t* Receive() const { return receive_.get(); }
  char* Field() const { return field_.get(); }

  // Frees the storage of every exchange in progress.
  static void ReleaseLive() {
    for (TExchangeBuffers* b = live_; b != nullptr; b = b->outer_) {
      b->receive_.reset();
      b->field_.reset();
    }
  }

 private:
  std::unique_ptr<std::uint8_t[]> receive_;
  std::unique_ptr<char[]> field_;
  TExchangeBuffers* outer_;
  static inline TExchangeBuffers* live_ = nullptr;
};

[[noreturn]] void EndExchange() {
  TExchangeBuffers::ReleaseLive();
  RunHost().EndRun();
  std::abort();  // not reached
}

TComPort& Port() { return RunHost().Port(); }

bool DsrPresent() { return Port().GetModemStatus().Contains(msDSR); }

void Sleep(int ms) { platform::Sleep(ms); }

// A failure of the reading exchange, or of the programming exchange's first
// answer: message, bar and status back to empty, controls on, end.
[[noreturn]] void FailExchange(const std::string& text) {
  IRunHost& host = RunHost();
  host.ShowErrorMessage(text);
  host.Progress().SetPosition(0);
  host.Status().SetCaption("");
  host.SetControlsEnabled(true);
  EndExchange();
}

const char* const kTimeout = "Datenübertragungsfehler!\n\nZeitüberschreitung.";
const char* const kMemoryEnd = "Datenübertragungsfehler!\n\nSpeicherende erreicht!";
const char* const kWrongControl =
    "Datenübertragungsfehler!\n\nFalsches Kontrollzeichen empfangen.\nFirmware in LCD-Platine vermutlich "
    "nicht "
    "kompatibel.";
const char* const kControlTimeout =
    "Datenübertragungsfehler!\n\nZeitüberschreitung.\nFirmware in LCD-Platine vermutlich nicht kompatibel!";
const char* const kWrongLanguage = "Datenübertragungsfehler!\n\nUngültiges Sprach-Kontrollzeichen empfangen.";
const char* const kTypeTimeout =
    "Datenübertragungsfehler!\n\nZeitüberschreitung.\nGerätetyp-Kennzeichen nicht empfangen!";
const char* const kWrongEnd = "Datenübertragungsfehler!\n\nFalsches Bestätigungsbyte!";

constexpr int kIdleLimit = 500;
constexpr int kIdleSleepMs = 10;

// An answer is looked for in up to kAnswerPolls polls; it counts only within
// the first kAnswerInTimePolls. The send wait gives up after as many polls.
constexpr int kAnswerPolls = 100;
constexpr int kAnswerInTimePolls = 96;
constexpr int kSendCompletePolls = 96;
constexpr int kSendCompleteSleepMs = 10;

// The read bar moves one step per this many fields of the dump.
constexpr int kFieldsPerReadStep = 30;

// The programming wait: kProgrammingPolls polls of kProgrammingSleepMs; a
// confirmation counts up to poll kLastConfirmingPoll, and the bar's step
// per poll is the double nearest 100 / kLastConfirmingPoll.
constexpr int kProgrammingPolls = 600;
constexpr int kProgrammingSleepMs = 20;
constexpr int kLastConfirmingPoll = 598;
constexpr double kProgrammingStep = 100.0 / kLastConfirmingPoll;

// The idle shape for one byte: poll; when nothing is there, sleep 10 ms and
// count; 500 idle polls are a time-out. `beforeSleep` runs before each sleep.
template <class F>
bool WaitByte(std::uint8_t& b, F&& beforeSleep) {
  for (int idle = 0;;) {
    if (Port().InputCount() > 0) {
      b = Port().ReadByte();
      return true;
    }
    beforeSleep();
    Sleep(kIdleSleepMs);
    if (++idle >= kIdleLimit) return false;
  }
}

bool WaitByte(std::uint8_t& b) {
  return WaitByte(b, [] {});
}

// The echo shape: up to 100 polls, each after a sleep; the expected byte
// counts only within the first 96 polls, any other byte is wrong at once.
void WaitEcho(std::uint8_t expected, int sleepMs, int wrongCode, int lateCode) {
  for (int poll = 1; poll <= kAnswerPolls; ++poll) {
    Sleep(sleepMs);
    if (Port().InputCount() > 0) {
      std::uint8_t b = Port().ReadByte();
      if (b != expected) ReportProtocolError(WrongAnswer, wrongCode);
      if (poll <= kAnswerInTimePolls) return;
      ReportProtocolError(AnswerTimeout, lateCode);
    }
  }
  ReportProtocolError(AnswerTimeout, lateCode);
}

void SendByte(std::uint8_t b, int code) {
  Port().WriteByte(b);
  WaitSendComplete(code);
}

void ResetFailed(const char* which) {
  IRunHost& host = RunHost();
  host.ShowErrorMessage(std::string("Keine Rückmeldung vom \"Reset\"-Befehl \"") + which +
                        "\" erhalten!\n\n        Datenübertragung abgebrochen!");
  host.Progress().SetPosition(0);
  host.Status().SetCaption("");
  EndExchange();
}

}  // namespace

std::int32_t ParseField(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::int64_t v = 0;
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  while (*p >= '0' && *p <= '9') {
    if (v <= kLimit) v = v * 10 + (*p - '0');
    ++p;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max()) v = std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) v = std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

int ProgrammingWaitPosition(int k) {
  // The step is kMantissa * 2^-kShift exactly, and k * kMantissa fits 64 bits
  // for every poll of the wait, so the shift truncates the exact product.
  constexpr std::uint64_t kBits = std::bit_cast<std::uint64_t>(kProgrammingStep);
  constexpr std::uint64_t kMantissa = (kBits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  constexpr int kShift = 1075 - static_cast<int>(kBits >> 52);
  static_assert(kShift > 0 && kShift < 64);
  if (k <= 0) return 0;
  return static_cast<int>((static_cast<std::uint64_t>(k) * kMantissa) >> kShift);
}

void WaitSendComplete(int code) {
  for (int i = 0;; ++i) {
    if (!Port().WritePending()) return;
    if (i >= kSendCompletePolls) break;
    Sleep(kSendCompleteSleepMs);
  }
  RunHost().ShowErrorMessage("Daten senden konnte nicht ausgeführt werden!  Fehlercode " +
                             std::to_string(code) + "\n\n             Datenübertragung abgebrochen!");
  EndExchange();
}

bool PingBoard() {
  Port().PurgeInput();
  SendByte(PingByte, 1);
  Sleep(10);
  bool ok = false;
  for (int poll = 1; poll <= kAnswerPolls; ++poll) {
    Sleep(1);
    if (Port().InputCount() != 0) {
      ok = Port().ReadByte() == PingByte && poll <= kAnswerInTimePolls;
      break;
    }
  }
  if (ok) return true;
  RunHost().ShowErrorMessage(
      "     Gerät antwortet nicht!\n\nMögliche Gründe, z.B.:\nTest-Jumper auf Platine vergessen.\nNetzkabel "
      "nicht "
      "entfernt.\nNoch keine Firmware geladen.");
  return false;
}

void ResetOn() {
  TPanel& panel = RunHost().ResetIndicatorPanel();
  Port().SetDTR();
  panel.Repaint();
  Sleep(50);
  if (DsrPresent()) {
    panel.SetColor(RunHost().ResetColorOn());
  } else {
    panel.SetColor(RunHost().ResetColorOff());
    ResetFailed("ein");
  }
  panel.Repaint();
}

void ResetOff() {
  TPanel& panel = RunHost().ResetIndicatorPanel();
  Port().ClearDTR();
  panel.Repaint();
  Sleep(50);
  if (!DsrPresent()) {
    panel.SetColor(RunHost().ResetColorOff());
  } else {
    panel.SetColor(RunHost().ResetColorOn());
    ResetFailed("aus");
  }
  panel.Repaint();
}

void ResetHandshake() {
  ResetOn();
  Sleep(200);
  ResetOff();
  Sleep(2000);
  if (!PingBoard()) EndExchange();
}

void ReportProtocolError(int kind, int code) {
  const char* first =
      kind <= AnswerTimeout ? "Datenübertragungsfehler!  Fehlercode " : "Programmierfehler!  Fehlercode ";
  const char* second = kind == WrongAnswer         ? "\n\nFalsches Antwortbyte."
                       : kind == WrongConfirmation ? "\n\nFalsches Bestätigungsbyte."
                                                   : "\n\nZeitüberschreitung.";
  RunHost().ShowErrorMessage(first + std::to_string(code) + second);
  EndExchange();
}

}  // namespace protocol

using namespace protocol;

namespace {

// Copies the next field (up to its separator, which is consumed) into the
// field buffer and parses it. A field without a separator inside the received
// bytes, or one too long for the buffer, breaks the layout.
bool NextField(const std::uint8_t* buf, int length, int& pos, char* field, std::int32_t& value) {
  int n = 0;
  for (;;) {
    if (pos >= length) return false;
    std::uint8_t b = buf[pos++];
    if (b == FieldSeparator) break;
    if (n >= kFieldBufferSize - 1) return false;
    field[n++] = static_cast<char>(b);
  }
  field[n] = '\0';
  value = ParseField(field);
  return true;
}

}  // namespace

void ReadConfiguration() {
  TExchangeBuffers buffers(kReceiveBufferSize, kFieldBufferSize);
  std::uint8_t* buf = buffers.Receive();
  char* field = buffers.Field();
  IRunHost& host = RunHost();

  ResetHandshake();
  host.SetControlsEnabled(false);
  SendByte(CommandPrefix, 7);
  SendByte(ReadCommand, 8);
  Sleep(50);
  Port().PurgeInput();
  host.Progress().SetPosition(0);
  host.Status().SetCaption("Konfiguration aus Gerät lesen");
  host.Status().Repaint();

  // The dump, up to and including its 0xAF.
  int length = 0, separators = 0, idle = 0;
  for (;;) {
    bool stored = false;
    if (Port().InputCount() > 0) {
      std::uint8_t b = Port().ReadByte();
      buf[length++] = b;
      if (b == FieldSeparator) ++separators;
      idle = 0;
      if (length == kMaxDumpBytes + 1) FailExchange(kMemoryEnd);
      stored = true;
    } else {
      Sleep(kIdleSleepMs);
      if (++idle >= kIdleLimit) FailExchange(kTimeout);
    }
    if (separators > 0) {
      host.ProcessMessages();
      host.Progress().SetPosition(separators / kFieldsPerReadStep);
    }
    if (stored && buf[length - 1] == ConfirmByte) break;
  }

  // The identity trailer.
  std::uint8_t b = 0;
  if (!WaitByte(b)) FailExchange(kControlTimeout);
  if (b != ControlChar) FailExchange(kWrongControl);
  if (!WaitByte(b)) FailExchange(kTimeout);
  if (b >= LanguageCount) FailExchange(kWrongLanguage);
  ConfigImage.Language = b;
  if (!WaitByte(b, [&] { host.ProcessMessages(); })) FailExchange(kTypeTimeout);
  ConfigImage.DeviceType = b;
  int textBytes = 0;
  ConfigImage.DeviceText[0] = '\0';
  for (;;) {
    if (!WaitByte(b)) FailExchange(kTimeout);
    if (++textBytes > kMaxDeviceText + 1) FailExchange(kMemoryEnd);
    if (b == FieldSeparator) break;
    if (textBytes <= kMaxDeviceText) {
      ConfigImage.DeviceText[textBytes - 1] = static_cast<char>(b);
      ConfigImage.DeviceText[textBytes] = '\0';
    }
  }

  // The layout: 120 image values, two runs of 1000 fields, 4 + 3 bytes, 0xAF.
  int pos = 0;
  std::int32_t value = 0;
  for (int i = 0; i < ImageLength; ++i) {
    if (!NextField(buf, length, pos, field, value)) FailExchange(kWrongEnd);
    ConfigImage.Values[i] = value;
    host.ProcessMessages();
  }
  for (int i = 0; i < 2 * kRunFields; ++i) {
    if (!NextField(buf, length, pos, field, value)) FailExchange(kWrongEnd);
    host.ProcessMessages();
  }
  if (length - pos < 4 + 3 + 1) FailExchange(kWrongEnd);
  std::memcpy(ConfigImage.TailText4, buf + pos, 4);
  ConfigImage.TailText4[4] = '\0';
  pos += 4;
  std::memcpy(ConfigImage.TailText3, buf + pos, 3);
  ConfigImage.TailText3[3] = '\0';
  pos += 3;
  if (buf[pos] != ConfirmByte) FailExchange(kWrongEnd);

  host.Progress().SetPosition(100);
  host.Status().SetCaption("Konfiguration gelesen");
  host.SetControlsEnabled(true);
  ConfigImage.ConfigLoaded = true;
}

void ProgramConfiguration() {
  TExchangeBuffers buffers(0, kFieldBufferSize);
  char* text = buffers.Field();
  IRunHost& host = RunHost();

  Port().ClearRTS();
  ResetHandshake();
  if (!ConfigImage.ConfigLoaded) {
    platform::Current().MessageBeep();
    host.ShowInfoMessage("Es wurde noch keine Konfiguration geladen!");
    EndExchange();
  }
  host.SetControlsEnabled(false);
  SendByte(CommandPrefix, 2);
  Sleep(10);
  Port().PurgeInput();
  SendByte(ProgramCommand, 3);
  Sleep(10);
  std::uint8_t b = 0;
  if (!WaitByte(b)) FailExchange(kControlTimeout);
  if (b != ControlChar) FailExchange(kWrongControl);

  host.ProcessMessages();
  host.Progress().SetPosition(0);
  host.Status().SetCaption("Geänderte Konfiguration zum Gerät senden");
  host.Status().Repaint();
  Port().PurgeInput();

  for (int i = 0; i < ImageLength; ++i) {
    std::snprintf(text, kFieldBufferSize, "%d", static_cast<int>(ConfigImage.Values[i]));
    for (const char* c = text; *c != '\0'; ++c) {
      SendByte(static_cast<std::uint8_t>(*c), 4);
      WaitEcho(static_cast<std::uint8_t>(*c), 1, 1, 2);
    }
    SendByte(FieldSeparator, 5);
    WaitEcho(FieldSeparator, 1, 3, 4);
    if (i > 0) {
      host.ProcessMessages();
      host.Progress().SetPosition(static_cast<int>(i * (100.0 / ImageLength)));
    }
    Sleep(10);
  }
  SendByte(EndOfData, 6);
  WaitEcho(EndOfData, 10, 5, 6);

  host.Progress().SetPosition(0);
  host.Status().SetCaption("Konfiguration Programmieren");
  host.Status().Repaint();
  bool confirmed = false;
  for (int k = 0; k < kProgrammingPolls; ++k) {
    Sleep(kProgrammingSleepMs);
    if (Port().InputCount() > 0) {
      if (Port().ReadByte() != ConfirmByte) ReportProtocolError(WrongConfirmation, 7);
      if (k <= kLastConfirmingPoll) confirmed = true;
      break;
    }
    if (k > 0) {
      host.ProcessMessages();
      host.Progress().SetPosition(ProgrammingWaitPosition(k));
    }
  }
  if (!confirmed) ReportProtocolError(ConfirmationTimeout, 8);

  host.Progress().SetPosition(100);
  host.Status().SetCaption("Programmierung beendet");
  Sleep(20);
  host.SetControlsEnabled(true);
  platform::Current().MessageBeep();
  Sleep(200);
  ResetOn();
  Sleep(200);
  ResetOff();
}
