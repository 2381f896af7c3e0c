#pragma once
// The extraction state: the three work blocks of one extraction run and the byte, bit and
// output operations that every decoder shares. Compressed bytes come in through FetchByte (and
// the bit readers on top of it), which refills the input buffer in chunks of at most 16000
// bytes; decoded bytes go out through PutByte / FlushWindow / FlushOutput, which write 16000
// bytes at a time, keep the CRC-32 and raise the progress events.
//
// The state knows nothing of the component itself. What it needs from it (the archive and
// output streams, message processing and the cancel flag, the next disk, the progress events)
// comes through TExtractHost, which the component implements; tests use a memory host.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Crypt.h"
#include "DecodeTables.h"  // kMask
#include "Decryptor.h"

namespace unzip {

inline constexpr size_t kWindowSize = 32768;        // the circular history of inflate and explode
inline constexpr size_t kWindowBlockSize = 32780;   // what every decoder may use of the window
inline constexpr size_t kBufferBlockSize = 16001;   // input and output blocks
inline constexpr size_t kChunkSize = 16000;         // bytes per refill and per output write
inline constexpr int64_t kCancelPollBytes = 256 * 1024;  // output between two PollCancel calls
// Inflate keeps the previous 32 KiB of history right in front of the current one and slides
// along a larger block, so it copies history only once per 224 KiB of output; the block is
// therefore larger than the part the older decoders use.
inline constexpr size_t kWindowSlack = 1024;
inline constexpr size_t kWindowAllocSize = 8 * kWindowSize + kWindowSlack;

// What the extraction state needs from the component.
class TExtractHost {
public:
  virtual ~TExtractHost() = default;

  // Called at every input refill. When DoProcessMessages is true: let the framework process
  // pending messages once, then if CancelRequested is set, clear it and return true.
  // With DoProcessMessages false: do nothing and return false.
  virtual bool ProcessMessagesAndCheckCancel() = 0;

  // Reads up to count bytes from the archive stream at its position; returns the count read
  // (fewer at the end of the file).
  virtual int64_t ReadArchive(uint8_t* buffer, int64_t count) = 0;
  // Moves the archive stream forward by count bytes from its position.
  virtual void SkipArchive(int64_t count) = 0;
  // True when a short read may continue on the next disk: the archive spans disks
  // (ThisDiskNumber of the end record above 0) and OnGetNextDisk is assigned.
  virtual bool CanRequestNextDisk() = 0;
  // RequestDisk(CurrentDisk + 2): makes the next disk the archive stream, positioned at its
  // start. Returns false when no stream was obtained; raises EUserCanceled itself when the user
  // gives no name.
  virtual bool RequestNextDisk() = 0;

  // Writes count bytes to the output file; returns the count accepted (a short count is a
  // failed write, which the state reports naming OutputName()).
  virtual int64_t WriteOutput(const uint8_t* buffer, int64_t count) = 0;
  virtual std::string OutputName() = 0;

  // The progress events; "assigned" as the component's events are.
  virtual bool FilePercentDoneAssigned() = 0;
  virtual void FilePercentDone(int percent) = 0;
  virtual bool TotalPercentDoneAssigned() = 0;
  virtual void TotalPercentDone(int percent) = 0;

  // SkipEntryData left an entry out: lower the count of extracted entries by one.
  virtual void EntrySkipped() = 0;

  // Called as output flows (every kCancelPollBytes written), so that a cancel is noticed
  // where the input alone would not be looked at for long: a stored copy, or a decoder that
  // makes much output from little input. True when the work is to stop.
  virtual bool PollCancel() { return false; }
};

// Percentages of the progress events: done * 100 / total rounded (halves to even), at most 100,
// 0 when total is not positive.
int ProgressPercent(int64_t total, int64_t done);

class TExtractState {
public:
  // Allocates the three work blocks for one run.
  explicit TExtractState(TExtractHost& host);
  TExtractState(const TExtractState&) = delete;
  TExtractState& operator=(const TExtractState&) = delete;

