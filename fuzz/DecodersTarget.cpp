// Each decoder on its own, on arbitrary compressed bytes with an arbitrary declared size,
// through the in-memory extraction host. Input layout:
//
//   byte 0      selector: bits 0-2 the decoder (0 inflate, 1 unshrink, 2-5 unreduce with
//               factor 1-4, 6 explode, 7 inflate round trip); for explode bit 3 sets flag
//               bit 1 (8K dictionary) and bit 4 flag bit 2 (literal tree); bit 5 declares the
//               largest size (2^31 - 1) instead of bytes 1-3 (every decoder stops soon after
//               its data, so this costs no more than a small size); for inflate bit 3
//               reads the bytes as Deflate64; bit 6 (not in round-trip
//               modes, libraries' too): the compressed bytes are WinZip AES data (salt,
//               verifier, encrypted stream, code) for the password "secret", AES-128 when bit
//               7 of byte 3 is set, else AES-256
//   bytes 1-3   declared uncompressed size, little-endian, low 20 bits (up to 1 MiB: enough
//               for every window and buffer boundary, and fast enough to run millions)
//   rest        the compressed bytes, the whole of the host's archive (a buffer of exactly
//               that size, so reading past the entry faults at once)
//
// Inflate (decoder 0) with bit 15 of the declared size set and bit 5 clear decodes into memory
// lent for the entry (TExtractState::OutputMemory), a buffer of exactly the declared size, so
// a byte placed beyond it faults at once.
//
// In round-trip mode the rest is plain data: zlib compresses it (level byte 1 % 10, strategy
// byte 2 % 5, window bits 9 + byte 3 % 7) and inflate must give it back exactly.
//
// With bit 7 of byte 0 set, bits 0-2 choose a method decoded by a library instead: 0 BZip2,
// 1 LZMA, 2 LZMA with flag bit 1 (end marker), 3 Zstd, 4 XZ on the rest as compressed data;
// 5 BZip2, 6 LZMA (bit 3: with end marker), 7 Zstd or XZ (bit 3) as round trips of the rest,
// compressed by the same library at one of its lowest levels (byte 1), which must come back
// exactly. Bit 5 is not read here: a library keeps its own working memory, so a huge
// declared size would only make each run slower, and the declared-size cap is the shared
// loop's, the same for all.
//
// Checked besides crashes, leaks and hangs: no entry delivers more than its declared size;
// no decoder reads more than the entry's compressed bytes from the archive; where zlib
// decodes a deflate stream completely within the declared size, inflate gives the same bytes
// and reports success (Deflate64 has no such peer here: its longer codes mean other bytes);
// under AES, a password taken means the whole entry is read (the code
// covers every byte) and nothing past it.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "AesCrypt.h"
#include "Decoders.h"
#include "FuzzSupport.h"
#include "ExtractState.h"
#include "MemoryExtractHost.h"
#include "MethodWriter.h"
#include "UnzipErrors.h"

namespace {

// The memory host, keeping only the first bytes of the output (a stream that declares
// 2 GiB must not be held in memory) and counting the rest.
class CountingHost : public unzip::testing::TMemoryExtractHost {
public:
  explicit CountingHost(std::vector<uint8_t> archive, size_t keep)
      : TMemoryExtractHost(std::move(archive)), Keep(keep) {
    RecordEvents = false;
    DoProcessMessages = false;
  }
  int64_t WriteOutput(const uint8_t* buffer, int64_t count) override {
    Written += count;
    const size_t room = Keep > Output.size() ? Keep - Output.size() : 0;
    Output.insert(Output.end(), buffer, buffer + std::min<size_t>(room, static_cast<size_t>(count)));
    return count;
  }
  size_t Keep;
  int64_t Written = 0;
};

// zlib's raw inflate of `in`; true with the output when the stream ends within `limit` bytes.
bool ZlibInflate(const uint8_t* in, size_t size, size_t limit, std::vector<uint8_t>& out) {
  // One buffer for the whole run: a fresh megabyte per input cost more than the decoding.
  static std::vector<uint8_t> buffer((1u << 20) + 1);
  if (limit + 1 > buffer.size()) buffer.resize(limit + 1);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = buffer.data();
  z.avail_out = static_cast<uInt>(limit + 1);
  const int rc = inflate(&z, Z_FINISH);
  out.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(z.total_out));
  inflateEnd(&z);
  return rc == Z_STREAM_END && out.size() <= limit;
}

