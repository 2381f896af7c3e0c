// The extraction state's refill, output and whole-entry operations.
#include "ExtractState.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Crc32.h"
#include "UnzipErrors.h"

namespace unzip {

int ProgressPercent(int64_t total, int64_t done) {
  if (total <= 0) return 0;
  // nearbyint rounds halves to the even neighbour in the default rounding mode.
  double q = std::nearbyint(static_cast<double>(done) * 100.0 / static_cast<double>(total));
  if (q > 100.0) return 100;
  return static_cast<int>(q);
}

// The buffers and the part of the window the older decoders use are zeroed once, so that
// nothing of earlier memory can ever be delivered, and the output buffer's OutCount/OutPtr
// invariant holds from the start. The rest of inflate's larger window is left as it comes:
// inflate never reaches back before the entry's first byte, so it only reads what it wrote,
// and zeroing a quarter megabyte per run cost more than many small archives take to extract.
TExtractState::TExtractState(TExtractHost& host)
    : Host(host),
      Window(nullptr),
      InBuffer(nullptr),
      OutBuffer(nullptr),
      InPtr(nullptr),
      OutPtr(nullptr),
      WindowBlock(new uint8_t[kWindowAllocSize]),
      InBlock(new uint8_t[kBufferBlockSize]()),
      OutBlock(new uint8_t[kBufferBlockSize]()) {
  Window = WindowBlock.get();
  std::memset(Window, 0, kWindowBlockSize);
  InBuffer = InBlock.get();
  OutBuffer = OutBlock.get();
  InPtr = InBuffer;
  OutPtr = OutBuffer;
}

void TExtractState::SetEntry(uint16_t flags, int64_t compressedSize, int64_t uncompressedSize) {
  Flags = flags;
  CompressedSize = compressedSize;
  UncompressedSize = uncompressedSize;
  OutputMemory = nullptr;
  Decryptor = nullptr;
  DecryptionTooShort = false;
}

bool TExtractState::StartDecryption(TDecryptor& decryptor, const std::string& password) {
  uint8_t header[64];
  const size_t headerSize = std::min(decryptor.HeaderSize(), sizeof header);
  ReadChunk(header, static_cast<int64_t>(headerSize));
  const int64_t around = static_cast<int64_t>(headerSize + decryptor.TrailerSize());
  DecryptionTooShort = decryptor.TrailerSize() != 0 && CompressedSize < around;
  // What the trailer takes is no data; an entry too short for it has no data at all.
  CompressedSize = DecryptionTooShort ? 0 : CompressedSize - around;
  Decryptor = &decryptor;
  return decryptor.Start(password, header);
}

bool TExtractState::FinishDecryption() {
  if (!Decryptor || DecryptionTooShort) return !DecryptionTooShort;
  const size_t trailerSize = Decryptor->TrailerSize();
  if (trailerSize == 0) return true;
  // The code covers every byte of the data, also those the decoder did not need.
  while (CompressedSize > 0) Refill();
  uint8_t trailer[64];
  ReadChunk(trailer, static_cast<int64_t>(std::min(trailerSize, sizeof trailer)));
  return Decryptor->Finish(trailer);
}

uint8_t TExtractState::DecryptHeader(const std::string& password) {
  StartDecryption(Traditional, password);
  return Traditional.LastCheckByte;
}

void TExtractState::BeginDecoding() {
  CompressedLeft = CompressedSize;
  ExpectedSize = UncompressedSize;
  InCount = 0;
  InPtr = InBuffer;
  OutCount = 0;
  OutPtr = OutBuffer;
  OutTotal = 0;
  OutputCapped = false;
  InputExhausted = false;
  StreamFailed = false;
  RunningCrc = 0xFFFFFFFFu;
}

void TExtractState::ReadChunk(uint8_t* dest, int64_t count) {
  int64_t got = std::max<int64_t>(0, Host.ReadArchive(dest, count));
  if (got >= count) return;
  if (!Host.CanRequestNextDisk()) RaisePrematureEnd();
  while (got < count) {
    if (!Host.RequestNextDisk()) RaiseUserAborted();
    got += std::max<int64_t>(0, Host.ReadArchive(dest + got, count - got));
  }
}

bool TExtractState::Refill() {
  if (Host.ProcessMessagesAndCheckCancel()) RaiseUserAborted();
  int64_t len = std::clamp<int64_t>(CompressedSize, 0, kChunkSize);
  CompressedSize -= len;
  // Every refill insists on its whole chunk, so a short archive fails here even when the
  // decoder would not have needed the missing bytes.
  ReadChunk(InBuffer, len);
  // Decrypted only once complete, so a chunk split across two disks decrypts the same.
  if (Decryptor) Decryptor->Decrypt(InBuffer, static_cast<size_t>(len));
  InCount = static_cast<uint32_t>(len);
  InPtr = InBuffer;
  return InCount != 0;
}

void TExtractState::RaiseWriteFailed() {
  throw platform::EWriteError("Error writing file " + Host.OutputName() +
                              " (the disk may be full or the file refused the data)");
}

void TExtractState::FlushOutput() {
  if (OutCount == 0) return;
  EmitChunk(OutBuffer, OutCount);
  OutCount = 0;
  OutPtr = OutBuffer;
}

void TExtractState::EmitChunk(const uint8_t* data, int64_t n) {
  int64_t room = ExpectedSize - OutTotal;
  if (n > room) {
    // More output than the entry declares: keep what fits, drop the rest, fail the entry.
    n = std::max<int64_t>(room, 0);
    OutputCapped = true;
  }
  if (n <= 0) return;
  if (OutputMemory) {
    // Bytes a decoder left in place need no copy.
    if (data != OutputMemory + OutTotal) std::memcpy(OutputMemory + OutTotal, data, static_cast<size_t>(n));
  } else if (Host.WriteOutput(data, n) != n) {
    RaiseWriteFailed();
  }
  RunningCrc = UpdateCrc(RunningCrc, data, static_cast<size_t>(n));
  OutTotal += n;
  if (Host.FilePercentDoneAssigned()) Host.FilePercentDone(ProgressPercent(UncompressedSize, OutTotal));
  if (Host.TotalPercentDoneAssigned()) {
    TotalExtracted += n;
    Host.TotalPercentDone(ProgressPercent(TotalToExtract, TotalExtracted));
  }
  SincePoll += n;
  if (SincePoll >= kCancelPollBytes) {
    SincePoll = 0;
    if (Host.PollCancel()) RaiseUserAborted();
  }
}

void TExtractState::FlushBytes(const uint8_t* src, size_t n) {
  while (n != 0) {
    if (OutCount == 0 && n >= kChunkSize) {
      // A whole chunk with nothing waiting: written straight from the caller's bytes, the same
      // write as through the output buffer without the copy.
      EmitChunk(src, kChunkSize);
      src += kChunkSize;
      n -= kChunkSize;
      continue;
    }
    size_t k = std::min<size_t>(n, kChunkSize - OutCount);
    std::memcpy(OutPtr, src, k);
    OutPtr += k;
    OutCount += static_cast<uint32_t>(k);
    if (OutCount == kChunkSize) FlushOutput();
    src += k;
    n -= k;
  }
}

void TExtractState::FlushFollowing(const uint8_t* src, size_t n, bool last) {
  src -= OutCount;
  n += OutCount;
  while (n >= kChunkSize) {
    EmitChunk(src, kChunkSize);
    src += kChunkSize;
    n -= kChunkSize;
  }
  if (last && n != 0) {
    EmitChunk(src, static_cast<int64_t>(n));
    n = 0;
  }
  OutCount = static_cast<uint32_t>(n);
  OutPtr = OutBuffer + n;
}

void TExtractState::ExtractStored() {
  OutCount = static_cast<uint32_t>(std::clamp<int64_t>(CompressedSize, 0, kChunkSize));
  while (CompressedSize > 0 && !OutputCapped) {
    // Into the host's memory straight away while the chunk fits the entry's size there.
    uint8_t* dest = OutputMemory && OutTotal + OutCount <= ExpectedSize ? OutputMemory + OutTotal : OutBuffer;
    ReadChunk(dest, OutCount);
    if (Decryptor) Decryptor->Decrypt(dest, OutCount);
    CompressedSize -= OutCount;
    EmitChunk(dest, OutCount);
    OutCount = static_cast<uint32_t>(std::clamp<int64_t>(CompressedSize, 0, kChunkSize));
  }
  OutCount = 0;
  OutPtr = OutBuffer;
}

void TExtractState::SkipEntryData() {
  Host.SkipArchive(CompressedSize);
  Host.EntrySkipped();
}

}  // namespace unzip
