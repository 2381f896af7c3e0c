#include "BufferStream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "StringResource.h"

namespace unzip {

namespace {

// The stream's own messages come from the message table.
constexpr int kSeekError = 1;
constexpr int kInvalidSeekOrigin = 2;
constexpr int kPutbackOverflow = 3;

std::string StreamMessage(int id) { return ResourceMessage("S_STREAM", id); }

}  // namespace

TS_BufferStream::TS_BufferStream(platform::TStream& inner)
    : FInner(inner), FBuffer(new uint8_t[BufferSize]) {}

TS_BufferStream::~TS_BufferStream() {
  if (FState == bsWriting) {
    try {
      TS_BufferStream::FlushBuffer();
    } catch (...) {
      // A destructor cannot report; Flush() is there for callers who need to know.
    }
  }
}

int64_t TS_BufferStream::LogicalPosition() {
  const int64_t inner = FInner.Position();
  switch (FState) {
    case bsReading: return inner + (FCursor - FBufferEnd);
    case bsWriting: return inner + (FCursor - FBuffer.get());
    default: return inner;
  }
}

int64_t TS_BufferStream::Size() { return std::max(FInner.Size(), LogicalPosition()); }

bool TS_BufferStream::FillBuffer() {
  const int64_t n = FInner.Read(FBuffer.get(), BufferSize);
  FCursor = FBuffer.get();
  FBufferEnd = FBuffer.get() + std::max<int64_t>(n, 0);
  FPutBackFloor = FCursor;
  FWriteLayout = false;
  FState = n > 0 ? bsReading : bsIdle;
  FillNotification();
  return n > 0;
}

bool TS_BufferStream::FlushBuffer() {
  const int64_t pending = FCursor ? FCursor - FBuffer.get() : 0;
  const int64_t written = pending > 0 ? FInner.Write(FBuffer.get(), pending) : 0;
  FCursor = FBuffer.get();
  FState = bsIdle;
  FlushNotification();
  return written == pending;
}

void TS_BufferStream::FillNotification() {
  if (OnFill) OnFill(*this);
}

void TS_BufferStream::FlushNotification() {
  if (OnFlush) OnFlush(*this);
}

void TS_BufferStream::Flush() {
  if (FState != bsWriting) return;
  if (!FlushBuffer()) throw platform::EWriteError("Stream write error");
}

int64_t TS_BufferStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (FCursor && FWriteLayout) {
    // Changing direction without a seek: what was written goes out first, and reading
    // goes on from there.
    if (FState == bsWriting && !FlushBuffer()) throw platform::EWriteError("Stream write error");
    FCursor = nullptr;
    FState = bsIdle;
  }
  if (!FCursor) {
    FCursor = FBufferEnd = FPutBackFloor = FBuffer.get();
    FWriteLayout = false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    if (FCursor == FBufferEnd && !FillBuffer()) break;
    const int64_t n = std::min<int64_t>(count - done, FBufferEnd - FCursor);
    std::memcpy(out + done, FCursor, static_cast<size_t>(n));
    FCursor += n;
    done += n;
  }
  return done;
}

int64_t TS_BufferStream::ReadThrough(void* buffer, int64_t count) {
  if (count < BufferSize || (FCursor && FWriteLayout)) return Read(buffer, count);
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  if (FCursor) {
    done = std::min<int64_t>(count, FBufferEnd - FCursor);
    std::memcpy(out, FCursor, static_cast<size_t>(done));
    FCursor += done;
  }
  // The buffer is used up (the cursor at its end), so the inner stream stands at the
  // logical position.
  while (done < count) {
    const int64_t n = FInner.Read(out + done, count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TS_BufferStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (FCursor && !FWriteLayout) {
    // Changing direction without a seek: put the inner stream where the reader stood, so
    // the bytes read ahead are not skipped.
    if (FState == bsReading) FInner.SetPosition(LogicalPosition());
    FCursor = nullptr;
    FState = bsIdle;
  }
  if (!FCursor) {
    FCursor = FBuffer.get();
    FBufferEnd = FBuffer.get() + BufferSize;
    FWriteLayout = true;
  }
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t n = std::min<int64_t>(count - done, FBufferEnd - FCursor);
    std::memcpy(FCursor, in + done, static_cast<size_t>(n));
    FCursor += n;
    FState = bsWriting;
    if (FCursor == FBufferEnd && !FlushBuffer()) break;  // this piece is lost: not counted
    done += n;
  }
  FState = FCursor != FBuffer.get() ? bsWriting : bsIdle;
  return done;
}

int64_t TS_BufferStream::Seek(int64_t offset, int origin) {
  int64_t target = 0;
  bool overflow = false;
  switch (origin) {
    case platform::soFromBeginning: target = offset; break;
    case platform::soFromCurrent: overflow = __builtin_add_overflow(LogicalPosition(), offset, &target); break;
    case platform::soFromEnd: {
      const int64_t magnitude = offset == INT64_MIN ? INT64_MAX : (offset < 0 ? -offset : offset);
      target = Size() - magnitude;
      break;
    }
    default:
      throw platform::Exception(platform::Format(StreamMessage(kInvalidSeekOrigin).c_str(), origin));
  }
  // Offsets can come from damaged archives: a place before the start, or one past what 64
  // bits hold, is refused before anything changes.
  if (overflow || target < 0) throw platform::EStreamError(StreamMessage(kSeekError));
  const int64_t current = LogicalPosition();
  if (target == current) return target;
  // A step forward onto bytes already read ahead is taken inside the buffer, without going
  // to the inner stream: moving through an archive from one entry to the next costs nothing
  // when the next header has been read already. Only forward: bytes behind the cursor may
  // hold a byte put back, which a seek must not return.
  if (FState == bsReading && !FWriteLayout && target > current && target - current <= FBufferEnd - FCursor) {
    FCursor += target - current;
    // Nothing was read here yet: a put-back must not step over the skipped bytes.
    FPutBackFloor = FCursor;
    return target;
  }
  if (FState == bsWriting && !FlushBuffer()) {
    FCursor = nullptr;
    throw platform::EStreamError(StreamMessage(kSeekError));
  }
  FInner.SetPosition(target);
  FCursor = nullptr;
  FState = bsIdle;
  return target;
}

void TS_BufferStream::PutBack(uint8_t value) {
  if (!FCursor || FWriteLayout || FCursor <= FPutBackFloor)
    throw platform::EStreamError(StreamMessage(kPutbackOverflow));
  --FCursor;
  *FCursor = value;
  if (FState == bsIdle) FState = bsReading;
}

TLFNFileStream::TLFNFileStream(const std::string& fileName, uint16_t mode)
    : detail::FileStreamHolder(fileName, mode), TS_BufferStream(*File) {}

TLFNFileStream::~TLFNFileStream() {
  // The buffered part flushes in its own destructor, before the holder closes the file.
}

}  // namespace unzip
