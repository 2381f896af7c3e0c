// Method 1 (shrunk): LZW with codes of 9 to 13 bits, a control code 256 that widens the codes
// (256, 1) or frees the codes nobody builds on (256, 2), and no end marker: the data ends when
// the entry's compressed bytes do.
#include <cstring>

#include "Decoders.h"
#include "OlderMethods.h"

namespace unzip {

namespace {

// The code table lives in the window: prefix (signed 16-bit), suffix and string stack, 8195
// entries each, one after the other.
constexpr unsigned kEntries = 8195;
constexpr unsigned kTableFull = 8192;  // next free code when no code is left to define
constexpr unsigned kStackSize = 8192;  // the stack is built from index 8191 downwards
constexpr unsigned kFirstFree = 257;
constexpr unsigned kControl = 256;
constexpr unsigned kMaxCodeSize = 13;
constexpr int16_t kFree = -1;
static_assert(2 * kEntries + kEntries + kEntries == kWindowBlockSize);

using TReader = detail::TBitReader<detail::TPastEnd::Stop>;

// One code of `size` bits; false when the data ends before the whole code is there (a partial
// code at the end is never decoded).
inline bool ReadCode(TReader& bits, unsigned size, unsigned& code) {
  if (bits.Count < size) {
    bits.Fill();
    if (bits.Count < size) return false;
  }
  code = bits.Take(size);
  return true;
}

// Hands a decoded string to the output buffer. Most strings are a few bytes long: those go
// in as two 8-byte moves, which may read past the stack's end (still inside the window block)
// and write past the string's end (still inside the output buffer, and overwritten by what
// follows before anything is written out).
constexpr size_t kShortString = 16;
static_assert(kWindowAllocSize >= kWindowBlockSize + kShortString);

inline void Deliver(TExtractState& state, const uint8_t* p, size_t n) {
  if (n <= kShortString && state.OutCount + kShortString < kChunkSize) {
    std::memcpy(state.OutPtr, p, 8);
    std::memcpy(state.OutPtr + 8, p + 8, 8);
    state.OutPtr += n;
    state.OutCount += static_cast<uint32_t>(n);
  } else if (state.OutCount + n < kChunkSize) {
    std::memcpy(state.OutPtr, p, n);
    state.OutPtr += n;
    state.OutCount += static_cast<uint32_t>(n);
  } else {
    state.FlushBytes(p, n);
  }
}

}  // namespace

namespace detail {

void ClearUnusedCodes(int16_t* prefix, uint8_t* scratch, unsigned& nextFree) {
  // Entries are only ever added at nextFree, which is always the lowest free code, so every
  // code below it is defined. The marks go in a byte per code (the string stack, empty between
  // codes) rather than in bit 15 of the prefixes: a plain store per code instead of a
  // read-modify-write, which matters because old archives clear hundreds of times in a few
  // megabytes.
  const unsigned end = nextFree;
  if (end <= kFirstFree) return;
  std::memset(scratch + kFirstFree, 0, end - kFirstFree);
  // A code in the range that another code of the range builds on stays. Codes above nextFree
  // (left defined by an earlier clear) are neither freed nor counted as users.
  for (unsigned x = kFirstFree; x < end; ++x) {
    const unsigned p = static_cast<uint16_t>(prefix[x]);
    if (p - kFirstFree < end - kFirstFree) scratch[p] = 1;
  }
  // Unmarked: free. Without a branch, which would be mispredicted about half the time.
  for (unsigned x = kFirstFree; x < end; ++x)
    prefix[x] = static_cast<int16_t>(prefix[x] | (static_cast<int>(scratch[x]) - 1));
  nextFree = kFirstFree;
  while (nextFree < kTableFull && prefix[nextFree] != kFree) ++nextFree;
}

}  // namespace detail

void ExtractShrunk(TExtractState& state) {
  auto* prefix = reinterpret_cast<int16_t*>(state.Window);
  uint8_t* suffix = state.Window + 2 * kEntries;
  uint8_t* stack = suffix + kEntries;
  uint8_t* const stackEnd = stack + kStackSize;

  for (unsigned x = kControl; x <= kTableFull; ++x) prefix[x] = kFree;
  for (unsigned x = 0; x < 256; ++x) {
    prefix[x] = 0;
    suffix[x] = static_cast<uint8_t>(x);
  }
  // A first code of 256 writes 0x00; should a later code build on it, its string must read
  // the same byte, not whatever an earlier entry left in the window.
  suffix[kControl] = 0;

  TReader bits(state);
  unsigned codeSize = 9;
  unsigned nextFree = kFirstFree;
  unsigned code;

  if (!ReadCode(bits, codeSize, code)) {
    state.FlushOutput();
    return;
  }
  // A first code of 256 or more is not rejected: its low byte is written.
  unsigned previous = code;
  uint8_t lastChar = static_cast<uint8_t>(code);
  state.PutByte(lastChar);

  // Corrupt data ends the entry as the end of input does; the CRC check then reports it.
  while (!state.OutputCapped) {
    if (!ReadCode(bits, codeSize, code)) break;
    bool ended = false;
    while (code == kControl) {
      unsigned sub;
      if (!ReadCode(bits, codeSize, sub)) {
        ended = true;
        break;
      }
      if (sub == 1) {
        // Past 13 bits the codes would leave the tables.
        if (++codeSize > kMaxCodeSize) {
          ended = true;
          break;
        }
      } else if (sub == 2) {
        detail::ClearUnusedCodes(prefix, stack, nextFree);
      }
      if (!ReadCode(bits, codeSize, code)) {
        ended = true;
        break;
      }
    }
    if (ended) break;

    const unsigned incoming = code;
    uint8_t* top = stackEnd;
    // An undefined code (normally the one being defined right now) is the previous string
    // followed by that string's first byte.
    if (prefix[code] == kFree) {
      *--top = lastChar;
      code = previous;
    }
    // The longest sound string is shorter than the stack; a chain that fills it loops.
    while (code >= kFirstFree && top != stack) {
      if (prefix[code] == kFree) {
        *--top = lastChar;
        code = previous;
      } else {
        *--top = suffix[code];
        code = static_cast<unsigned>(prefix[code]);
      }
    }
    if (top == stack) break;
    lastChar = suffix[code];
    *--top = lastChar;
    Deliver(state, top, static_cast<size_t>(stackEnd - top));

    if (nextFree < kTableFull) {
      prefix[nextFree] = static_cast<int16_t>(previous);
      suffix[nextFree] = lastChar;
      do ++nextFree;
      while (nextFree < kTableFull && prefix[nextFree] != kFree);
    }
    previous = incoming;
  }
  state.FlushOutput();
}

}  // namespace unzip
