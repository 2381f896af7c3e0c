// BZip2 (method 12), decoded by libbz2 through the shared stream loop. Writers that compress
// in parallel put several bzip2 streams one after the other; each further stream is decoded
// in turn, as the bzip2 tools do.
#include <bzlib.h>

#include "Decoders.h"
#include "StreamDecoder.h"

namespace unzip {

namespace {

class TBzip2Stream {
public:
  TBzip2Stream() { Open(); }
  ~TBzip2Stream() { Close(); }
  TBzip2Stream(const TBzip2Stream&) = delete;
  TBzip2Stream& operator=(const TBzip2Stream&) = delete;

  detail::TStep operator()(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize, bool inputEnds) {
    detail::TStep s;
    if (!Ready) {
      s.Result = detail::TStepResult::Error;
      return s;
    }
    if (Ended) {
      if (inSize == 0 && inputEnds) {
        s.Result = detail::TStepResult::End;
        return s;
      }
      // The previous stream ended and bytes follow: another stream, or padding.
      Close();
      if (!Open()) {
        s.Result = detail::TStepResult::Error;
        return s;
      }
      FollowOn = true;
    }
    Z.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    Z.avail_in = static_cast<unsigned>(inSize);
    Z.next_out = reinterpret_cast<char*>(out);
    Z.avail_out = static_cast<unsigned>(outSize);
    const int rc = BZ2_bzDecompress(&Z);
    s.Consumed = inSize - Z.avail_in;
    s.Produced = outSize - Z.avail_out;
    if (rc == BZ_STREAM_END) {
      Ended = true;
      FollowOn = false;
    } else if (rc == BZ_DATA_ERROR_MAGIC && FollowOn) {
      // What follows the streams is no stream: like the tools, keep what they gave.
      s.Result = detail::TStepResult::End;
    } else if (rc != BZ_OK) {
      s.Result = detail::TStepResult::Error;
    }
    return s;
  }

private:
  bz_stream Z{};
  bool Ready = false;
  bool Ended = false;
  bool FollowOn = false;  // the stream being read follows an earlier one

  bool Open() {
    Z = bz_stream{};
    Ready = BZ2_bzDecompressInit(&Z, 0, 0) == BZ_OK;
    Ended = false;
    return Ready;
  }
  void Close() {
    if (Ready) BZ2_bzDecompressEnd(&Z);
    Ready = false;
  }
};

}  // namespace

void ExtractBzip2(TExtractState& state) {
  TBzip2Stream stream;
  detail::RunStreamDecoder(state, stream);
}

}  // namespace unzip
