#pragma once
// Entry data of the methods decoded by libraries, made with the same libraries: the only way
// here to make zstd and XZ entries, and LZMA entries with either end convention. For tests,
// fuzz round trips and benchmarks.
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace testzip {

inline constexpr uint16_t kLzmaEndMarkerFlag = 2;  // general-purpose bit 1 of an LZMA entry

// The entry data of `method` (12, 14, 20, 93, 95) for `data`; for LZMA, `flags` bit 1 asks
// for the end marker. Empty when the library failed or the method is none of these.
inline std::string CompressForMethod(uint16_t method, const std::string& data, uint16_t flags = 0,
                                     int level = 6) {
  std::string out(data.size() + data.size() / 2 + 1024, '\0');
  auto* dst = reinterpret_cast<uint8_t*>(out.data());
  const auto* src = reinterpret_cast<const uint8_t*>(data.data());
  size_t n = 0;
  switch (method) {
    case 12: {
      unsigned len = static_cast<unsigned>(out.size());
      if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(data.data()),
                                   static_cast<unsigned>(data.size()), level < 1 ? 1 : level, 0, 0) == BZ_OK)
        n = len;
      break;
    }
    case 14: {
      lzma_options_lzma options;
      lzma_lzma_preset(&options, static_cast<uint32_t>(level));
      options.ext_flags = (flags & kLzmaEndMarkerFlag) ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
      uint8_t header[9] = {21, 2, 5, 0};  // version, size of the properties, properties
      if (lzma_properties_encode(&filters[0], header + 4) != LZMA_OK) break;
      std::memcpy(dst, header, sizeof header);
      n = sizeof header;
      if (lzma_raw_buffer_encode(filters, nullptr, src, data.size(), dst, &n, out.size()) != LZMA_OK) n = 0;
      break;
    }
    case 20:
    case 93: {
      const size_t r = ZSTD_compress(dst, out.size(), src, data.size(), level);
      n = ZSTD_isError(r) ? 0 : r;
      break;
    }
    case 95:
      if (lzma_easy_buffer_encode(static_cast<uint32_t>(level), LZMA_CHECK_CRC64, nullptr, src, data.size(),
                                  dst, &n, out.size()) != LZMA_OK)
        n = 0;
      break;
  }
  out.resize(n);
  return out;
}

}  // namespace testzip
