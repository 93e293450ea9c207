// Exceptions of the toolkit and small text helpers.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

// The toolkit's base exception: carries its message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The silent abort: the toolkit's top level ends the current event on it and
// shows nothing.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// A file could not be opened or written.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int code) : Exception(std::move(message)), ErrorCode(code) {}
  int ErrorCode;
};

// A thread could not be started.
class EThread : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] void Abort();

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* fmt, va_list args);
