#pragma once
// A fixed-size buffer in front of another stream, so that the decoders can read and write
// in small pieces cheaply, and the buffered stream over a file opened by name that the
// component uses for the archive and for every extracted file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Streams.h"

namespace unzip {

class TS_BufferStream : public platform::TStream {
public:
  using TBufferEvent = std::function<void(TS_BufferStream& stream)>;

  // Size of the buffer of every stream.
  static constexpr int32_t BufferSize = 8192;

  // Buffers `inner`, which is not owned and must outlive this stream.
  explicit TS_BufferStream(platform::TStream& inner);
  // Writes pending bytes (a failure cannot be reported here: call Flush first to learn of it).
  ~TS_BufferStream() override;
  TS_BufferStream(const TS_BufferStream&) = delete;
  TS_BufferStream& operator=(const TS_BufferStream&) = delete;

  // Returns fewer bytes than `count` only at the end of the inner stream. Pending written
  // bytes are written first.
  int64_t Read(void* buffer, int64_t count) override;
  // Returns the bytes taken; fewer than `count` when the inner stream refused a flush (the
  // bytes of the buffer that failed are lost, and WriteBuffer reports it).
  int64_t Write(const void* buffer, int64_t count) override;
  // Reads as Read does, except that once the bytes read ahead are used up, the rest of a
  // request of at least a buffer's size goes straight from the inner stream into `buffer`:
  // extraction's big sequential reads then cost one system call and no copy through the
  // buffer (and without a fill notification).
  int64_t ReadThrough(void* buffer, int64_t count);
  // Origin 0 from the start, 1 from the logical position, 2 back from the logical end (the
  // sign of the offset does not matter). The same position keeps the buffer, and so does a
  // step forward that stays within the bytes read ahead.
  int64_t Seek(int64_t offset, int origin) override;
  // The larger of the inner stream's size and the logical position.
  int64_t Size() override;

  // Steps back one byte so that the next read returns `value`; raises "Putback overflow"
  // when nothing was read from the buffer.
  virtual void PutBack(uint8_t value);
  // Writes pending bytes now; raises EWriteError "Stream write error" when the inner stream
  // does not take them all.
  void Flush();

  platform::TStream& Inner() { return FInner; }

  TBufferEvent OnFill;   // after each refill
  TBufferEvent OnFlush;  // after each flush

protected:
  enum TBufferState : uint8_t { bsIdle = 0, bsReading = 1, bsWriting = 2 };

  virtual bool FillBuffer();
  virtual bool FlushBuffer();
  virtual void FillNotification();
  virtual void FlushNotification();

  int64_t LogicalPosition();

  platform::TStream& FInner;
  std::unique_ptr<uint8_t[]> FBuffer;
  uint8_t* FCursor = nullptr;     // null after construction and after a seek that moved
  uint8_t* FBufferEnd = nullptr;  // reading: end of valid bytes; writing: end of the buffer
  uint8_t* FPutBackFloor = nullptr;  // reading: where the bytes read since the last fill or move begin
  TBufferState FState = bsIdle;
  bool FWriteLayout = false;      // cursor and end were set up for writing
};

namespace detail {
// Holds the file stream so that it exists before the buffered part is built on it and is
// freed after the buffered part has flushed.
struct FileStreamHolder {
  FileStreamHolder(const std::string& fileName, uint16_t mode)
      : File(std::make_unique<platform::TFileStream>(fileName, mode)) {}
  std::unique_ptr<platform::TFileStream> File;
};
}  // namespace detail

// Open modes the component uses.
inline constexpr uint16_t fmOpenReadDenyWrite = platform::fmOpenRead | platform::fmShareDenyWrite;  // 32
inline constexpr uint16_t fmCreateFile = platform::fmCreate;  // 65535
inline constexpr uint16_t fmPlainRead = platform::fmOpenRead;  // 0

// A buffered stream over a file of its own, opened by name. Failing to open or create the
// file raises "Cannot open file %s" / "Cannot create file %s" and no object results.
class TLFNFileStream : private detail::FileStreamHolder, public TS_BufferStream {
public:
  TLFNFileStream(const std::string& fileName, uint16_t mode);
  ~TLFNFileStream() override;

  // The operating-system handle of the file.
  int Handle() const { return File->Handle(); }
  const std::string& FileName() const { return File->FileName(); }
};

}  // namespace unzip
