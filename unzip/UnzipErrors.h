#pragma once
// The component's own exception kinds. Each carries only its fixed English text; raise them
// through the helpers below so every place that says "this archive is bad" says it the same way.
#include "Exceptions.h"

namespace unzip {

// Damaged or truncated archive data.
class EFatalUnzipError : public platform::Exception {
public:
  using platform::Exception::Exception;
};

// A dialog or disk request was cancelled, or a cancel request was honoured.
class EUserCanceled : public platform::Exception {
public:
  using platform::Exception::Exception;
};

// No end record: the archive is taken for a part of a multi-disk set.
class EIncompleteZip : public platform::Exception {
public:
  using platform::Exception::Exception;
};

// A file or directory of the output that the system would not make, or a write it refused,
// with the system's error number (errno) saying why.
class ECreateFailed : public platform::EFCreateError {
public:
  ECreateFailed(std::string message, int systemError)
      : platform::EFCreateError(std::move(message)), SystemError(systemError) {}
  int SystemError;
};
class EWriteFailed : public platform::EWriteError {
public:
  EWriteFailed(std::string message, int systemError)
      : platform::EWriteError(std::move(message)), SystemError(systemError) {}
  int SystemError;
};

inline constexpr const char* kMsgUserAborted = "User Aborted Operation";
inline constexpr const char* kMsgPrematureEnd = "Premature end of file reached";

[[noreturn]] inline void RaiseUserAborted() { throw EUserCanceled(kMsgUserAborted); }
[[noreturn]] inline void RaisePrematureEnd() { throw EFatalUnzipError(kMsgPrematureEnd); }

}  // namespace unzip
