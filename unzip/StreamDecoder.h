#pragma once
// The loop that the decoders built on compression libraries share. A library works on
// buffers: it is handed what the input buffer holds and room in the output buffer, and says
// how much it took and gave. Everything else is the extraction state's, as for our own
// decoders: refills of at most 16000 bytes (with message processing and the cancel check),
// output writes of 16000 bytes with CRC, cap at the declared size and progress events. No
// buffer grows with the entry; memory is the library's working state.
#include <cstddef>
#include <cstdint>

#include "ExtractState.h"
#include "UnzipErrors.h"

namespace unzip::detail {

enum class TStepResult {
  More,   // call again
  End,    // the stream ended soundly
  Error,  // the stream is damaged (or the library could not go on)
};

struct TStep {
  size_t Consumed = 0;
  size_t Produced = 0;
  TStepResult Result = TStepResult::More;
};

// A stream that gives much output from little input refills rarely; this many output chunks
// (about a megabyte) pass between cancel checks of their own.
inline constexpr int kChunksBetweenCancelChecks = 64;

// Runs `step(in, inSize, out, outSize, inputEnds)` until the stream ends, fails, runs out of
// input or passes the declared size. inputEnds: no refill will follow what `in` holds.
template <class Step>
void RunStreamDecoder(TExtractState& state, Step&& step) {
  int chunks = 0, stalls = 0;
  for (;;) {
    if (state.InCount == 0 && state.CompressedSize > 0) state.Refill();
    const bool inputEnds = state.CompressedSize <= 0;
    const TStep s = step(state.InPtr, size_t{state.InCount}, state.OutPtr,
                         kChunkSize - state.OutCount, inputEnds);
    state.InPtr += s.Consumed;
    state.InCount -= static_cast<uint32_t>(s.Consumed);
    state.CompressedLeft -= static_cast<int64_t>(s.Consumed);
    state.OutPtr += s.Produced;
    state.OutCount += static_cast<uint32_t>(s.Produced);
    if (state.OutCount == kChunkSize) {
      state.FlushOutput();
      if (++chunks == kChunksBetweenCancelChecks) {
        chunks = 0;
        if (state.Host.ProcessMessagesAndCheckCancel()) RaiseUserAborted();
      }
    }
    if (state.OutputCapped || s.Result == TStepResult::End) break;
    if (s.Result == TStepResult::Error) {
      state.StreamFailed = true;
      break;
    }
    // No progress with room to give: at the end of the input the stream was cut short;
    // before it, the library is stuck, which no sound stream does.
    if (s.Consumed == 0 && s.Produced == 0) {
      if (state.InCount == 0 && inputEnds) {
        state.InputExhausted = true;
        break;
      }
      if (++stalls > 2) {
        state.StreamFailed = true;
        break;
      }
    } else {
      stalls = 0;
    }
  }
  state.FlushOutput();
}

}  // namespace unzip::detail
