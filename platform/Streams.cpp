#include "Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FileNames.h"

namespace platform {

namespace {

// One transfer of the operating system is kept below 1 GiB, well inside ssize_t and what
// every kernel accepts.
constexpr int64_t kMaxTransfer = int64_t{1} << 30;

[[noreturn]] void RaiseBadOrigin(int origin) {
  throw EStreamError(Format("Invalid seek origin (%d)", origin));
}

}  // namespace

// ---- TStream ------------------------------------------------------------------------

void TStream::SetSize(int64_t) {}

int64_t TStream::Size() {
  const int64_t pos = Seek(0, soFromCurrent);
  const int64_t size = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 61440)));
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    count -= n;
  }
  return total;
}

// ---- THandleStream --------------------------------------------------------------------

THandleStream::THandleStream(int handle) : FHandle(handle) {
  if (handle < 0) return;
  const int flags = ::fcntl(handle, F_GETFL);
  const off_t pos = ::lseek(handle, 0, SEEK_CUR);
  if (flags >= 0 && !(flags & O_APPEND) && pos >= 0) TrackPosition(static_cast<int64_t>(pos));
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(FHandle, out + done, static_cast<size_t>(std::min(count - done, kMaxTransfer)));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseLastInOutError();
    }
    if (n == 0) break;
    done += n;
    FPosition += n;
  }
  return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(FHandle, in + done, static_cast<size_t>(std::min(count - done, kMaxTransfer)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
    FPosition += n;
  }
  return done;
}

int64_t THandleStream::Seek(int64_t offset, int origin) {
  int whence;
  switch (origin) {
    case soFromBeginning: whence = SEEK_SET; break;
    case soFromCurrent: whence = SEEK_CUR; break;
    case soFromEnd: whence = SEEK_END; break;
    default: RaiseBadOrigin(origin);
  }
  // Staying where the file is needs no system call (a target before the start never
  // matches, so it still fails below).
  if (FTracked && ((whence == SEEK_CUR && offset == 0) || (whence == SEEK_SET && offset == FPosition)))
    return FPosition;
  const off_t pos = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  if (pos < 0) throw EStreamError("Seek error");
  FPosition = static_cast<int64_t>(pos);
  return FPosition;
}

void THandleStream::SetSize(int64_t newSize) {
  const int64_t pos = Position();
  if (newSize < 0 || ::ftruncate(FHandle, static_cast<off_t>(newSize)) != 0)
    throw EStreamError("Stream write error");
  if (pos > newSize) Seek(newSize, soFromBeginning);
}

int64_t THandleStream::Size() {
  struct stat st;
  if (::fstat(FHandle, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<int64_t>(st.st_size);
  return TStream::Size();
}

// ---- TFileStream ----------------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, uint16_t mode)
    : THandleStream(-1), FFileName(fileName) {
  const std::string host = HostPath(fileName);
  if (mode == fmCreate) {
    FHandle = host.empty() ? -1 : ::open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0) throw EFCreateError(Format("Cannot create file %s", fileName.c_str()));
  } else {
    int flags;
    switch (mode & 0x0003) {
      case fmOpenWrite: flags = O_WRONLY; break;
      case fmOpenReadWrite: flags = O_RDWR; break;
      default: flags = O_RDONLY; break;
    }
    // Share modes have no counterpart here: other processes are not kept out. What is read is
    // a regular file, opened without waiting: a named pipe must not freeze the caller.
    if (flags == O_RDONLY)
      FHandle = host.empty() ? -1 : OpenRegularFile(host);
    else
      FHandle = host.empty() ? -1 : ::open(host.c_str(), flags | O_CLOEXEC);
    if (FHandle < 0) throw EFOpenError(Format("Cannot open file %s", fileName.c_str()));
  }
  // Just opened, without appending: the file starts at 0.
  TrackPosition(0);
  struct stat st;
  if (::fstat(FHandle, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    if (mode == fmCreate) throw EFCreateError(Format("Cannot create file %s", fileName.c_str()));
    throw EFOpenError(Format("Cannot open file %s", fileName.c_str()));
  }
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

// ---- TMemoryStream --------------------------------------------------------------------

TMemoryStream::TMemoryStream(const void* data, int64_t size) {
  if (size > 0) {
    const auto* p = static_cast<const uint8_t*>(data);
    FData.assign(p, p + size);
  }
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || FPosition >= size) return 0;
  const int64_t n = std::min(count, size - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end;
  if (__builtin_add_overflow(FPosition, count, &end)) return 0;
  if (end > Size()) FData.resize(static_cast<size_t>(end));
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t target;
  switch (origin) {
    case soFromBeginning: target = offset; break;
    case soFromCurrent: if (__builtin_add_overflow(FPosition, offset, &target)) target = -1; break;
    case soFromEnd: if (__builtin_add_overflow(Size(), offset, &target)) target = -1; break;
    default: RaiseBadOrigin(origin);
  }
  if (target < 0) throw EStreamError("Seek error");
  FPosition = target;
  return target;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Stream write error");
  FData.resize(static_cast<size_t>(newSize));
  if (FPosition > newSize) FPosition = newSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  SetSize(size);
  FPosition = 0;
  if (size > 0) source.ReadBuffer(FData.data(), size);
}

void TMemoryStream::SaveToStream(TStream& dest) {
  if (!FData.empty()) dest.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

}  // namespace platform
