#pragma once
// File times and attributes where ZIP entries meet the host file system.
//
// ZIP keeps a file's modification time as MS-DOS local date-time (time in the low 16 bits,
// date in the high 16 bits, two-second steps) and its attributes in the 32-bit external
// attributes, whose meaning depends on the system that made the entry (the high byte of
// "version made by": 0 MS-DOS, 3 Unix, ...). These functions turn both into what POSIX has.
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/types.h>

namespace platform {

// True when the packed MS-DOS date-time names a real date and time (month 1-12, a day that
// month has, hour < 24, minute < 60, seconds < 60).
bool IsValidDosDateTime(uint32_t dosDateTime);

// The MS-DOS local date-time as a host time (seconds since the epoch), read in the local
// time zone with its daylight-saving rule for that date. False for an invalid date-time.
bool DosDateTimeToUnixTime(uint32_t dosDateTime, time_t& unixTime);
// A host time as MS-DOS local date-time, rounded down to two seconds. Times before 1980 give
// 1980-01-01 00:00:00, times after 2107 give the last representable moment.
uint32_t UnixTimeToDosDateTime(time_t unixTime);

// Sets the modification (and access) time of a file. A symbolic link itself is changed,
// never the file it points to. False when that fails.
bool SetFileModificationTime(std::string_view name, time_t unixTime);

// The permission bits an extracted file gets.
//  - Entries made on Unix (high byte of versionMadeBy = 3) carry a Unix mode in the high
//    16 bits of the external attributes: its read/write/execute bits (0777) are taken; the
//    setuid, setgid and sticky bits never are. A Unix entry without permission bits there
//    is treated like an MS-DOS one, and so is one that was a symbolic link (made as a link,
//    or written as a plain file holding its target when links are not made).
//  - Otherwise the MS-DOS read-only bit (0x01) clears the write bits of `defaultMode`.
mode_t EntryPermissions(uint32_t externalAttributes, uint16_t versionMadeBy, mode_t defaultMode);

// The mode a new file gets on this host: 0666 less the process's umask.
mode_t DefaultFileMode();

// Sets the permission bits (masked to 0777) of a file; a symbolic link is never followed.
// False when that fails.
bool SetFilePermissions(std::string_view name, mode_t mode);

}  // namespace platform