  TExtractHost& Host;

  // Work blocks (owned; freed with the state).
  uint8_t* Window;      // kWindowAllocSize bytes; the older decoders use the first 32780
  uint8_t* InBuffer;    // 16001 bytes; at most 16000 used
  uint8_t* OutBuffer;   // 16001 bytes; flushed when it holds 16000

  // The entry being extracted (the component's working copy of it).
  uint16_t Flags = 0;              // bit 0 encrypted, bit 3 data descriptor
  int64_t CompressedSize = 0;      // the remaining compressed size: falls by whole chunks
  int64_t UncompressedSize = 0;
  bool IsEncrypted() const { return (Flags & 1) != 0; }
  bool HasDataDescriptor() const { return (Flags & 8) != 0; }

  // Input side.
  uint8_t* InPtr;                  // next byte FetchByte delivers
  uint32_t InCount = 0;            // bytes still unread in the input buffer
  int64_t CompressedLeft = 0;      // falls by one per FetchByte, also past the end (goes negative)
  int64_t ExpectedSize = 0;        // bytes the decoder is to produce (the uncompressed size)
  uint16_t ByteHolder = 0;         // receives EnsureBits' bytes; keeps its value at the end

  // Output side.
  uint8_t* OutPtr;                 // always OutBuffer + OutCount (inflate keeps its waiting bytes in its window: FlushFollowing)
  uint32_t OutCount = 0;
  int64_t OutTotal = 0;            // bytes of this entry handed to the output file
  int64_t SincePoll = 0;           // output since the last PollCancel
  // Memory of UncompressedSize bytes that the host lent for this entry's bytes (null: they are
  // written through the host). Each chunk is then placed at OutputMemory + OutTotal instead of
  // being written; a decoder that decodes right there (inflate) spares that copy too. Nothing
  // is ever placed beyond UncompressedSize bytes. SetEntry clears it.
  uint8_t* OutputMemory = nullptr;
  // An entry never writes more than its uncompressed size: output beyond it is cut off, this
  // flag is set, and decoders stop at their next check. The entry must then fail as a CRC
  // mismatch does, whatever the register says.
  bool OutputCapped = false;
  // Set by a decoder that stopped because it had read well past the end of the entry's data,
  // which no sound stream does: its output is short, and the entry fails as a CRC mismatch does.
  bool InputExhausted = false;
  // Set by a decoder whose stream proved damaged (a library's verdict): the entry fails as a
  // CRC mismatch does, whatever the register says.
  bool StreamFailed = false;

  uint32_t RunningCrc = 0xFFFFFFFFu;
  // The entry's decryptor, none for plain data: every chunk of the data read goes through it.
  TDecryptor* Decryptor = nullptr;
  // Traditional encryption as DecryptHeader sets it up.
  TTraditionalDecryptor Traditional;

  // Run totals of the progress events.
  int64_t TotalToExtract = 0;
  int64_t TotalExtracted = 0;

  // --- per entry -------------------------------------------------------------------------
  // Takes the entry's flags and sizes (before the decryption starts, which lowers
  // CompressedSize); no decryptor yet.
  void SetEntry(uint16_t flags, int64_t compressedSize, int64_t uncompressedSize);
  // Reads the decryptor's header at the archive position and starts it with the password;
  // CompressedSize then counts the encrypted data alone, without header and trailer. False
  // when the header shows the password is wrong. A header cut short by the end of the
  // archive raises "Premature end of file reached".
  bool StartDecryption(TDecryptor& decryptor, const std::string& password);
  // After the decoder: the data it left unread goes through the decryptor too, then the
  // trailer is read; true when the decryptor finds the data proven. An entry too short to
  // hold header and trailer is never proven.
  bool FinishDecryption();
  // Traditional encryption: starts `Traditional` on the 12-byte header and returns its
  // check byte.
  uint8_t DecryptHeader(const std::string& password);
  // The reset just before the decoder runs: CompressedLeft = CompressedSize, ExpectedSize =
  // UncompressedSize, InCount 0 (the first fetch refills), output empty, OutTotal 0,
  // RunningCrc all ones, OutputCapped, InputExhausted and StreamFailed false.
  void BeginDecoding();

