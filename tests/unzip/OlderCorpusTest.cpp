// Every shrunk, reduced and imploded entry of the shared corpus of real archives decodes to
// its recorded CRC-32 and size, within its own compressed bytes. The archives come from old
// PKZIP versions, public test suites and an independent encoder.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CodePage.h"
#include "Decoders.h"
#include "ExtractFixture.h"
#include "ExtractState.h"
#include "MemoryExtractHost.h"
#include "ZipWriter.h"

namespace {

const std::string kCorpus = std::string(QUORBIN_SHARED_DIR) + "/corpus";

struct TManifestRow {
  std::string Archive, Entry;
  int Method = 0;
  uint16_t Flags = 0;
  int64_t Compressed = 0, Uncompressed = 0;
  uint32_t Crc = 0;
  std::string Password, Expect;
};

std::vector<TManifestRow> ReadManifest() {
  std::vector<TManifestRow> rows;
  std::ifstream in(kCorpus + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    while (f.size() < 9) f.emplace_back();
    // Rows of whole archives (damaged or unreadable ones) carry no entry fields.
    if (f[2].empty()) continue;
    TManifestRow r;
    r.Archive = f[0];
    r.Entry = f[1];
    r.Method = std::stoi(f[2]);
    r.Flags = static_cast<uint16_t>(std::stoul(f[3], nullptr, 16));
    r.Compressed = std::stoll(f[4]);
    r.Uncompressed = std::stoll(f[5]);
    r.Crc = static_cast<uint32_t>(std::stoul(f[6], nullptr, 16));
    r.Password = f[7];
    r.Expect = f[8];
    rows.push_back(r);
  }
  return rows;
}

std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// Where an entry's compressed data starts, from the central directory and the local header.
// These archives are plain single-disk ones without leading data.
struct TEntryData {
  size_t Offset = 0;
  bool Found = false;
};

TEntryData FindEntry(const std::vector<uint8_t>& zip, const std::string& name) {
  TEntryData d;
  if (zip.size() < 22) return d;
  size_t eocd = zip.size() - 22;
  while (eocd > 0 && Le32(zip, eocd) != 0x06054b50) --eocd;
  if (Le32(zip, eocd) != 0x06054b50) return d;
  const unsigned count = Le16(zip, eocd + 10);
  size_t p = Le32(zip, eocd + 16);
  for (unsigned i = 0; i < count && p + 46 <= zip.size() && Le32(zip, p) == 0x02014b50; ++i) {
    const size_t nameLen = Le16(zip, p + 28), extraLen = Le16(zip, p + 30), commentLen = Le16(zip, p + 32);
    const std::string entryName(zip.begin() + static_cast<long>(p + 46),
                                zip.begin() + static_cast<long>(p + 46 + nameLen));
    // The manifest gives names as text: names without the UTF-8 flag are CP437.
    const bool utf8 = (Le16(zip, p + 8) & 0x800) != 0;
    if (entryName == name || (!utf8 && platform::OemToAnsi(entryName) == name)) {
      const size_t local = Le32(zip, p + 42);
      if (local + 30 > zip.size() || Le32(zip, local) != 0x04034b50) return d;
      d.Offset = local + 30 + Le16(zip, local + 26) + Le16(zip, local + 28);
      d.Found = true;
      return d;
    }
    p += 46 + nameLen + extraLen + commentLen;
  }
  return d;
}

// Decodes all corpus entries whose method is in [lo, hi]; returns how many it decoded.
int DecodeCorpus(int lo, int hi) {
  std::map<std::string, std::vector<uint8_t>> archives;
  int decoded = 0;
  for (const TManifestRow& row : ReadManifest()) {
    if (row.Method < lo || row.Method > hi) continue;
    SCOPED_TRACE(row.Archive + " : " + row.Entry);
    auto& zip = archives[row.Archive];
    if (zip.empty()) zip = ReadWhole(kCorpus + "/" + row.Archive);
    const TEntryData where = FindEntry(zip, row.Entry);
    if (!where.Found) {
      ADD_FAILURE() << "entry not found in the archive";
      continue;
    }

    unzip::testing::TMemoryExtractHost host(zip);
    host.RecordEvents = false;
    host.DoProcessMessages = false;
    host.Position = where.Offset;
    unzip::TExtractState state(host);
    state.SetEntry(row.Flags, row.Compressed, row.Uncompressed);
    if (row.Flags & 1) {
      if (row.Password.empty()) {
        ADD_FAILURE() << "encrypted entry without a password in the manifest";
        continue;
      }
      state.DecryptHeader(row.Password);
    }
    state.BeginDecoding();
    switch (row.Method) {
      case 1: unzip::ExtractShrunk(state); break;
      case 6: unzip::ExtractImploded(state); break;
      default: unzip::ExtractReduced(state, row.Method - 1); break;
    }
    const std::string out(host.Output.begin(), host.Output.end());
    EXPECT_EQ(static_cast<int64_t>(out.size()), row.Uncompressed);
    EXPECT_EQ(testzip::Crc32(out), row.Crc);
    EXPECT_EQ(~state.RunningCrc, row.Crc);
    EXPECT_FALSE(state.OutputCapped);
    // The decoder never takes a byte beyond the entry's compressed data.
    EXPECT_LE(host.Position, where.Offset + static_cast<size_t>(row.Compressed));
    ++decoded;
  }
  return decoded;
}

bool CorpusPresent() { return std::ifstream(kCorpus + "/MANIFEST.tsv").good(); }

TEST(OlderMethodsCorpus, EveryShrunkEntryMatchesItsCrc) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << kCorpus << " (the shared test archives are absent)";
  const int n = DecodeCorpus(1, 1);
  EXPECT_GT(n, 20);
  std::printf("shrunk entries decoded: %d\n", n);
}

