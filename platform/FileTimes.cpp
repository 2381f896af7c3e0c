#include "FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "FileNames.h"

namespace platform {

namespace {

constexpr uint32_t kHostUnix = 3;

// Held around every local-time conversion. The C library converts under a lock of its own,
// but with TZ unset each mktime frees and reads the zone again, and a thread checker does not
// see that lock: components used from several threads at once would be reported as racing.
std::mutex LocalTimeLock;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidDosDateTime(uint32_t dosDateTime) {
  const uint32_t time = dosDateTime & 0xFFFF;
  const uint32_t date = dosDateTime >> 16;
  const int second = static_cast<int>(time & 0x1F) * 2;
  const int minute = static_cast<int>((time >> 5) & 0x3F);
  const int hour = static_cast<int>(time >> 11);
  const int day = static_cast<int>(date & 0x1F);
  const int month = static_cast<int>((date >> 5) & 0x0F);
  const int year = static_cast<int>(date >> 9) + 1980;
  return second < 60 && minute < 60 && hour < 24 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool DosDateTimeToUnixTime(uint32_t dosDateTime, time_t& unixTime) {
  if (!IsValidDosDateTime(dosDateTime)) return false;
  const uint32_t time = dosDateTime & 0xFFFF;
  const uint32_t date = dosDateTime >> 16;
  std::tm tm{};
  tm.tm_sec = static_cast<int>(time & 0x1F) * 2;
  tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
  tm.tm_hour = static_cast<int>(time >> 11);
  tm.tm_mday = static_cast<int>(date & 0x1F);
  tm.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
  tm.tm_year = static_cast<int>(date >> 9) + 80;
  // Let the C library decide whether daylight saving applies on that date.
  tm.tm_isdst = -1;
  time_t t;
  {
    const std::lock_guard<std::mutex> lock(LocalTimeLock);
    t = std::mktime(&tm);
  }
  if (t == static_cast<time_t>(-1)) return false;
  unixTime = t;
  return true;
}

uint32_t UnixTimeToDosDateTime(time_t unixTime) {
  std::tm tm{};
  bool converted;
  {
    const std::lock_guard<std::mutex> lock(LocalTimeLock);
    converted = localtime_r(&unixTime, &tm) != nullptr;
  }
  if (!converted || tm.tm_year < 80) return (1u << 5 | 1u) << 16;  // 1980-01-01
  if (tm.tm_year > 80 + 127)
    return ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u);
  const uint32_t date = static_cast<uint32_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) |
                                              tm.tm_mday);
  // A leap second (60) still fits the two-second field as 29.
  const uint32_t time =
      static_cast<uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return (date << 16) | time;
}

bool SetFileModificationTime(std::string_view name, time_t unixTime) {
  const std::string host = HostPath(name);
  if (host.empty()) return false;
  struct timespec times[2];
  times[0].tv_sec = unixTime;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

mode_t EntryPermissions(uint32_t externalAttributes, uint16_t versionMadeBy, mode_t defaultMode) {
  if ((versionMadeBy >> 8) == kHostUnix) {
    const mode_t unixMode = static_cast<mode_t>(externalAttributes >> 16);
    // A link is written as a plain file holding its target: its 0777 says nothing about that
    // file, so it gets the default.
    const bool link = (unixMode & 0170000) == 0120000;
    // Only rwx: an archive must not be able to hand out setuid or setgid programs.
    if ((unixMode & 0777) != 0 && !link) return unixMode & 0777;
  }
  mode_t mode = defaultMode & 0777;
  if (externalAttributes & 0x01) mode &= ~static_cast<mode_t>(0222);
  return mode;
}

mode_t DefaultFileMode() {
  // Linux shows the mask in /proc/self/status: read there, it changes nothing, so files that
  // other threads make meanwhile keep the user's mask.
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(f);
    if (found) return 0666 & ~static_cast<mode_t>(mask);
  }
  // Elsewhere umask can only be read by setting it; keep that from racing with another reader here.
  static std::mutex guard;
  std::lock_guard<std::mutex> lock(guard);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666 & ~mask;
}

bool SetFilePermissions(std::string_view name, mode_t mode) {
  const std::string host = HostPath(name);
  if (host.empty()) return false;
  // AT_SYMLINK_NOFOLLOW: a link swapped in at this name must not pass the change on to its
  // target (the C library refuses links then).
  return ::fchmodat(AT_FDCWD, host.c_str(), mode & 0777, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace platform
