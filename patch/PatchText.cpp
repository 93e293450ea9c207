#include "patch/PatchText.h"

namespace patchfile {

namespace {
constexpr int kCarriageReturn = 0x0D;
constexpr int kEndOfFileByte = 0x1A;
constexpr int kLineEnd = '\n';
constexpr int kEndMark = 'E';
constexpr int kSeparator = ';';

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }
}  // namespace

int TPatchText::Get() {
  if (hasPending_) {
    hasPending_ = false;
    return pending_;
  }
  while (!ended_) {
    int b = source_.ReadByte();
    if (b < 0 || b == kEndOfFileByte) {
      ended_ = true;
      break;
    }
    if (b != kCarriageReturn) return b;
  }
  return kEndOfText;
}

void TPatchText::Unget(int c) {
  pending_ = c;
  hasPending_ = true;
}

TNumberRead ReadNumber(TPatchText& text, std::int32_t& value) {
  int c = text.Get();
  while (IsSpace(c)) c = text.Get();
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = text.Get();
  }
  if (!IsDigit(c)) {
    text.Unget(c);
    return TNumberRead::nrNone;
  }
  // The magnitude saturates just past the largest that fits, so it cannot
  // overflow however many digits follow.
  constexpr std::int64_t kLimit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (; IsDigit(c); c = text.Get()) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) magnitude = kLimit + 1;
  }
  text.Unget(c);
  if (magnitude > (negative ? kLimit : kLimit - 1)) return TNumberRead::nrOutOfRange;
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return TNumberRead::nrOk;
}

TChecksumOutcome CheckPatchText(TPatchText& text) {
  TChecksumOutcome out;
  std::uint32_t sum = 0;
  int c;
  while ((c = text.Get()) != kEndOfText && c != kEndMark)
    sum += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(c)));
  out.Sum = static_cast<std::int32_t>(sum);
  if (c == kEndOfText) return out;
  if (ReadNumber(text, out.Stored) != TNumberRead::nrOk) return out;
  out.Result = out.Stored == out.Sum ? TChecksumResult::crMatch : TChecksumResult::crMismatch;
  return out;
}

TEntriesOutcome ApplyPatchText(TPatchText& text, std::int32_t (&values)[ImageLength]) {
  TEntriesOutcome out;
  for (;;) {
    std::int32_t index = 0;
    if (ReadNumber(text, index) != TNumberRead::nrOk) return out;
    if (index < 0 || index >= ImageLength) return out;
    int c;
    while ((c = text.Get()) != kSeparator)
      if (c == kEndOfText || c == kEndMark) return out;
    std::int32_t value = 0;
    if (ReadNumber(text, value) != TNumberRead::nrOk) return out;
    while ((c = text.Get()) != kLineEnd && c != kEndMark)
      if (c == kEndOfText) return out;
    values[index] = value;
    ++out.Stored;
    if (c == kEndMark) {
      out.Result = TEntriesResult::erApplied;
      return out;
    }
    if (++out.LineEntries > kMaxLineEntries) return out;
  }
}

TChecksumOutcome VerifyPatchSource(TByteSource& source, std::vector<std::uint8_t>& verified) {
  verified.clear();
  TRecordingSource recording(source, verified);
  TPatchText text(recording);
  TChecksumOutcome out = CheckPatchText(text);
  if (out.Result != TChecksumResult::crMatch) verified.clear();
  return out;
}

TEntriesOutcome ApplyVerifiedSource(TByteSource& source, const std::vector<std::uint8_t>& verified,
                                    std::int32_t (&values)[ImageLength]) {
  TMatchingSource matching(source, verified);
  TPatchText text(matching);
  TEntriesOutcome out = ApplyPatchText(text, values);
  // Whatever the entries said, a text that is not the verified one fails.
  if (matching.Diverged()) out.Result = TEntriesResult::erMalformed;
  return out;
}

}  // namespace patchfile
