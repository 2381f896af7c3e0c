// Peak memory of a whole extraction is bounded by the work blocks and the directory, not by
// what an entry declares: hostile entries that declare about 4 GiB extract (or fail) under
// 64 MiB of peak resident memory. Measured in a child process with getrusage (ru_maxrss), so
// the figure is that of one extraction and nothing the test process did before.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "HostileSupport.h"
#include "ZipWriter.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBIN_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORBIN_UNDER_ASAN 1
#endif

namespace {

constexpr long kLimitKiB = 64 * 1024;

// Extracts `zip` in a child; returns the child's peak resident size in KiB, or -1.
long PeakKiB(const std::string& zip, const std::string& dest, std::string& report) {
  int status = 0;
  report = hostile::InChild(
      [&] {
        const hostile::Outcome out = hostile::ExtractAll(zip, dest);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return std::to_string(usage.ru_maxrss) + " " +
               (out.Error ? *out.Error : "count " + std::to_string(out.Count));
      },
      status);
  if (status != 0) return -1;
  const long peak = std::stol(report);
  ::testing::Test::RecordProperty("peak_kib", std::to_string(peak));
  return peak;
}

class PeakMemory : public ::testing::Test {
protected:
  void SetUp() override {
#ifdef QUORBIN_UNDER_ASAN
    GTEST_SKIP() << "peak memory means nothing under AddressSanitizer (shadow and quarantine)";
#endif
  }
};

TEST_F(PeakMemory, DeflateBombDeclaringFourGiB) {
  // 96 MiB of zeros deflate to about 100 KB; the entry declares 0xFFFFFFFF bytes. A decoder
  // that held its output, or allocated by the declared size, would blow far past the limit.
  testzip::TempDir dir;
  {
    // Made and released before the child starts: it must not count in the child's peak.
    testzip::ZipWriter zip;
    const std::string zeros(96u << 20, '\0');
    zip.AddRaw("bomb.bin", testzip::Deflate(zeros, 9), 8, testzip::Crc32(zeros), 0xFFFFFFFFu);
    zip.WriteTo(dir.Path() + "/bomb.zip");
  }
  std::string report;
  const long peak = PeakKiB(dir.Path() + "/bomb.zip", dir.Path() + "/out", report);
  ASSERT_GT(peak, 0) << report;
  EXPECT_LT(peak, kLimitKiB) << "peak " << peak << " KiB: " << report;
}

TEST_F(PeakMemory, StoredEntryDeclaringFourGiBOfDataThatIsNotThere) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  auto& e = zip.Add("huge.bin", std::string(1000, 'h'));
  e.CompressedSize = 0xFFFFFFF0u;
  e.UncompressedSize = 0xFFFFFFF0u;
  zip.WriteTo(dir.Path() + "/huge.zip");
  std::string report;
  const long peak = PeakKiB(dir.Path() + "/huge.zip", dir.Path() + "/out", report);
  ASSERT_GT(peak, 0) << report;
  EXPECT_LT(peak, kLimitKiB) << "peak " << peak << " KiB: " << report;
  // The data is not there, so the entry must not come out as extracted.
  EXPECT_EQ(report.find("count 1"), std::string::npos) << report;
}

TEST_F(PeakMemory, ManyEntriesDeclaringFourGiBEach) {
  // Sixty-four entries that each declare 4 GiB: the run's totals grow, its memory must not.
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  for (int i = 0; i < 64; ++i)
    zip.AddRaw("e" + std::to_string(i), testzip::Deflate(std::string(1 << 16, 'z'), 9), 8, 0,
               0xFFFFFFFFu);
  zip.WriteTo(dir.Path() + "/many.zip");
  std::string report;
  const long peak = PeakKiB(dir.Path() + "/many.zip", dir.Path() + "/out", report);
  ASSERT_GT(peak, 0) << report;
  EXPECT_LT(peak, kLimitKiB) << "peak " << peak << " KiB: " << report;
}

}  // namespace
