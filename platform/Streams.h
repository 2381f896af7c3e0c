#pragma once
// The framework's streams: the abstract stream with its exact-transfer helpers, a stream over
// an operating-system file handle, the file stream that opens a file by name, and a stream
// held in memory. Positions and sizes are 64-bit throughout, so archives past 2 and 4 GiB
// work.
#include <cstdint>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "Runtime.h"

namespace platform {

// Seek origins.
inline constexpr int soFromBeginning = 0;
inline constexpr int soFromCurrent = 1;
inline constexpr int soFromEnd = 2;

// Open modes of TFileStream: an access mode or'ed with a share mode, or fmCreate.
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;
inline constexpr uint16_t fmCreate = 0xFFFF;

// Abstract stream. Subclasses supply Read, Write and Seek (and SetSize where it means
// something); the rest works through them.
class TStream : public TObject {
public:
  // Reads up to `count` bytes; returns the number read, fewer only at the end of the data.
  // A negative count reads nothing.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to `count` bytes; returns the number taken, fewer only when the medium refuses.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves to `offset` from the beginning (origin 0), the current position (1) or the end (2);
  // returns the new position.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  // Changes the size of the data; streams that cannot do so ignore it.
  virtual void SetSize(int64_t newSize);
  // The size of the data. The base finds it by seeking to the end and back.
  virtual int64_t Size();

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t position) { Seek(position, soFromBeginning); }

  // Exact transfers: a short read raises EReadError "Stream read error", a short write
  // EWriteError "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies `count` bytes from `source` (all of it from its start when count is 0);
  // returns the number copied. Raises like ReadBuffer/WriteBuffer on a short transfer.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over an operating-system file handle that it does not own. It keeps the file
// position itself, so asking for it, or seeking to where it already is, costs no system call;
// the handle must then not be moved behind the stream's back.
class THandleStream : public TStream {
public:
  explicit THandleStream(int handle);

  // Reads until `count` bytes came or the file ends. A failure of the operating system
  // raises EInOutError rather than passing for the end of the file.
  int64_t Read(void* buffer, int64_t count) override;
  // Writes until all bytes went or the operating system refuses; returns the number taken.
  int64_t Write(const void* buffer, int64_t count) override;
  // A target before the start of the file or an unknown origin raises EStreamError
  // ("Seek error" / "Invalid seek origin (%d)").
  int64_t Seek(int64_t offset, int origin) override;
  // Truncates or extends the file; failure raises EStreamError "Stream write error".
  void SetSize(int64_t newSize) override;
  // The file's size from the operating system, without moving.
  int64_t Size() override;

  int Handle() const { return FHandle; }

protected:
  // Takes `position` as the kernel's position of the handle from now on.
  void TrackPosition(int64_t position) {
    FPosition = position;
    FTracked = true;
  }

  int FHandle;

private:
  // Whether FPosition is the kernel's position: false for handles that cannot seek and for
  // those opened for appending, which are asked every time instead.
  bool FTracked = false;
  int64_t FPosition = 0;
};

// A file opened by name (Windows-style or host, mapped through HostPath) and owned by the
// stream. Modes: fmCreate makes or empties the file for reading and writing; otherwise
// fmOpenRead/fmOpenWrite/fmOpenReadWrite, with a share mode that the host does not enforce.
// Failure raises EFOpenError "Cannot open file %s" or EFCreateError "Cannot create file %s"
// with the name as given. A directory is never opened as a file.
class TFileStream : public THandleStream {
public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};

// A stream held in memory, growing as it is written. Seeking past the end is allowed; a
// write there fills the gap with zeros.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  TMemoryStream(const void* data, int64_t size);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t newSize) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }

  const uint8_t* Memory() const { return FData.data(); }
  uint8_t* Memory() { return FData.data(); }
  const std::vector<uint8_t>& Bytes() const { return FData; }
  void Clear();
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& dest);
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);

private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

}  // namespace platform
