// Zstandard (method 93, and 20, which early writers used), decoded by libzstd's streaming
// decoder through the shared stream loop. A writer may put several frames one after the
// other; they are decoded in turn.
#include <zstd.h>

#include "Decoders.h"
#include "StreamDecoder.h"

namespace unzip {

namespace {

class TZstdStream {
public:
  TZstdStream() : Z(ZSTD_createDStream()) {}
  ~TZstdStream() { ZSTD_freeDStream(Z); }
  TZstdStream(const TZstdStream&) = delete;
  TZstdStream& operator=(const TZstdStream&) = delete;

  detail::TStep operator()(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize, bool inputEnds) {
    detail::TStep s;
    if (!Z) {
      s.Result = detail::TStepResult::Error;
      return s;
    }
    if (inSize == 0 && inputEnds && FrameDone) {
      s.Result = detail::TStepResult::End;
      return s;
    }
    ZSTD_inBuffer input{in, inSize, 0};
    ZSTD_outBuffer output{out, outSize, 0};
    const size_t rc = ZSTD_decompressStream(Z, &output, &input);
    s.Consumed = input.pos;
    s.Produced = output.pos;
    if (ZSTD_isError(rc)) s.Result = detail::TStepResult::Error;
    else FrameDone = rc == 0;  // a frame ended and all of it was given out
    return s;
  }

private:
  // The library's default window limit (128 MiB) stays: frames that need more are refused,
  // as the zstd tools do without an explicit option.
  ZSTD_DStream* Z;
  bool FrameDone = false;
};

}  // namespace

void ExtractZstd(TExtractState& state) {
  TZstdStream stream;
  detail::RunStreamDecoder(state, stream);
}

}  // namespace unzip
