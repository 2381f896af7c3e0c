#include "TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

#include "CodePage.h"
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
  // A directory, a pipe or a device is never a text file: "File access denied", the answer
  // Windows gives for a directory.
  const int fd = OpenRegularFile(host);
  if (fd < 0) RaiseLastInOutError();
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

bool TextFileIsUtf8(std::string_view name) {
  const std::string host = HostPath(name);
  if (host.empty()) RaiseInOutError(kFileNotFound);
  const int fd = OpenRegularFile(host);
  if (fd < 0) RaiseLastInOutError();
  struct Closer {
    int Fd;
    ~Closer() { ::close(Fd); }
  } closer{fd};
  TUtf8Check check;
  std::vector<char> block(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) RaiseLastInOutError();
    if (n == 0) return check.Complete();
    const void* z = std::memchr(block.data(), kCtrlZ, static_cast<size_t>(n));
    const size_t text = z ? static_cast<size_t>(static_cast<const char*>(z) - block.data()) : static_cast<size_t>(n);
    if (!check.Add(std::string_view(block.data(), text))) return false;
    if (z) return check.Complete();
  }
}

}  // namespace platform
