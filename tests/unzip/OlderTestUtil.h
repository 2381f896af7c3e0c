#pragma once
// Helpers of the shrink, reduce and implode tests: a bit writer to build compressed streams by
// hand, and a runner that decodes one stream through the in-memory extraction host.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Decoders.h"
#include "ExtractState.h"
#include "MemoryExtractHost.h"

namespace oldertest {

// Writes bits least significant first, as all three formats read them.
class TBitWriter {
public:
  // The low n bits of value, lowest first.
  void Put(uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) PutBit((value >> i) & 1);
  }
  // A code of n bits, most significant first (Huffman codes as a table builder assigns them).
  void PutMsbFirst(uint32_t code, unsigned n) {
    for (unsigned i = n; i-- > 0;) PutBit((code >> i) & 1);
  }
  void PutBit(unsigned bit) {
    if (Used == 0) Bytes.push_back(0);
    Bytes.back() = static_cast<uint8_t>(Bytes.back() | (bit << Used));
    Used = (Used + 1) & 7;
  }
  // Whole bytes, byte-aligned (the implode descriptions).
  void PutByte(uint8_t b) {
    Used = 0;
    Bytes.push_back(b);
  }
  std::vector<uint8_t> Bytes;

private:
  unsigned Used = 0;  // bits used in the last byte; 0 = start a new one
};

struct TDecoded {
  std::vector<uint8_t> Output;
  bool Capped = false;       // the output layer cut the entry at its declared size
  bool Exhausted = false;    // the decoder stopped because its data had run out
  uint32_t Crc = 0;          // CRC-32 of what was delivered
  size_t ArchiveRead = 0;    // bytes the decoder took from the archive
  std::vector<int64_t> Writes;
};

// Decodes `data` as an entry of `method` (1 to 6) declaring `size` uncompressed bytes. The
// window is first filled with `stale`, as an earlier entry would have left it. With
// `compressedSize` >= 0 the entry claims that many compressed bytes (zeros are appended to
// the archive up to it).
inline TDecoded Decode(int method, const std::vector<uint8_t>& data, int64_t size, uint16_t flags = 0,
                       uint8_t stale = 0xA5, int64_t compressedSize = -1) {
  std::vector<uint8_t> archive = data;
  if (compressedSize > static_cast<int64_t>(archive.size())) archive.resize(static_cast<size_t>(compressedSize));
  if (compressedSize < 0) compressedSize = static_cast<int64_t>(archive.size());
  unzip::testing::TMemoryExtractHost host(archive);
  host.DoProcessMessages = false;
  host.FileEventAssigned = false;
  host.TotalEventAssigned = false;
  unzip::TExtractState state(host);
  std::memset(state.Window, stale, unzip::kWindowBlockSize);
  unzip::testing::BeginMemoryEntry(state, compressedSize, size, flags);
  switch (method) {
    case 1: unzip::ExtractShrunk(state); break;
    case 2:
    case 3:
    case 4:
    case 5: unzip::ExtractReduced(state, method - 1); break;
    case 6: unzip::ExtractImploded(state); break;
    default: break;
  }
  TDecoded r;
  r.Output = host.Output;
  r.Capped = state.OutputCapped;
  r.Exhausted = state.InputExhausted;
  r.Crc = ~state.RunningCrc;
  r.ArchiveRead = host.Position;
  r.Writes = host.WriteSizes;
  return r;
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string Text(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

}  // namespace oldertest
