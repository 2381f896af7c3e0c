// The methods decoded by compression libraries, from a writer of our own on the same
// libraries (the one way to make zstd and XZ entries, and both LZMA end conventions): every
// sound entry comes out byte-equal, and every damaged one fails cleanly and leaves nothing.
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <cstring>

#include "ExtractFixture.h"

namespace {

using extracttest::ExtractTest;
using extracttest::Noise;
using extracttest::Text;

constexpr uint16_t kEndMarker = 2;  // general-purpose bit 1 of an LZMA entry

// The entry data of `method` for `data`; for LZMA `flags` bit 1 asks for the end marker.
std::string Compress(uint16_t method, const std::string& data, uint16_t flags) {
  std::string out(data.size() + data.size() / 2 + 1024, '\0');
  auto* dst = reinterpret_cast<uint8_t*>(out.data());
  const auto* src = reinterpret_cast<const uint8_t*>(data.data());
  size_t n = 0;
  switch (method) {
    case 12: {
      unsigned len = static_cast<unsigned>(out.size());
      if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(data.data()),
                                   static_cast<unsigned>(data.size()), 9, 0, 0) == BZ_OK)
        n = len;
      break;
    }
    case 14: {
      lzma_options_lzma options;
      lzma_lzma_preset(&options, 6);
      options.ext_flags = (flags & kEndMarker) ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
      uint8_t header[9] = {21, 2, 5, 0};  // version, size of the properties, properties
      if (lzma_properties_encode(&filters[0], header + 4) != LZMA_OK) break;
      std::memcpy(dst, header, sizeof header);
      n = sizeof header;
      if (lzma_raw_buffer_encode(filters, nullptr, src, data.size(), dst, &n, out.size()) != LZMA_OK) n = 0;
      break;
    }
    case 20:
    case 93: n = ZSTD_compress(dst, out.size(), src, data.size(), 19); break;
    case 95:
      lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, src, data.size(), dst, &n, out.size());
      break;
  }
  out.resize(n);
  return out;
}

TEST_F(ExtractTest, LibraryMethodsFromOurOwnWriterSoundAndDamaged) {
  const std::string text = Text(300000, 9), noise = Noise(40000, 8);
  struct Row {
    uint16_t Method, Flags;
  };
  const Row rows[] = {{12, 0}, {14, 0}, {14, kEndMarker}, {20, 0}, {93, 0}, {95, 0}};
  testzip::ZipWriter zip;
  std::vector<std::string> sound;
  for (const Row& row : rows) {
    const std::string tag = std::to_string(row.Method) + "-" + std::to_string(row.Flags);
    const std::string packed = Compress(row.Method, text, row.Flags);
    ASSERT_FALSE(packed.empty()) << tag;
    auto add = [&](const std::string& name, const std::string& raw, const std::string& plain) -> testzip::Entry& {
      auto& e = zip.AddRaw(name, raw, row.Method, testzip::Crc32(plain), static_cast<uint32_t>(plain.size()));
      e.Flags = row.Flags;
      return e;
    };
    add("text" + tag, packed, text);
    add("noise" + tag, Compress(row.Method, noise, row.Flags), noise);
    add("empty" + tag, Compress(row.Method, "", row.Flags), "");
    sound.insert(sound.end(), {"empty" + tag, "noise" + tag, "text" + tag});
    // Damaged: the stream cut in half (the sizes agree with the cut); one byte changed in
    // the middle; the output longer than declared (with the CRC of what fits).
    add("cut" + tag, packed.substr(0, packed.size() / 2), text);
    std::string changed = packed;
    changed[changed.size() / 2] ^= 0x55;
    add("changed" + tag, changed, text);
    add("long" + tag, packed, text.substr(0, 20000)).UncompressedSize = 20000;
  }
  int bad = 0;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++bad; };
  EXPECT_EQ(Extract(zip), static_cast<int32_t>(sound.size()));
  EXPECT_EQ(bad, 3 * static_cast<int>(std::size(rows)));
  std::sort(sound.begin(), sound.end());
  EXPECT_EQ(Tree(Dest), sound);
  for (const std::string& name : sound)
    EXPECT_TRUE(Read(name) == (name[0] == 't' ? text : name[0] == 'n' ? noise : "")) << name;
}

}  // namespace