std::vector<uint8_t> ZlibDeflate(const uint8_t* in, size_t size, int level, int strategy, int bits) {
  z_stream z{};
  std::vector<uint8_t> out;
  if (deflateInit2(&z, level, Z_DEFLATED, -bits, 8, strategy) != Z_OK) return out;
  out.resize(deflateBound(&z, size) + 64);
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  REQUIRE(deflate(&z, Z_FINISH) == Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A method decoded by a library: (id, entry flags, round trip).
struct TLibraryCase {
  uint16_t Method, Flags;
  bool RoundTrip;
};

TLibraryCase LibraryCase(unsigned selector) {
  const uint16_t marker = (selector & 8) ? testzip::kLzmaEndMarkerFlag : 0;
  switch (selector & 7) {
    case 0: return {12, 0, false};
    case 1: return {14, 0, false};
    case 2: return {14, testzip::kLzmaEndMarkerFlag, false};
    case 3: return {93, 0, false};
    case 4: return {95, 0, false};
    case 5: return {12, 0, true};
    case 6: return {14, marker, true};
    default: return {static_cast<uint16_t>(marker ? 95 : 93), 0, true};
  }
}

void RunLibraryDecoder(unzip::TExtractState& state, uint16_t method) {
  switch (method) {
    case 12: unzip::ExtractBzip2(state); break;
    case 14: unzip::ExtractLzma(state); break;
    case 93: unzip::ExtractZstd(state); break;
    default: unzip::ExtractXz(state); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const unsigned selector = data[0];
  const bool library = (selector & 0x80) != 0;
  const unsigned decoder = selector & 7;
  const TLibraryCase libraryCase = LibraryCase(selector);
  const uint8_t* body = data + 4;
  const size_t bodySize = size - 4;

  std::vector<uint8_t> archive;
  std::vector<uint8_t> plain;  // round trip: what the decoder must give back
  int64_t declared = (data[1] | (data[2] << 8) | (data[3] << 16)) & 0xFFFFF;
  if (library && libraryCase.RoundTrip) {
    plain.assign(body, body + bodySize);
    // The lowest levels: higher ones only make the encoder slower and larger (LZMA's level 6
    // alone allocates about 90 MiB); the decoder meets the same kinds of streams.
    const int level = libraryCase.Method == 93 ? 1 + data[1] % 3 : libraryCase.Method == 12 ? 1 : data[1] % 2;
    const std::string packed = testzip::CompressForMethod(
        libraryCase.Method, std::string(body, body + bodySize), libraryCase.Flags, level);
    REQUIRE(!packed.empty());
    archive.assign(packed.begin(), packed.end());
    declared = static_cast<int64_t>(bodySize);
  } else if (library) {
    archive.assign(body, body + bodySize);
  } else if (decoder == 7) {
    plain.assign(body, body + bodySize);
    const int bits = 9 + data[3] % 7;
    archive = ZlibDeflate(body, bodySize, data[1] % 10, data[2] % 5, bits);
    declared = static_cast<int64_t>(bodySize);
  } else {
    archive.assign(body, body + bodySize);
    if (selector & 0x20) declared = 0x7FFFFFFF;
  }
  const size_t compressed = archive.size();

  // One host and one state for the whole run, as the component keeps one state for all the
  // entries of an extraction: allocating the work blocks for every input cost most of the
  // fuzzer's time. The start of the window gets a fixed filler each time, so a run does not
  // depend on the input before it, and a decoder that delivered bytes it never wrote would
  // show as a difference from zlib.
  static CountingHost host({}, 0);
  static unzip::TExtractState state(host);
  host.Disks[0] = std::move(archive);
  host.Position = 0;
  host.Output.clear();
  host.Written = 0;
  // Keep enough output to compare with zlib (inflate) or the plain data (round trip).
  host.Keep = decoder == 0 || decoder == 7 ? 1u << 20 : 0;
  if (library) host.Keep = libraryCase.RoundTrip ? 1u << 20 : 0;
  std::memset(state.Window, 0xA5, unzip::kWindowBlockSize + unzip::kWindowSize);
  uint16_t flags = library ? libraryCase.Flags : 0;
  if (!library && decoder == 6) flags = static_cast<uint16_t>(((selector >> 2) & 2) | ((selector >> 2) & 4));
  const bool aes = (selector & 0x40) && !(library ? libraryCase.RoundTrip : decoder == 7);
  const int strength = (data[3] & 0x80) ? 1 : 3;
  unzip::TAesDecryptor decryptor(strength, 2);
  bool passwordTaken = false;
  if (aes) {
    state.SetEntry(static_cast<uint16_t>(flags | 1), static_cast<int64_t>(compressed), declared);
    try {
      passwordTaken = state.StartDecryption(decryptor, "secret");
    } catch (const unzip::EFatalUnzipError&) {
      // Shorter than salt and verifier.
    }
    if (!passwordTaken) return 0;
    state.BeginDecoding();
  } else {
    unzip::testing::BeginMemoryEntry(state, static_cast<int64_t>(compressed), declared, flags);
  }

  const bool lend = !library && decoder == 0 && !(selector & 0x20) && (declared & 0x8000);
  std::unique_ptr<uint8_t[]> lent;
  if (lend) {
    lent.reset(new uint8_t[static_cast<size_t>(declared)]);
    state.OutputMemory = lent.get();
  }

  int inflateResult = -1;
  try {
    if (library) {
      RunLibraryDecoder(state, libraryCase.Method);
    } else {
      switch (decoder) {
        case 0: inflateResult = unzip::InflateEntry(state, (selector & 0x08) != 0); break;
        case 7: inflateResult = unzip::InflateEntry(state); break;
        case 1: unzip::ExtractShrunk(state); break;
        case 2: case 3: case 4: case 5: unzip::ExtractReduced(state, static_cast<int>(decoder) - 1); break;
        case 6: unzip::ExtractImploded(state); break;
      }
    }
  } catch (const unzip::EFatalUnzipError&) {
    // A decoder may give up on bad data with the component's fatal error; that is a clean end.
  }

  if (aes) {
    state.FinishDecryption();
    const size_t around = unzip::AesSaltSize(strength) + unzip::kAesVerifierSize +
                          unzip::kAesAuthCodeSize;
    if (compressed >= around) REQUIRE(host.Position == compressed);
  }
  if (lend) {
    // Placed in the lent memory, none of it written through the host.
    REQUIRE(host.Written == 0);
    host.Written = state.OutTotal;
    host.Output.assign(lent.get(), lent.get() + state.OutTotal);
  }
  REQUIRE(host.Written <= declared);                 // never more than the declared size
  REQUIRE(host.Position <= compressed);              // never past the entry's data
  REQUIRE(state.OutTotal == host.Written);

  if (library) {
    // What the library compressed comes back exactly, and is not taken for damage.
    if (libraryCase.RoundTrip) {
      REQUIRE(!state.StreamFailed && !state.InputExhausted && !state.OutputCapped);
      REQUIRE(host.Output == plain);
    }
  } else if (decoder == 7) {
    REQUIRE(inflateResult == 0);
    REQUIRE(host.Output == plain);
  } else if (decoder == 0 && !aes && !(selector & 0x08) && declared <= (1 << 20)) {
    std::vector<uint8_t> expected;
    if (ZlibInflate(data + 4, bodySize, static_cast<size_t>(declared), expected)) {
      REQUIRE(inflateResult == 0);
      REQUIRE(host.Output == expected);
    }
  }
  return 0;
}
