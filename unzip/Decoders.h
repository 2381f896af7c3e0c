#pragma once
// The decoders of the compressed methods. Each runs on the extraction state prepared for the
// entry (see TExtractState::BeginDecoding) and delivers its output through the state's output
// operations. A data error ends a decoder quietly: what it has not yet delivered is dropped and
// the CRC comparison afterwards reports the entry.
#include "ExtractState.h"

namespace unzip {

// Method 8 (deflated). Stops early when the output limit is reached (state.OutputCapped).
void ExtractDeflated(TExtractState& state);
// Method 9 (Deflate64): the same decoder with 64 KiB of history, length code 285 as 3 plus 16
// extra bits, and distance codes 30 and 31.
void ExtractDeflated64(TExtractState& state);
// Either, returning the result of the last block (0 ok, 1 data error, 2 bad block type or
// over-subscribed code) for tests and tools.
int InflateEntry(TExtractState& state, bool deflate64 = false);

// Older methods, implemented with the shrink, reduce and implode decoders:
void ExtractShrunk(TExtractState& state);               // method 1
void ExtractReduced(TExtractState& state, int factor);  // methods 2..5, factor 1..4
void ExtractImploded(TExtractState& state);             // method 6

// Methods decoded by compression libraries (see StreamDecoder.h). A damaged stream sets
// state.StreamFailed, a cut one state.InputExhausted.
void ExtractBzip2(TExtractState& state);  // method 12, libbz2
void ExtractLzma(TExtractState& state);   // method 14, liblzma (raw LZMA1 after the ZIP header)
void ExtractZstd(TExtractState& state);   // methods 93 and 20, libzstd
void ExtractXz(TExtractState& state);     // method 95, liblzma (XZ streams)

}  // namespace unzip
