// Transfers, line errors, the typed reads and writes, and the log.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Platform.h"
#include "platform/SerialDriver.h"
#include "serial/Comport.h"

namespace {

constexpr const char* kIncorrectParameter = "Incorrect parameter";

bool InvalidHandle() {
  platform::Serial().SetLastError(platform::Serial().InvalidHandleCode());
  return false;
}

std::string EncodeUtf8(const std::wstring& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(s[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
        std::uint32_t lo = static_cast<std::uint32_t>(s[i + 1]) & 0xFFFF;
        if (lo >= 0xDC00 && lo < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
          ++i;
        }
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Malformed sequences decode to U+FFFD each.
std::wstring DecodeUtf8(const std::string& s) {
  std::wstring out;
  std::size_t i = 0;
  auto put = [&out](std::uint32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        return;
      }
    }
    out += static_cast<wchar_t>(c);
  };
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int n = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (n < 0) {
      put(0xFFFD);
      ++i;
      continue;
    }
    std::uint32_t c = n == 0 ? b : n == 1 ? (b & 0x1F) : n == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = true;
    for (int k = 1; ok && k <= n; ++k) {
      if (i + static_cast<std::size_t>(k) >= s.size()) {
        ok = false;
        break;
      }
      unsigned char cb = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
      put(0xFFFD);
      ++i;
      continue;
    }
    put(c);
    i += static_cast<std::size_t>(n) + 1;
  }
  return out;
}

std::string DateTimeText() {
  std::time_t t = std::time(nullptr);
  std::tm tm = platform::LocalTime(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &tm);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// The primitives.

bool TCustomComPort::ReadPending() { return readEvent_ && !readEvent_->Wait(0); }
bool TCustomComPort::WritePending() { return writeEvent_ && !writeEvent_->Wait(0); }

// Every handler called below may close the port (the main window's line
// error handler does): each call out is followed by CheckActive before the
// device is used again.
void TCustomComPort::Read(void* buffer, int length, bool waitOnCompletion) {
  CheckActive();
  if (BeforeRead) {
    BeforeRead(this, buffer, length, waitOnCompletion);
    CheckActive();
  }
  WaitForReadCompletion();
  CheckActive();
  readPendingCount_ = length;
  readPendingBuffer_ = buffer;
  if (length > 0) {
    Check(readEvent_->Reset());
    if (Log()) WriteLog("Read request " + std::to_string(length) + " byte(s)", nullptr, 0);
    std::uint32_t n = 0;
    bool ok = device_->ReadFile(buffer, static_cast<std::uint32_t>(length), n, *readEvent_);
    // A read that never started leaves nothing pending to wait for.
    if (!ok && platform::Serial().LastError() != platform::kErrorIoPending) readEvent_->Set();
    Check(ok);
    if (waitOnCompletion) WaitForReadCompletion();
  }
  if (AfterRead) AfterRead(this, buffer, length, waitOnCompletion);
}

void TCustomComPort::Write(const void* buffer, int length, bool waitOnCompletion) {
  CheckActive();
  if (BeforeWrite) {
    BeforeWrite(this, buffer, length, waitOnCompletion);
    CheckActive();
  }
  WaitForWriteCompletion();
  CheckActive();
  writePendingCount_ = length;
  writePendingBuffer_ = buffer;
  if (length > 0) {
    Check(writeEvent_->Reset());
    if (Log()) WriteLog("Write request ", buffer, length);
    const void* data = buffer;
    if (!waitOnCompletion) {
      const auto* p = static_cast<const std::uint8_t*>(buffer);
      writeBuffer_.assign(p, p + length);
      data = writeBuffer_.data();
      writePendingBuffer_ = data;
    }
    std::uint32_t n = 0;
    bool ok = device_->WriteFile(data, static_cast<std::uint32_t>(length), n, *writeEvent_);
    if (!ok && platform::Serial().LastError() != platform::kErrorIoPending) writeEvent_->Set();
    Check(ok);
    if (waitOnCompletion) WaitForWriteCompletion();
  }
  if (AfterWrite) AfterWrite(this, buffer, length, waitOnCompletion);
}

void TCustomComPort::WaitForCompletion(bool write) {
  int& count = write ? writePendingCount_ : readPendingCount_;
  if (write ? WritePending() : ReadPending()) {
    std::uint32_t n = 0;
    Check(write ? device_->GetWriteResult(n, true) : device_->GetReadResult(n, true));
    if (static_cast<int>(n) != count) RaiseError(0, "Timeout");
  }
  CheckLineErrors();
  if (Log() && count > 0) {
    WriteLog(write ? "Write complete " : "Read complete ", write ? writePendingBuffer_ : readPendingBuffer_,
             count);
    count = 0;
  }
}

void TCustomComPort::WaitForReadCompletion() { WaitForCompletion(false); }
void TCustomComPort::WaitForWriteCompletion() { WaitForCompletion(true); }

int TCustomComPort::InputCount() {
  std::uint32_t errors = 0;
  platform::CommQueues q;
  Check(device_ ? device_->ClearCommError(errors, &q) : InvalidHandle());
  // The handler may close the port; the count is still the one read, and
  // the next call that needs the device raises.
  ReportLineErrors(errors);
  return static_cast<int>(q.InQueue);
}

int TCustomComPort::OutputCount() {
  std::uint32_t errors = 0;
  platform::CommQueues q;
  Check(device_ ? device_->ClearCommError(errors, &q) : InvalidHandle());
  ReportLineErrors(errors);
  return static_cast<int>(q.OutQueue);
}

// ---------------------------------------------------------------------------
// Line errors.

TLineErrors TCustomComPort::GetLineErrors(unsigned flags) {
  using namespace platform;
  const std::pair<std::uint32_t, TLineError> map[] = {
      {kCeBreak, leBreak},       {kCeDns, leDeviceNotSelected},
      {kCeFrame, leFrame},       {kCeIOE, leIO},
      {kCeMode, leMode},         {kCeOop, leOutOfPaper},
      {kCeOverrun, leOverrun},   {kCePto, leDeviceTimeOut},
      {kCeRxOver, leRxOverflow}, {kCeRxParity, leParity},
      {kCeTxFull, leTxFull}};
  TLineErrors r;
  for (const auto& [flag, member] : map)
    if (flags & flag) r.Include(member);
  return r;
}

void TCustomComPort::ReportLineErrors(std::uint32_t errors) {
  if (errors != 0 && onLineError_.Assigned()) onLineError_(this, GetLineErrors(errors));
}

void TCustomComPort::CheckLineErrors() {
  CheckActive();
  std::uint32_t errors = 0;
  Check(device_->ClearCommError(errors, nullptr));
  ReportLineErrors(errors);
}

void TCustomComPort::ClearLineErrors() {
  CheckActive();
  std::uint32_t errors = 0;
  Check(device_->ClearCommError(errors, nullptr));
}

// ---------------------------------------------------------------------------
// Typed reads. Bytes a short read did not fill stay 0.

std::uint8_t TCustomComPort::ReadOneByte() {
  std::uint8_t b = 0;
  Read(&b, 1, true);
  return b;
}

std::uint32_t TCustomComPort::ReadLittleEndian(int bytes) {
  std::uint8_t b[4] = {0, 0, 0, 0};
  Read(b, bytes, true);
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

std::uint8_t TCustomComPort::ReadByte() { return ReadOneByte(); }
char TCustomComPort::ReadAnsiChar() { return static_cast<char>(ReadOneByte()); }
std::uint16_t TCustomComPort::ReadWord() { return static_cast<std::uint16_t>(ReadLittleEndian(2)); }
std::uint32_t TCustomComPort::ReadDWord() { return ReadLittleEndian(4); }

std::string TCustomComPort::ReadAnsiString() {
  WaitForReadCompletion();
  std::string s(static_cast<std::size_t>(InputCount()), '\0');
  Read(s.data(), static_cast<int>(s.size()), true);
  return s;
}

TBytes TCustomComPort::ReadBytes() {
  TBytes b(static_cast<std::size_t>(InputCount()));
  Read(b.data(), static_cast<int>(b.size()), true);
  return b;
}

void TCustomComPort::CheckIndex(const TBytes& buffer, int index, int count) {
  if (index < 0 || count < 0 ||
      static_cast<std::int64_t>(index) + count > static_cast<std::int64_t>(buffer.size()))
    RaiseError(0, kIncorrectParameter);
}

void TCustomComPort::ReadBytes(TBytes& buffer, int index, int count) {
  CheckIndex(buffer, index, count);
  Read(buffer.data() + index, count, true);
}

std::wstring TCustomComPort::ReadUtf8() { return DecodeUtf8(ReadAnsiString()); }

std::string TCustomComPort::ReadAnsiUntil(char terminator) {
  std::string s;
  for (;;) {
    char c = ReadAnsiChar();
    s += c;
    if (c == terminator) return s;
  }
}

TBytes TCustomComPort::ReadUntilBytes(std::uint8_t terminator) {
  TBytes b;
  for (;;) {
    std::uint8_t c = ReadOneByte();
    b.push_back(c);
    if (c == terminator) return b;
  }
}

std::string TCustomComPort::ReadAnsiUntil(const std::string& terminator) {
  std::string s;
  if (terminator.empty()) return s;
  while (s.size() < terminator.size() ||
         s.compare(s.size() - terminator.size(), terminator.size(), terminator) != 0)
    s += ReadAnsiChar();
  return s;
}

TBytes TCustomComPort::ReadUntilBytes(const TBytes& terminator) {
  TBytes b;
  if (terminator.empty()) return b;
  while (b.size() < terminator.size() ||
         !std::equal(terminator.begin(), terminator.end(),
                     b.end() - static_cast<std::ptrdiff_t>(terminator.size())))
    b.push_back(ReadOneByte());
  return b;
}

std::wstring TCustomComPort::ReadUntilUtf8(std::uint8_t terminator) {
  return DecodeUtf8(ReadAnsiUntil(static_cast<char>(terminator)));
}

// ---------------------------------------------------------------------------
// Typed writes.

void TCustomComPort::WriteByte(std::uint8_t b) { Write(&b, 1, false); }
void TCustomComPort::WriteAnsiChar(char c) { Write(&c, 1, false); }

void TCustomComPort::WriteWord(std::uint16_t w) {
  std::uint8_t b[2] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)};
  Write(b, 2, false);
}

void TCustomComPort::WriteDWord(std::uint32_t d) {
  std::uint8_t b[4] = {static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(d >> 8),
                       static_cast<std::uint8_t>(d >> 16), static_cast<std::uint8_t>(d >> 24)};
  Write(b, 4, false);
}

void TCustomComPort::WriteAnsiString(const std::string& s) {
  Write(s.data(), static_cast<int>(s.size()), false);
}
void TCustomComPort::WriteUtf8(const std::wstring& s) { WriteAnsiString(EncodeUtf8(s)); }
void TCustomComPort::WriteBytes(const TBytes& bytes) {
  Write(bytes.data(), static_cast<int>(bytes.size()), false);
}

void TCustomComPort::WriteBytes(const TBytes& buffer, int index, int count) {
  CheckIndex(buffer, index, count);
  Write(buffer.data() + index, count, false);
}

void TCustomComPort::WriteAnsiLine(const std::string& s) {
  WriteAnsiString(s);
  WriteByte(13);
}

void TCustomComPort::WriteLineUtf8(const std::wstring& s) {
  WriteUtf8(s);
  WriteByte(13);
}

void TCustomComPort::WriteLineBytes(const TBytes& bytes) {
  WriteBytes(bytes);
  WriteByte(13);
}

// ---------------------------------------------------------------------------
// The log.

void TCustomComPort::WriteLog(const std::string& message, const void* data, int count) {
  if (!Log()) return;
  std::string line = DateTimeText() + " " + message;
  if (data != nullptr) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    char hex[8];
    for (int i = 0; i < count; ++i) {
      std::snprintf(hex, sizeof hex, "%s$%02X", i > 0 ? ", " : "", p[i]);
      line += hex;
    }
  }
  line += '\n';
  std::FILE* f = std::fopen(logFile_.c_str(), "a");
  if (f == nullptr) throw EInOutError(std::strerror(errno), errno);
  bool ok = std::fputs(line.c_str(), f) >= 0;
  int writeErr = ok ? 0 : errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    writeErr = errno;
  }
  if (!ok) throw EInOutError(std::strerror(writeErr), writeErr);
}