TEST(OlderMethodsCorpus, EveryReducedEntryMatchesItsCrc) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << kCorpus << " (the shared test archives are absent)";
  const int n = DecodeCorpus(2, 5);
  EXPECT_GT(n, 40);
  std::printf("reduced entries decoded: %d\n", n);
}

TEST(OlderMethodsCorpus, EveryImplodedEntryMatchesItsCrc) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << kCorpus << " (the shared test archives are absent)";
  const int n = DecodeCorpus(6, 6);
  EXPECT_GT(n, 150);
  std::printf("imploded entries decoded: %d\n", n);
}

// The same archives through the component's whole extraction run: the decoders are reached
// by the method dispatch, encrypted entries are decrypted first, every file is written.
class OlderMethodsExtraction : public extracttest::ExtractTest {};

TEST_F(OlderMethodsExtraction, WholeArchivesExtractEveryFileWithItsCrc) {
  if (!CorpusPresent()) GTEST_SKIP() << "no corpus at " << kCorpus << " (the shared test archives are absent)";
  const char* archives[] = {"generated/hw-shrink.zip",          "generated/hw-reduce1.zip",
                            "generated/hw-reduce4.zip",         "generated/hw-implode-4k-nolit.zip",
                            "generated/hw-implode-8k-lit.zip",  "features/zipcrypto-hw-reduce2.zip",
                            "features/zipcrypto-hw-implode-8k-lit.zip"};
  const auto manifest = ReadManifest();
  for (const char* archive : archives) {
    SCOPED_TRACE(archive);
    Zip.SetZipName(kCorpus + "/" + archive);
    Zip.SetDestDir(Dest + "/" + archive);
    Zip.DoAll = true;
    Zip.Password = "legacy";
    Zip.ReadDirectory();
    EXPECT_EQ(Zip.ExtractFiles(), Zip.EntryCount());
    int checked = 0;
    for (const TManifestRow& row : manifest) {
      if (row.Archive != archive) continue;
      const std::string data = testzip::ReadFile(Dest + "/" + archive + "/" + row.Entry);
      EXPECT_EQ(testzip::Crc32(data), row.Crc) << row.Entry;
      EXPECT_EQ(static_cast<int64_t>(data.size()), row.Uncompressed) << row.Entry;
      ++checked;
    }
    EXPECT_GT(checked, 3);
  }
}

}  // namespace
