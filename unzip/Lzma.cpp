// LZMA (method 14) and XZ (method 95), both decoded by liblzma through the shared stream loop.
//
// An LZMA entry starts with a header of its own: the writer's LZMA version (2 bytes), the size
// of the properties (2 bytes, little-endian, 5 for LZMA) and the properties (the lc/lp/pb byte
// and the dictionary size, 4 bytes). A raw LZMA1 stream follows. General-purpose bit 1 says
// whether the stream ends with an end marker; without one it ends after the entry's size.
#include <lzma.h>

#include <algorithm>
#include <cstdlib>

#include "Decoders.h"
#include "StreamDecoder.h"

namespace unzip {

namespace {

constexpr size_t kLzmaHeaderSize = 4;
constexpr size_t kLzmaPropertiesSize = 5;  // the lc/lp/pb byte and the dictionary size
constexpr uint16_t kFlagEndMarker = 0x0002;
constexpr uint64_t kSizeUnknown = 0xFFFFFFFFu;
// No preset of the xz tools needs more than 65 MiB to decode; a stream that asks for more
// than this is refused rather than allowed to take the machine's memory.
constexpr uint64_t kDecoderMemoryLimit = uint64_t{1} << 30;

// Takes n bytes of the entry's data; false when the data ends first.
bool TakeBytes(TExtractState& state, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (state.InCount == 0 && (state.CompressedSize <= 0 || !state.Refill())) return false;
    out[i] = *state.InPtr++;
    --state.InCount;
    --state.CompressedLeft;
  }
  return true;
}

void SetSize(lzma_options_lzma& options, uint64_t size) {
  options.ext_size_low = static_cast<uint32_t>(size);
  options.ext_size_high = static_cast<uint32_t>(size >> 32);
}

class TLzmaStream {
public:
  TLzmaStream() = default;
  ~TLzmaStream() { lzma_end(&Z); }
  TLzmaStream(const TLzmaStream&) = delete;
  TLzmaStream& operator=(const TLzmaStream&) = delete;

  lzma_stream Z = LZMA_STREAM_INIT;

  detail::TStep operator()(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize, bool inputEnds) {
    Z.next_in = in;
    Z.avail_in = inSize;
    Z.next_out = out;
    Z.avail_out = outSize;
    const lzma_ret rc = lzma_code(&Z, inputEnds ? LZMA_FINISH : LZMA_RUN);
    detail::TStep s;
    s.Consumed = inSize - Z.avail_in;
    s.Produced = outSize - Z.avail_out;
    if (rc == LZMA_STREAM_END) s.Result = detail::TStepResult::End;
    // LZMA_BUF_ERROR: no progress possible; the loop tells a cut stream from a stuck one.
    else if (rc != LZMA_OK && rc != LZMA_BUF_ERROR) s.Result = detail::TStepResult::Error;
    return s;
  }
};

}  // namespace

void ExtractLzma(TExtractState& state) {
  uint8_t header[kLzmaHeaderSize];
  if (!TakeBytes(state, header, sizeof header)) {
    state.InputExhausted = true;
    return;
  }
  const size_t propertiesSize = header[2] | (header[3] << 8);
  uint8_t properties[kLzmaPropertiesSize];
  if (propertiesSize != kLzmaPropertiesSize) {
    state.StreamFailed = true;
    return;
  }
  if (!TakeBytes(state, properties, sizeof properties)) {
    state.InputExhausted = true;
    return;
  }

  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, properties, sizeof properties) != LZMA_OK) {
    state.StreamFailed = true;
    return;
  }
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  struct TFree {
    void* P;
    ~TFree() { std::free(P); }
  } freeOptions{options};

  // No match reaches further back than the entry's own output, so a dictionary larger than
  // the entry is never used: it is not allocated either.
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(state.ExpectedSize, 0));
  options->dict_size = static_cast<uint32_t>(
      std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(options->dict_size, size)));
  // A header may ask for a dictionary of up to 4 GiB that the library allocates at once; the
  // same ceiling as for XZ streams keeps a hostile entry from taking the machine's memory.
  if (options->dict_size > kDecoderMemoryLimit) {
    state.StreamFailed = true;
    return;
  }
  // The stream ends after the entry's size, with or without an end marker there (general-
  // purpose bit 1 says which, but the size alone decides, so a writer that put a marker
  // without saying so is read too). Only where the size is not known (left at 0xFFFFFFFF by a
  // missing Zip64 field) does the marker, which bit 1 promises, end the stream.
  // (The options come from the library uninitialised beyond the properties: set every field
  // the extended filter reads.)
  filters[0].id = LZMA_FILTER_LZMA1EXT;
  options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  SetSize(*options, (state.Flags & kFlagEndMarker) && size == kSizeUnknown ? UINT64_MAX : size);
  TLzmaStream stream;
  if (lzma_raw_decoder(&stream.Z, filters) != LZMA_OK) {
    state.StreamFailed = true;
    return;
  }
  detail::RunStreamDecoder(state, stream);
}

void ExtractXz(TExtractState& state) {
  TLzmaStream stream;
  // Concatenated streams and stream padding are valid XZ data, as the xz tools read it.
  if (lzma_stream_decoder(&stream.Z, kDecoderMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) {
    state.StreamFailed = true;
    return;
  }
  detail::RunStreamDecoder(state, stream);
}

}  // namespace unzip
