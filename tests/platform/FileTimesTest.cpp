#include "FileTimes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "ZipWriter.h"

namespace {

using testzip::DosDateTime;

// Runs the test body in a given time zone (POSIX rule strings need no zone database).
class ScopedTimeZone {
public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) Old = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (Old) ::setenv("TZ", Old->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

private:
  std::optional<std::string> Old;
};

TEST(DosDateTime, ReadsAsLocalTimeWithTheDaylightRuleOfItsDate) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  time_t t = 0;
  // 2020-06-15 12:30:44 is summer time (UTC+2), 2020-01-15 12:30:44 winter time (UTC+1).
  ASSERT_TRUE(platform::DosDateTimeToUnixTime(DosDateTime(2020, 6, 15, 12, 30, 44), t));
  EXPECT_EQ(t, 1592217044);
  ASSERT_TRUE(platform::DosDateTimeToUnixTime(DosDateTime(2020, 1, 15, 12, 30, 44), t));
  EXPECT_EQ(t, 1579087844);
  EXPECT_EQ(platform::UnixTimeToDosDateTime(1592217044), DosDateTime(2020, 6, 15, 12, 30, 44));
  // Odd seconds are stored rounded down to two seconds.
  EXPECT_EQ(platform::UnixTimeToDosDateTime(1592217045), DosDateTime(2020, 6, 15, 12, 30, 44));
}

TEST(DosDateTime, ClampsHostTimesOutsideItsRange) {
  ScopedTimeZone tz("UTC0");
  EXPECT_EQ(platform::UnixTimeToDosDateTime(0), DosDateTime(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(platform::UnixTimeToDosDateTime(4354819199), DosDateTime(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(platform::UnixTimeToDosDateTime(4354819200), DosDateTime(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(platform::UnixTimeToDosDateTime(315532799), DosDateTime(1980, 1, 1, 0, 0, 0));
  time_t t = 0;
  ASSERT_TRUE(platform::DosDateTimeToUnixTime(DosDateTime(1980, 1, 1, 0, 0, 0), t));
  EXPECT_EQ(t, 315532800);
}

TEST(DosDateTime, RejectsDatesAndTimesThatDoNotExist) {
  time_t t = 12345;
  const uint32_t bad[] = {
      DosDateTime(2021, 2, 29, 0, 0, 0),   // no leap year
      DosDateTime(2021, 4, 31, 0, 0, 0),   // April has 30 days
      DosDateTime(2021, 13, 1, 0, 0, 0),   // month 13
      DosDateTime(2021, 1, 0, 0, 0, 0),    // day 0
      DosDateTime(2021, 1, 1, 24, 0, 0),   // hour 24
      DosDateTime(2021, 1, 1, 0, 60, 0),   // minute 60
      (DosDateTime(2021, 1, 1, 0, 0, 0) | 30),  // 60 seconds
      0,                                   // month 0 day 0: what empty fields hold
  };
  for (uint32_t v : bad) {
    EXPECT_FALSE(platform::IsValidDosDateTime(v)) << std::hex << v;
    EXPECT_FALSE(platform::DosDateTimeToUnixTime(v, t)) << std::hex << v;
  }
  EXPECT_EQ(t, 12345);
  EXPECT_TRUE(platform::IsValidDosDateTime(DosDateTime(2020, 2, 29, 23, 59, 58)));
  EXPECT_TRUE(platform::IsValidDosDateTime(DosDateTime(2000, 2, 29, 0, 0, 0)));
  EXPECT_FALSE(platform::IsValidDosDateTime(DosDateTime(2100, 2, 29, 0, 0, 0)));
}

constexpr uint16_t kMadeOnUnix = 3 << 8 | 30;
constexpr uint16_t kMadeOnDos = 20;
constexpr uint16_t kMadeOnNtfs = 10 << 8 | 20;

TEST(EntryPermissions, UnixModesKeepOnlyReadWriteAndExecute) {
  EXPECT_EQ(platform::EntryPermissions(0100755u << 16, kMadeOnUnix, 0644), 0755u);
  EXPECT_EQ(platform::EntryPermissions(0104755u << 16, kMadeOnUnix, 0644), 0755u);  // setuid
  EXPECT_EQ(platform::EntryPermissions(0102711u << 16, kMadeOnUnix, 0644), 0711u);  // setgid
  EXPECT_EQ(platform::EntryPermissions(0101777u << 16, kMadeOnUnix, 0644), 0777u);  // sticky
  EXPECT_EQ(platform::EntryPermissions(0100400u << 16 | 0x20, kMadeOnUnix, 0644), 0400u);
  // A link's own 0777 is not given to the plain file written for it.
  EXPECT_EQ(platform::EntryPermissions(0120777u << 16, kMadeOnUnix, 0644), 0644u);
}

TEST(EntryPermissions, DosReadOnlyBitClearsTheWriteBits) {
  EXPECT_EQ(platform::EntryPermissions(0x20, kMadeOnDos, 0664), 0664u);
  EXPECT_EQ(platform::EntryPermissions(0x21, kMadeOnDos, 0664), 0444u);
  // Not made on Unix: the high bits mean nothing, even when set.
  EXPECT_EQ(platform::EntryPermissions(0104777u << 16 | 0x01, kMadeOnNtfs, 0644), 0444u);
  // Made on Unix but without a mode: the MS-DOS rule.
  EXPECT_EQ(platform::EntryPermissions(0x01, kMadeOnUnix, 0644), 0444u);
  EXPECT_EQ(platform::EntryPermissions(0x00, kMadeOnUnix, 0640), 0640u);
  // The default mode never brings in more than rwx either.
  EXPECT_EQ(platform::EntryPermissions(0x20, kMadeOnDos, 04666), 0666u);
}

struct stat Lstat(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(FileAttributes, TimeAndModeReachTheFileButNeverALinkTarget) {
  testzip::TempDir dir;
  const std::string file = dir.Path() + "/f.txt", link = dir.Path() + "/l.txt";
  testzip::WriteFile(file, "x");
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(::symlink("f.txt", link.c_str()), 0);

  ASSERT_TRUE(platform::SetFileModificationTime(file, 1000000000));
  ASSERT_TRUE(platform::SetFilePermissions(file, 04750));
  EXPECT_EQ(Lstat(file).st_mtime, 1000000000);
  EXPECT_EQ(Lstat(file).st_mode & 07777, 0750u);

  // Through the link: the link's own time changes, the file's does not; no mode change.
  ASSERT_TRUE(platform::SetFileModificationTime(link, 1100000000));
  EXPECT_EQ(Lstat(link).st_mtime, 1100000000);
  EXPECT_EQ(Lstat(file).st_mtime, 1000000000);
  EXPECT_FALSE(platform::SetFilePermissions(link, 0600));
  EXPECT_EQ(Lstat(file).st_mode & 07777, 0750u);

  EXPECT_FALSE(platform::SetFileModificationTime(dir.Path() + "/missing", 0));
  EXPECT_FALSE(platform::SetFilePermissions(dir.Path() + "/missing", 0600));
}

TEST(FileAttributes, DefaultModeFollowsTheUmask) {
  const mode_t old = ::umask(027);
  EXPECT_EQ(platform::DefaultFileMode(), 0640u);
  ::umask(old);
  EXPECT_EQ(platform::DefaultFileMode(), 0666u & ~old);
}

}  // namespace
