// The byte dialogue with the LCD board: protocol bytes, link primitives, the
// reset handshake, reading and programming the configuration.
#pragma once

#include <cstdint>

namespace protocol {

constexpr std::uint8_t CommandPrefix = 0xA5;
constexpr std::uint8_t ReadCommand = 0xAB;
constexpr std::uint8_t ProgramCommand = 0xA8;
constexpr std::uint8_t PingByte = 0xBA;
constexpr std::uint8_t FieldSeparator = 0x5F;
constexpr std::uint8_t EndOfData = 0xFA;
constexpr std::uint8_t ConfirmByte = 0xAF;
constexpr std::uint8_t ControlChar = 0x04;
constexpr int LanguageCount = 2;

// Sizes of the working storage of the exchanges.
constexpr int kReceiveBufferSize = 64000;
constexpr int kMaxDumpBytes = 63994;
constexpr int kFieldBufferSize = 50;
constexpr int kMaxDeviceText = 16;
// Fields of the dump after the image values: two runs of 1000.
constexpr int kRunFields = 1000;

enum TProtocolErrorKind {
  WrongAnswer = 1,
  AnswerTimeout = 2,
  WrongConfirmation = 3,
  ConfirmationTimeout = 4
};

// Returns when the byte just written has left the port; otherwise ends the
// run with `code` in the message.
void WaitSendComplete(int code);
// True when the board echoed the ping; false after its message box.
bool PingBoard();
// DTR on / off with the DSR answer checked; end the run on a missing answer.
void ResetOn();
void ResetOff();
// The common start of both exchanges; ends the run when the board fails.
void ResetHandshake();
[[noreturn]] void ReportProtocolError(int kind, int code);

// The decimal field rule of the board's text: leading blanks and one sign,
// stop at the first non-digit, empty gives 0. Values beyond the 32-bit range
// are clamped to it.
std::int32_t ParseField(const char* text);

// The bar during the programming wait after empty poll k (0 to 599): k times
// the double nearest 100/598, truncated toward zero from the exact product,
// so 49 at k = 299 and 99 at k = 598, where the product rounded to a double
// is already 50 and 100.
int ProgrammingWaitPosition(int k);

}  // namespace protocol

// The two board exchanges of the run; each returns only on success.
void ReadConfiguration();
void ProgramConfiguration();
