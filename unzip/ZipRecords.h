#pragma once
// The ZIP records this component reads (local file header, central directory file header,
// end of central directory record) and the classes that carry them in memory.
//
// Sizes and offsets are 32-bit unsigned on disk and held in 64-bit signed fields, so entries
// and archives between 2 and 4 GiB keep their true values.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Runtime.h"

namespace platform {
class TStream;
}

namespace unzip {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;    // "PK", 3, 4
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;  // "PK", 1, 2
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;      // "PK", 5, 6
// Archives past the 32-bit limits keep the true values in a Zip64 end record, found through
// a locator right before the end record, and in a Zip64 extra field of each central record.
inline constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;  // "PK", 6, 6
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;    // "PK", 6, 7
inline constexpr int kZip64EndRecordSize = 56;
inline constexpr int kZip64LocatorSize = 20;
inline constexpr uint16_t kZip64ExtraId = 0x0001;
// Info-ZIP's Unicode path field: the name in UTF-8, for the stored name whose CRC-32 it quotes.
inline constexpr uint16_t kUnicodePathExtraId = 0x7075;
inline constexpr int kLocalHeaderSize = 30;
inline constexpr int kCentralHeaderSize = 46;
inline constexpr int kEndRecordSize = 22;
// WinZip AES (method 99): strength, version and the method under the encryption.
inline constexpr uint16_t kWinZipAesExtraId = 0x9901;
// Modification times in UTC: Info-ZIP's extended timestamp (seconds since 1970) and the
// NTFS field (100 ns steps since 1601).
inline constexpr uint16_t kExtendedTimeExtraId = 0x5455;
inline constexpr uint16_t kNtfsExtraId = 0x000a;
// The end record is searched for in one block of at most this many bytes at the end of
// the archive: room for the longest comment (65,535 bytes) behind the record, and for the
// Zip64 locator in front of it.
inline constexpr int kEndRecordSearchSize = 0xFFFF + 22 + 20;
// A data descriptor follows an entry's data when flag bit 3 is set: an optional signature,
// the CRC-32 and both sizes (8 bytes each for a Zip64 entry).
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;  // "PK", 7, 8

// Little-endian field access on raw record bytes.
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// An entry name as stored, turned into this system's form: every "/" becomes "\", then the
// name is converted from CP437 to UTF-8, except for a name that is UTF-8 already: one whose
// entry has flag bit 11 set, or one made on a Unix host (high byte of `versionMadeBy` 3, or
// 19 for OS X) whose bytes are valid UTF-8.
std::string ConvertEntryName(std::string_view stored, uint16_t flags, uint16_t versionMadeBy = 0);

// Splits a converted name at its last "\" (or, without one, after a drive letter and ":" at
// its start) into the directory part (up to and including the delimiter, or empty) and the
// file name (the rest). A ":" anywhere else is part of the name.
void SplitEntryName(const std::string& name, std::string& directory, std::string& fileName);

// True when the packed MS-DOS date-time (time in the low 16 bits, date in the high 16 bits)
// is a real date and time.
bool IsValidDosDateTime(uint32_t dosDateTime);
// The framework's date value (days since 1899-12-30, fraction of the day) of a packed MS-DOS
// date-time; 0 for one that is no valid date.
double DosDateTimeToDateTime(uint32_t dosDateTime);

// Called when the central directory runs on into the next disk: makes that disk current
// and gives its stream.
using TNextDiskCallback = std::function<platform::TStream*()>;

// What an entry's central extra field adds besides sizes and names; all zero without it.
struct TEntryExtra {
  // WinZip AES: strength 1..3 (AES-128, -192, -256; 0: no valid field), version (1: AE-1,
  // which keeps the CRC; 2: AE-2, which does not) and the compression method of the data.
  uint8_t AesStrength = 0;
  uint16_t AesVersion = 0;
  uint16_t AesMethod = 0;
  // Modification time in UTC, when a field gave one (the NTFS field wins: it is finer).
  bool HasUtcTime = false;
  int64_t UtcTime = 0;         // seconds since 1970
  uint32_t UtcTimeNanos = 0;   // 0..999999999
  // The extended-timestamp field's own modification time, kept even where the NTFS field wins
  // above: it is the time that unzip's listings show, so ours show it too.
  bool HasUnixTime = false;
  int64_t UnixTime = 0;        // seconds since 1970
  bool IsAes() const { return AesStrength != 0; }
};

// One directory entry.
class TZipHeaderInfo : public platform::TPersistent {
public:
  TZipHeaderInfo() { SetDefaults(); }

  void Assign(const platform::TPersistent* source) override;
  void AssignTo(platform::TPersistent& dest) const override;

  void SetDefaults();

  // Fields from the 46 bytes of a central record and a name as stored.
  void LoadFromCentralRecord(const uint8_t* record, std::string_view storedName);
  // Fields from the 30 bytes of a local header and a name as stored.
  void LoadFromLocalRecord(const uint8_t* record, std::string_view storedName);

