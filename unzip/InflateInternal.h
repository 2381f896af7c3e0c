#pragma once
// Inflate's working state, shared by the block driver (Inflate.cpp) and the fast loop
// (InflateFast.cpp). Not part of the component's surface.
#include <cstdint>
#include <cstring>

#include "DecodeTables.h"
#include "ExtractState.h"

namespace unzip::detail {

// "Keep going" from a piece of the decoder that did not finish the block.
inline constexpr int kInflateContinue = -1;

// The window: inflate decodes into Cur, the current 32 KiB of history, with the previous
// 32 KiB kept right in front of it (Hist), so every distance up to 32768 is a plain backward
// offset from the write position. When Cur fills up it is delivered and the next Cur follows.
struct TInflater {
  explicit TInflater(TExtractState& state)
      : S(state), Hist(state.Window), Cur(state.Window + kWindowSize) {}

  TExtractState& S;
  uint8_t* Hist;
  uint8_t* Cur;
  uint32_t WPos = 0;         // next free position in Cur, 0..32768
  int64_t CycleBase = 0;     // bytes of this entry produced before Cur's first byte
  uint32_t Bits = 0;         // bit buffer; the next bit is bit 0; nothing above Count
  uint16_t Count = 0;

  // How far back a distance may reach: no further than the first byte of the entry.
  uint32_t Reach() const {
    return CycleBase >= static_cast<int64_t>(kWindowSize) ? static_cast<uint32_t>(kWindowSize) + WPos
                                                          : static_cast<uint32_t>(CycleBase) + WPos;
  }

  void Ensure(unsigned n) { S.EnsureBits(n, Bits, Count); }
  // Drops n bits; false when that consumed filler appended past the end of the entry's data.
  bool Drop(unsigned n) {
    TExtractState::DropBits(n, Bits, Count);
    return S.CompressedLeft >= 0 || Count >= 8 * static_cast<uint64_t>(-S.CompressedLeft);
  }
  // Delivers the full window and restarts at 0; false when the entry's output limit is hit.
  // The next window follows the full one while the block has room, so that one becomes the
  // history without a copy; at the end of the block the history moves back to the start.
  bool Wrap() {
    S.FlushBytes(Cur, kWindowSize);
    if (Cur + 2 * kWindowSize + kWindowSlack <= S.Window + kWindowAllocSize) {
      Hist = Cur;
      Cur += kWindowSize;
    } else {
      std::memcpy(S.Window, Cur, kWindowSize);
      Hist = S.Window;
      Cur = S.Window + kWindowSize;
    }
    CycleBase += kWindowSize;
    WPos = 0;
    return !S.OutputCapped;
  }
  bool PutWindowByte(uint8_t b) {
    Cur[WPos++] = b;
    return WPos != kWindowSize || Wrap();
  }
};

// Decodes symbols while the input buffer and the window leave room for a whole symbol without
// any check; returns kInflateContinue when a margin no longer holds, else the block's result.
// Works on the careful state and leaves it exact: unused whole bytes go back to the input.
int InflateFastLoop(TInflater& z, const TDecodeTable* lit, int litBits, const TDecodeTable* dist,
                    int distBits);

// Margins of the fast loop: input bytes that must remain unread in the buffer, and the window
// room a maximal match needs.
inline constexpr uint32_t kFastInputMargin = 16;
inline constexpr uint32_t kMaxMatch = 258;
inline constexpr uint32_t kFastOutputMargin = kMaxMatch + 2;

}  // namespace unzip::detail
