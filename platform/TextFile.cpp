#include "TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Exceptions.h"
#include "FileNames.h"

namespace platform {

namespace {
constexpr char kCR = 13;
constexpr char kLF = 10;
constexpr char kCtrlZ = 26;
constexpr size_t kBufferSize = 4096;
}  // namespace

TTextFile::~TTextFile() {
  if (Fd >= 0) ::close(Fd);
}

void TTextFile::Reset(std::string_view name) {
  if (Fd >= 0) Close();
  const std::string host = HostPath(name);
  if (host.empty()) RaiseInOutError(kFileNotFound);
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseLastInOutError();
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    RaiseInOutError(RuntimeErrorFromErrno(err));
  }
  if (S_ISDIR(st.st_mode)) {
    // A directory opens on POSIX, but never as a text file: the same answer Windows gives.
    ::close(fd);
    RaiseInOutError(kAccessDenied);
  }
  Fd = fd;
  AtEnd = false;
  Buffer.resize(kBufferSize);
  Pos = Len = 0;
}

void TTextFile::RequireOpen() const {
  if (Fd < 0) RaiseInOutError(kFileNotOpen);
}

bool TTextFile::Fill() {
  if (AtEnd) return false;
  for (;;) {
    ssize_t n = ::read(Fd, Buffer.data(), Buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseLastInOutError();
    }
    Pos = 0;
    Len = static_cast<size_t>(n);
    if (n == 0) AtEnd = true;
    return n > 0;
  }
}

int TTextFile::Peek() {
  if (AtEnd) return -1;
  if (Pos == Len && !Fill()) return -1;
  const char c = Buffer[Pos];
  if (c == kCtrlZ) {
    // Nothing after a Ctrl-Z is ever read.
    AtEnd = true;
    return -1;
  }
  return static_cast<unsigned char>(c);
}

void TTextFile::ReadLine(std::string& line) {
  RequireOpen();
  line.clear();
  for (;;) {
    if (Peek() < 0) return;
    // Take the whole run up to the next CR or Ctrl-Z in the buffer at once.
    size_t end = Pos;
    while (end < Len && Buffer[end] != kCR && Buffer[end] != kCtrlZ) ++end;
    line.append(Buffer.data() + Pos, end - Pos);
    Pos = end;
    if (Pos < Len) return;  // stopped before a CR or Ctrl-Z
  }
}

void TTextFile::SkipLine() {
  RequireOpen();
  for (;;) {
    const int c = Peek();
    if (c < 0) return;
    ++Pos;
    if (c == kCR) {
      if (Peek() == kLF) ++Pos;
      return;
    }
  }
}

bool TTextFile::Eof() {
  RequireOpen();
  return Peek() < 0;
}

void TTextFile::Close() {
  RequireOpen();
  const int fd = Fd;
  Fd = -1;
  Buffer.clear();
  Buffer.shrink_to_fit();
  Pos = Len = 0;
  if (::close(fd) != 0 && errno != EINTR) RaiseLastInOutError();
}

}  // namespace platform
