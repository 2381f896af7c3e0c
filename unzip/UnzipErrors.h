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

inline constexpr const char* kMsgUserAborted = "User Aborted Operation";
inline constexpr const char* kMsgPrematureEnd = "Premature end of file reached";

[[noreturn]] inline void RaiseUserAborted() { throw EUserCanceled(kMsgUserAborted); }
[[noreturn]] inline void RaisePrematureEnd() { throw EFatalUnzipError(kMsgPrematureEnd); }

}  // namespace unzip
