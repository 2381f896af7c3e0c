#pragma once
// The runtime's exception kinds. Every failure in the product is raised as one of these,
// carrying a fixed English text; the front-end shows the text in its standard error box.
#include <exception>
#include <string>

namespace platform {

// Base of every exception the product raises (the framework's base exception class).
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  const std::string& message() const noexcept { return Message; }

  std::string Message;
};

// Input/output error of the runtime: the platform's error code and its text.
class EInOutError : public Exception {
public:
  EInOutError(int code, std::string message) : Exception(std::move(message)), ErrorCode(code) {}
  int ErrorCode;
};

// Error of the object lists (index or capacity out of range, refused operation).
class EListError : public Exception {
public:
  using Exception::Exception;
};

// Stream errors: a seek or read/write failure, and failures to open or create a file.
class EStreamError : public Exception {
public:
  using Exception::Exception;
};
class EFOpenError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

// Runtime error codes, as the file functions report them.
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kAccessDenied = 5;

// The runtime's text for an error code: "File not found", "File access denied",
// otherwise "I/O error %d".
std::string InOutErrorText(int code);

// Raise EInOutError for a runtime error code.
[[noreturn]] void RaiseInOutError(int code);

// Map a host errno value to the runtime's error code (ENOENT -> 2, EACCES/EPERM -> 5,
// ENOTDIR -> 3; any other value is kept as it is).
int RuntimeErrorFromErrno(int err);

// Raise EInOutError for the current errno.
[[noreturn]] void RaiseLastInOutError();

// printf-style formatting of the fixed texts ("Index %d is out of range").
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