  // --- input -----------------------------------------------------------------------------
  // 8 when a byte was delivered into value, 0 when none (value unchanged).
  int FetchByte(uint16_t& value) {
    if (CompressedLeft <= 0) {
      --CompressedLeft;
      return 0;
    }
    --CompressedLeft;
    if (InCount == 0 && !Refill()) return 0;
    value = *InPtr++;
    --InCount;
    return 8;
  }
  // Takes n (at most InCount) bytes that a decoder read straight from the input buffer, as
  // that many FetchByte calls would have: the byte holder keeps the last of them.
  void TakeInput(uint32_t n) {
    if (n == 0) return;
    InPtr += n;
    InCount -= n;
    CompressedLeft -= n;
    ByteHolder = InPtr[-1];
  }
  // A caller-held bit buffer: append bytes until it holds at least n (0..16) bits. Past the end
  // of the data the byte holder's previous value is appended.
  void EnsureBits(unsigned n, uint32_t& buffer, uint16_t& count) {
    while (count < n) {
      FetchByte(ByteHolder);
      buffer |= static_cast<uint32_t>(ByteHolder) << count;
      count = static_cast<uint16_t>(count + 8);
    }
  }
  static void DropBits(unsigned n, uint32_t& buffer, uint16_t& count) {
    buffer >>= n;
    count = static_cast<uint16_t>(count - n);
  }

  // --- output ----------------------------------------------------------------------------
  void PutByte(uint8_t b) {
    *OutPtr++ = b;
    if (++OutCount == kChunkSize) FlushOutput();
  }
  // Writes what the output buffer holds, updates the CRC, raises the progress events.
  void FlushOutput();
  // Delivers window bytes 0..n-1 through the output buffer.
  void FlushWindow(size_t n) { FlushBytes(Window, n); }
  // Delivers n bytes from src through the output buffer, flushing at every 16000.
  void FlushBytes(const uint8_t* src, size_t n);
  // Output that stays in the caller's memory (inflate's window): n bytes at src, with the
  // OutCount bytes not yet written lying right before src, where the window keeps its history.
  // Writes every whole chunk straight from that memory; the rest stays waiting there (counted
  // in OutCount, never copied into the output buffer), and `last` writes it too. The writes
  // are the same 16000-byte pieces as through the output buffer.
  void FlushFollowing(const uint8_t* src, size_t n, bool last = false);

  // --- whole entries ---------------------------------------------------------------------
  // Method 0: copies CompressedSize bytes from the archive through the output buffer.
  void ExtractStored();
  // Moves the archive past the entry's remaining data and lowers the extracted count.
  void SkipEntryData();

  // The refill of FetchByte (InCount is 0 and bytes remain): polls messages and cancel, reads
  // the next chunk (continuing on the next disk when allowed), decrypts it. False when it got
  // no byte. Public for decoders that read the input buffer directly.
  bool Refill();

private:
  std::unique_ptr<uint8_t[]> WindowBlock, InBlock, OutBlock;
  // The entry is shorter than its decryptor's header and trailer.
  bool DecryptionTooShort = false;

  // Reads exactly count bytes of the entry's data into dest, continuing on the next disk when
  // allowed; raises "Premature end of file reached" otherwise.
  void ReadChunk(uint8_t* dest, int64_t count);
  [[noreturn]] void RaiseWriteFailed();
  // Write, CRC, count and events for n bytes at data (cut to the entry's declared size).
  void EmitChunk(const uint8_t* data, int64_t n);
};

}  // namespace unzip
