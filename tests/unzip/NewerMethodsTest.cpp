// The methods decoded by compression libraries, from a writer of our own on the same
// libraries (the one way to make zstd and XZ entries, and both LZMA end conventions): every
// sound entry comes out byte-equal, and every damaged one fails cleanly and leaves nothing.
#include "ExtractFixture.h"
#include "MethodWriter.h"

namespace {

using extracttest::ExtractTest;
using extracttest::Noise;
using extracttest::Text;
using testzip::CompressForMethod;
constexpr uint16_t kEndMarker = testzip::kLzmaEndMarkerFlag;

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
    const std::string packed = CompressForMethod(row.Method, text, row.Flags, 9);
    ASSERT_FALSE(packed.empty()) << tag;
    auto add = [&](const std::string& name, const std::string& raw, const std::string& plain) -> testzip::Entry& {
      auto& e = zip.AddRaw(name, raw, row.Method, testzip::Crc32(plain), static_cast<uint32_t>(plain.size()));
      e.Flags = row.Flags;
      return e;
    };
    add("text" + tag, packed, text);
    add("noise" + tag, CompressForMethod(row.Method, noise, row.Flags), noise);
    add("empty" + tag, CompressForMethod(row.Method, "", row.Flags), "");
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
