#pragma once
// Helpers for the decoder tests: zlib as the producer of raw deflate streams, a bit writer for
// hand-made streams, generated inputs, and one call that runs a decoder over a memory archive.
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExtractState.h"
#include "MemoryExtractHost.h"

namespace unzip::testing {

using Bytes = std::vector<uint8_t>;

// Raw deflate (no zlib header) at a level and strategy.
inline Bytes ZlibDeflate(const Bytes& in, int level, int strategy = Z_DEFAULT_STRATEGY,
                         int memLevel = 8) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&z, in.size()) + 16);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (r != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

// zlib's verdict on a raw stream: Z_STREAM_END, Z_DATA_ERROR, or Z_BUF_ERROR (ran out).
inline int ZlibVerdict(const Bytes& in, size_t maxOut = 1 << 24) {
  z_stream z{};
  inflateInit2(&z, -15);
  Bytes out(maxOut);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return r;
}

// Writes bits low bit first, as deflate packs them.
class TBitWriter {
public:
  TBitWriter& Put(uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      if (Count == 0) Out.push_back(0);
      Out.back() |= static_cast<uint8_t>(((value >> i) & 1) << Count);
      Count = (Count + 1) & 7;
    }
    return *this;
  }
  // A Huffman code is sent most significant bit first.
  TBitWriter& Code(uint32_t code, unsigned len) {
    for (unsigned i = len; i-- > 0;) Put((code >> i) & 1, 1);
    return *this;
  }
  TBitWriter& AlignByte() {
    Count = 0;
    return *this;
  }
  Bytes Out;
  unsigned Count = 0;
};

// Fixed-code helpers for hand-made streams.
inline void FixedLiteral(TBitWriter& w, unsigned sym) {
  if (sym < 144) w.Code(0x30 + sym, 8);
  else if (sym < 256) w.Code(0x190 + sym - 144, 9);
  else if (sym < 280) w.Code(sym - 256, 7);
  else w.Code(0xC0 + sym - 280, 8);
}

// Generated inputs of several kinds.
inline Bytes MakeInput(int kind, size_t size, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes b(size);
  switch (kind % 6) {
    case 0:  // random
      for (auto& c : b) c = static_cast<uint8_t>(g());
      break;
    case 1: {  // text-like from a small vocabulary
      static const char* words[] = {"the ", "quick ", "zip ", "entry ", "window ", "\n", "of ",
                                    "arcade ", "board ", "deflate ", "2026 ", "VARNIX "};
      size_t i = 0;
      while (i < size) {
        const char* w = words[g() % 12];
        while (*w && i < size) b[i++] = static_cast<uint8_t>(*w++);
      }
      break;
    }
    case 2:  // long runs
      for (size_t i = 0; i < size;) {
        uint8_t c = static_cast<uint8_t>(g() % 4);
        size_t n = 1 + g() % 600;
        while (n-- && i < size) b[i++] = c;
      }
      break;
    case 3:  // binary with structure: small alphabet, short repeats
      for (size_t i = 0; i < size; ++i)
        b[i] = (i > 7 && g() % 3 == 0) ? b[i - 1 - g() % 7] : static_cast<uint8_t>(g() % 16);
      break;
    case 4:  // far repeats: blocks copied from up to 32 KiB back
      for (size_t i = 0; i < size; ++i) {
        if (i > 40000 && g() % 50 == 0) {
          size_t d = 30000 + g() % 2768, n = 3 + g() % 300;
          while (n-- && i < size) {
            b[i] = b[i - d];
            ++i;
          }
          if (i >= size) break;
        }
        b[i] = static_cast<uint8_t>(g() % 7 == 0 ? g() : 'a' + g() % 3);
      }
      break;
    default:  // all one byte
      std::fill(b.begin(), b.end(), static_cast<uint8_t>(seed));
      break;
  }
  return b;
}

struct TDecodeRun {
  int Result = 0;
  Bytes Output;
  std::vector<std::string> Events;
  bool Capped = false;
  uint32_t Crc = 0;
};

// Runs `decoder` over `stream` taken as one entry's compressed data of the given sizes.
template <class Decoder>
TDecodeRun RunDecoder(const Bytes& stream, int64_t uncompressedSize, Decoder&& decoder,
                      int64_t compressedSize = -1) {
  TMemoryExtractHost host(stream);
  TExtractState state(host);
  state.TotalToExtract = uncompressedSize;
  BeginMemoryEntry(state, compressedSize < 0 ? static_cast<int64_t>(stream.size()) : compressedSize,
                   uncompressedSize);
  TDecodeRun run;
  run.Result = decoder(state);
  run.Output = std::move(host.Output);
  run.Events = std::move(host.Events);
  run.Capped = state.OutputCapped;
  run.Crc = ~state.RunningCrc;
  return run;
}

}  // namespace unzip::testing