  // Reads the central record at the stream's position, name included, and skips its extra
  // field and comment. At the end of a disk, `nextDisk` (when given) supplies the next one.
  // On failure the stream is back where it was and the entry is unchanged.
  // `position`, when given, is the stream's position, kept up to date by the call so that
  // the stream need not be asked (on another disk: the position on that one).
  // `loadComment` keeps the record's comment in FileComment.
  bool ReadCentralHeader(platform::TStream& stream, const TNextDiskCallback& nextDisk = {},
                         int64_t* position = nullptr, bool loadComment = false);
  // Takes what the central record's extra field adds: the true sizes, offset and disk of a
  // Zip64 field where the record holds 0xFFFFFFFF (0xFFFF for the disk), and the UTF-8 name
  // of a Unicode path field whose CRC-32 matches the stored name.
  void ApplyCentralExtraField(std::string_view extra, std::string_view storedName);
  // Takes the true sizes from the Zip64 field of a local header's extra field, which holds
  // both (uncompressed first) when either size is 0xFFFFFFFF. True when there is such a field:
  // the entry's data descriptor then carries 8-byte sizes.
  bool ApplyLocalExtraField(std::string_view extra);
  // Reads the local header at the stream's position and its name (not its extra field).
  bool ReadLocalHeader(platform::TStream& stream);

  bool HasComment() const { return FileCommentLength != 0; }
  // Stores the comment (nullopt: none); FileCommentLength follows it.
  void SetComment(std::optional<std::string> text);
  bool IsEncrypted() const { return (Flags & 0x0001) != 0; }
  bool HasDataDescriptor() const { return (Flags & 0x0008) != 0; }
  bool HasUtf8Name() const { return (Flags & 0x0800) != 0; }
  // WinZip AES: method 99 with its extra field.
  bool IsAesEncrypted() const { return IsEncrypted() && CompressionMethod == 99 && Extra.IsAes(); }
  // The method the data is compressed with: under WinZip AES, the one its field names.
  uint16_t DataMethod() const { return IsAesEncrypted() ? Extra.AesMethod : CompressionMethod; }
  void SetFileName(const std::string& value);
  void SetDirectory(std::string value);
  // Directory + FileName.
  std::string FullName() const { return Directory + FileName; }

  uint16_t VersionMadeBy;
  uint16_t VersionNeeded;
  uint16_t Flags;
  uint16_t CompressionMethod;
  uint32_t FileDateTime;
  uint32_t Crc32;
  int64_t CompressedSize;
  int64_t UncompressedSize;
  uint16_t FileNameLength;
  uint16_t ExtraFieldLength;
  uint16_t FileCommentLength;
  uint16_t DiskNumberStart;
  uint16_t InternalAttributes;
  uint32_t ExternalAttributes;
  int64_t LocalHeaderOffset;
  int64_t CentralHeaderOffset;
  std::string FileName;
  std::string Directory;
  // The entry's comment once loaded (it may hold any bytes); none until then.
  std::optional<std::string> FileComment;
  TEntryExtra Extra;
  bool Selected;

private:
  void RecomputeNameLength();
};

// The end of central directory record of the archive.
class TEndCentral : public platform::TPersistent {
public:
  TEndCentral() { Clear(); }

  void Assign(const platform::TPersistent* source) override;
  void AssignTo(platform::TPersistent& dest) const override;

  void Clear();
  // Looks for the end record in the last kEndRecordSearchSize bytes of the stream (one read)
  // and takes its fields from the last one found. False when there is none. Fields that hold
  // their largest value are taken from a Zip64 end record when one is found through its
  // locator (a 16-bit count only when it fits; EntryTotal takes it whole).
  bool FindEndRecord(platform::TStream& stream);
  bool HasArchiveComment() const { return ArchiveCommentLength != 0; }

  uint32_t Signature;
  uint16_t ThisDiskNumber;
  uint16_t CentralStartDisk;
  uint16_t EntriesThisDisk;
  uint16_t TotalEntries;
  uint32_t CentralDirectorySize;
  uint32_t CentralDirectoryOffset;
  uint16_t ArchiveCommentLength;
  // The archive comment once loaded; none until then.
  std::optional<std::string> CommentText;
  // File position of the comment: right behind the end record.
  int64_t ArchiveCommentOffset;
  bool CommentChanged;
  // Where the central directory starts: CentralDirectoryOffset, or the Zip64 end record's
  // value where that holds 0xFFFFFFFF.
  int64_t DirectoryOffset;
  // The entries and bytes of the directory: TotalEntries and CentralDirectorySize, or the
  // Zip64 end record's values where those hold their largest. Only a Zip64 count goes past
  // 65,535.
  uint32_t EntryTotal;
  int64_t DirectorySize;
  // File position where the directory ends: that of the Zip64 end record when one was found,
  // else that of the end record. Less DirectorySize, it is where the directory really starts
  // when bytes in front of the archive moved it away from DirectoryOffset.
  int64_t DirectoryEnd;

private:
  void ReadZip64EndRecord(platform::TStream& stream, const std::vector<uint8_t>& block,
                          int64_t endRecordAt, int64_t blockStart);
};

// The framework's CompareText: only ASCII letters are folded (to upper case); everything
// else compares by its 8-bit code.
int CompareText(const std::string& a, const std::string& b);

// Orders of the entry indexes.
enum class TZipSortMode : uint8_t {
  ByName,
  ByFileName,
  ByDirectoryName,
  ByDate,
  ByCompressedSize,
  ByUnCompressedSize,
  ByRate,
  ByNone,
};

// The compression ratio used by ByRate: CompressedSize * 100 / UncompressedSize rounded to
// the nearest integer (halves to even), at most 100, 0 when UncompressedSize < 1.
int32_t CompressionRate(int64_t uncompressedSize, int64_t compressedSize);

// The comparison of the sorted entry lists: negative when `a` (the item in the list) goes
// before `b` (the key searched for or inserted). ByDate, ByCompressedSize and
// ByUnCompressedSize never report equality.
int CompareEntries(TZipSortMode mode, const TZipHeaderInfo& a, const TZipHeaderInfo& b);

}  // namespace unzip
