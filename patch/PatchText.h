// The reading core of the patch file: text-mode characters over a byte
// stream, "%d"-style numbers, the checksum pass and the entry pass. It works
// on any byte source and never ends the process, so the file operations and
// the fuzz target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/ConfigImage.h"

namespace patchfile {

// A stream of bytes 0..255; -1 at its end.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual int ReadByte() = 0;
};

class TMemorySource final : public TByteSource {
 public:
  TMemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  int ReadByte() override { return pos_ < size_ ? data_[pos_++] : -1; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Passes another source on and keeps a copy of every byte read from it.
class TRecordingSource final : public TByteSource {
 public:
  TRecordingSource(TByteSource& inner, std::vector<std::uint8_t>& copy) : inner_(inner), copy_(copy) {}
  int ReadByte() override {
    int b = inner_.ReadByte();
    if (b >= 0) copy_.push_back(static_cast<std::uint8_t>(b));
    return b;
  }

 private:
  TByteSource& inner_;
  std::vector<std::uint8_t>& copy_;
};

// Passes another source on as long as it gives the expected bytes; at the
// first byte that differs, or one past them, it ends for good.
class TMatchingSource final : public TByteSource {
 public:
  TMatchingSource(TByteSource& inner, const std::vector<std::uint8_t>& expected)
      : inner_(inner), expected_(expected) {}
  int ReadByte() override {
    if (diverged_) return -1;
    int b = inner_.ReadByte();
    if (pos_ < expected_.size() && b == expected_[pos_]) {
      ++pos_;
      return b;
    }
    diverged_ = true;
    return -1;
  }
  bool Diverged() const { return diverged_; }

 private:
  TByteSource& inner_;
  const std::vector<std::uint8_t>& expected_;
  std::size_t pos_ = 0;
  bool diverged_ = false;
};

constexpr int kEndOfText = -1;

// Reads a byte stream as a text file is read on the board's home system:
// every carriage return is dropped, a 0x1A byte ends the file for good, all
// other bytes pass unchanged. Done here rather than by the runtime library so
// that every platform reads the same characters.
class TPatchText {
 public:
  explicit TPatchText(TByteSource& source) : source_(source) {}
  // The next character (0..255), or kEndOfText.
  int Get();
  // Puts one character back; the next Get returns it.
  void Unget(int c);

 private:
  TByteSource& source_;
  bool ended_ = false;
  int pending_ = kEndOfText;
  bool hasPending_ = false;
};

enum class TNumberRead {
  nrOk,
  nrNone,        // no number: end of text, or neither sign nor digit
  nrOutOfRange,  // digits that do not fit a signed 32-bit number
};

// Reads a decimal number as "%d" does: skips leading white space (line ends
// included), takes an optional sign and one or more digits, and leaves the
// first character after them for the next read. Every digit is consumed, even
// past the range of int32.
TNumberRead ReadNumber(TPatchText& text, std::int32_t& value);

enum class TChecksumResult {
  crMatch,
  crMismatch,   // a checksum was read and differs from the sum
  crMalformed,  // no "E", or no checksum number after it (or out of range)
};

struct TChecksumOutcome {
  TChecksumResult Result = TChecksumResult::crMalformed;
  // The sum of the characters before the first "E", as signed 8-bit values.
  // It wraps modulo 2^32 like a 32-bit machine add, so any length is defined.
  std::int32_t Sum = 0;
  std::int32_t Stored = 0;  // valid when a checksum was read
};

// The first pass: sums up to the first "E" and reads the checksum after it.
TChecksumOutcome CheckPatchText(TPatchText& text);

enum class TEntriesResult {
  erApplied,    // every entry up to the end mark was stored
  erMalformed,  // a fault; entries before it were stored
};

struct TEntriesOutcome {
  TEntriesResult Result = TEntriesResult::erMalformed;
  int Stored = 0;       // entries stored, the one ended by "E" included
  int LineEntries = 0;  // entries ended by a line end
};

// At most this many entries may end with a line end.
constexpr int kMaxLineEntries = ImageLength;

// The second pass: stores each entry's value at its index in `values`, in
// file order. An index outside 0..ImageLength-1 is a fault and writes nothing.
// So is an "E" between an index and its ";": the checksum ends at the first
// "E", so the end mark of the last entry must be the first "E" of the text,
// or values after it would be stored that the checksum never covered.
TEntriesOutcome ApplyPatchText(TPatchText& text, std::int32_t (&values)[ImageLength]);

// Both passes as the run makes them, over a source each (the file opened
// once per pass). The first keeps in `verified` the bytes it read when the
// checksum matches, and leaves it empty otherwise; the second applies only
// those bytes: where its source gives another byte, or one past them (the
// file changed in between, or nothing was verified), the entry list ends
// there as a fault.
TChecksumOutcome VerifyPatchSource(TByteSource& source, std::vector<std::uint8_t>& verified);
TEntriesOutcome ApplyVerifiedSource(TByteSource& source, const std::vector<std::uint8_t>& verified,
                                    std::int32_t (&values)[ImageLength]);

}  // namespace patchfile
