#include "Exceptions.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace platform {

std::string InOutErrorText(int code) {
  switch (code) {
    case kFileNotFound:
      return "File not found";
    case kAccessDenied:
      return "File access denied";
    default:
      return Format("I/O error %d", code);
  }
}

void RaiseInOutError(int code) { throw EInOutError(code, InOutErrorText(code)); }

int RuntimeErrorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kAccessDenied;
    default:
      return err;
  }
}

void RaiseLastInOutError() { RaiseInOutError(RuntimeErrorFromErrno(errno)); }

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    out.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

}  // namespace platform
