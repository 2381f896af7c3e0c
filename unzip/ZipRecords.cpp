#include "ZipRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "CodePage.h"
#include "Crc32.h"
#include "Streams.h"

namespace unzip {

namespace {

uint16_t SaturatedLength(size_t n) { return static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF)); }

// Reads exactly `count` bytes into `out`; false on a short read.
bool ReadExact(platform::TStream& stream, std::string& out, int64_t count) {
  out.resize(static_cast<size_t>(count));
  return count == 0 || stream.Read(out.data(), count) == count;
}

bool StartsWithSignature(const uint8_t* bytes, int64_t count, uint32_t signature) {
  const uint8_t sig[4] = {static_cast<uint8_t>(signature), static_cast<uint8_t>(signature >> 8),
                          static_cast<uint8_t>(signature >> 16),
                          static_cast<uint8_t>(signature >> 24)};
  return count > 0 && std::memcmp(bytes, sig, static_cast<size_t>(std::min<int64_t>(count, 4))) == 0;
}

int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int64_t>(era) * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

int CompareText(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int ca = static_cast<unsigned char>(a[i]);
    int cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'a' && ca <= 'z') ca -= 'a' - 'A';
    if (cb >= 'a' && cb <= 'z') cb -= 'a' - 'A';
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

namespace {

uint32_t DateKey(uint32_t dosDateTime) {
  return IsValidDosDateTime(dosDateTime) ? dosDateTime : 0;
}

}  // namespace

// ---- Names and dates -----------------------------------------------------------------------

namespace {

// Where a converted name splits: its last "\", or the ":" of a drive letter at its start;
// npos for a name without a directory part.
size_t NameCut(const std::string& name) {
  // A ":" is a drive delimiter only where one can stand: after a letter at the start of the
  // name. Anywhere else ("sub/a:b.txt", a valid name on Unix hosts) it is part of the name.
  size_t cut = name.rfind('\\');
  if (cut == std::string::npos && name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z')))
    cut = 1;
  return cut;
}

// ConvertEntryName into `name`, whose storage is reused.
void ConvertEntryNameInto(std::string_view stored, uint16_t flags, uint16_t versionMadeBy, std::string& name) {
  // A name ends at its first zero byte, as every file-system call will read it: otherwise the
  // name reported and checked would not be the file made.
  name.assign(stored.substr(0, stored.find('\0')));
  std::replace(name.begin(), name.end(), '/', '\\');
  if (flags & 0x0800) return;  // already UTF-8
  // ASCII reads the same in both (and is valid UTF-8): the common case, checked first.
  if (std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
    return;
  // Zip tools on Unix and macOS store the file system's names, UTF-8, without saying so.
  // Names from MS-DOS, Windows and OS/2 are in the OEM code page, and so is anything that is
  // not UTF-8.
  const int host = versionMadeBy >> 8;
  if (host == 3 || host == 19) {
    platform::TUtf8Check utf8;
    if (utf8.Add(name) && utf8.Complete()) return;
  }
  name = platform::OemToAnsi(name);
}

// The stored name converted and split into an entry's own strings, reusing their storage.
void TakeEntryName(std::string_view stored, uint16_t flags, uint16_t versionMadeBy, std::string& directory,
                   std::string& fileName) {
  ConvertEntryNameInto(stored, flags, versionMadeBy, fileName);
  const size_t cut = NameCut(fileName);
  if (cut == std::string::npos) {
    directory.clear();
  } else {
    directory.assign(fileName, 0, cut + 1);
    fileName.erase(0, cut + 1);
  }
}

}  // namespace

std::string ConvertEntryName(std::string_view stored, uint16_t flags, uint16_t versionMadeBy) {
  std::string name;
  ConvertEntryNameInto(stored, flags, versionMadeBy, name);
  return name;
}

void SplitEntryName(const std::string& name, std::string& directory, std::string& fileName) {
  const size_t cut = NameCut(name);
  if (cut == std::string::npos) {
    directory.clear();
    fileName = name;
  } else {
    directory = name.substr(0, cut + 1);
    fileName = name.substr(cut + 1);
  }
}

bool IsValidDosDateTime(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  const int year = 1980 + static_cast<int>(date >> 9);
  const unsigned month = (date >> 5) & 0x0F;
  const unsigned day = date & 0x1F;
  const unsigned hour = time >> 11;
  const unsigned minute = (time >> 5) & 0x3F;
  const unsigned second = (time & 0x1F) * 2;
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const unsigned daysInMonth = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  return day <= daysInMonth && hour < 24 && minute < 60 && second < 60;
}

double DosDateTimeToDateTime(uint32_t dosDateTime) {
  if (!IsValidDosDateTime(dosDateTime)) return 0.0;
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  const int64_t days = DaysFromCivil(1980 + static_cast<int>(date >> 9), (date >> 5) & 0x0F,
                                     date & 0x1F) -
                       DaysFromCivil(1899, 12, 30);
  const double seconds = (time >> 11) * 3600.0 + ((time >> 5) & 0x3F) * 60.0 + (time & 0x1F) * 2.0;
  return static_cast<double>(days) + seconds / 86400.0;
}

int32_t CompressionRate(int64_t uncompressedSize, int64_t compressedSize) {
  if (uncompressedSize < 1) return 0;
  const double rate = std::nearbyint(static_cast<double>(compressedSize) * 100.0 /
                                     static_cast<double>(uncompressedSize));
  return rate > 100.0 ? 100 : static_cast<int32_t>(rate);
}

int CompareEntries(TZipSortMode mode, const TZipHeaderInfo& a, const TZipHeaderInfo& b) {
  switch (mode) {
    case TZipSortMode::ByName:
      return CompareText(a.Directory + a.FileName, b.Directory + b.FileName);
    case TZipSortMode::ByFileName:
      return CompareText(a.FileName, b.FileName);
    case TZipSortMode::ByDirectoryName:
      return CompareText(a.Directory, b.Directory);
    case TZipSortMode::ByDate:
      return DateKey(b.FileDateTime) > DateKey(a.FileDateTime) ? 1 : -1;
    case TZipSortMode::ByCompressedSize:
      return b.CompressedSize - a.CompressedSize > 0 ? 1 : -1;
    case TZipSortMode::ByUnCompressedSize:
      return b.UncompressedSize - a.UncompressedSize > 0 ? 1 : -1;
    case TZipSortMode::ByRate:
      return CompressionRate(b.UncompressedSize, b.CompressedSize) -
             CompressionRate(a.UncompressedSize, a.CompressedSize);
    case TZipSortMode::ByNone:
      if (a.DiskNumberStart != b.DiskNumberStart)
        return a.DiskNumberStart < b.DiskNumberStart ? -1 : 1;
      if (a.LocalHeaderOffset != b.LocalHeaderOffset)
        return a.LocalHeaderOffset < b.LocalHeaderOffset ? -1 : 1;
      return 0;
  }
  return 0;
}

// ---- TZipHeaderInfo ------------------------------------------------------------------------

void TZipHeaderInfo::SetDefaults() {
  VersionMadeBy = 20;
  VersionNeeded = 20;
  Flags = 0;
  CompressionMethod = 8;
  FileDateTime = 0;
  Crc32 = 0xFFFFFFFF;
  CompressedSize = 0;
  UncompressedSize = 0;
  FileNameLength = 0;
  ExtraFieldLength = 0;
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 1;
  ExternalAttributes = 0x20;
  LocalHeaderOffset = 0;
  CentralHeaderOffset = 0;
  FileName.clear();
  Directory.clear();
  FileComment.reset();
  Extra = {};
  Selected = false;
}

void TZipHeaderInfo::Assign(const platform::TPersistent* source) {
  const auto* src = dynamic_cast<const TZipHeaderInfo*>(source);
  if (!src) {
    platform::TPersistent::Assign(source);
    return;
  }
  if (src == this) return;
  VersionMadeBy = src->VersionMadeBy;
  VersionNeeded = src->VersionNeeded;
  Flags = src->Flags;
  CompressionMethod = src->CompressionMethod;
  FileDateTime = src->FileDateTime;
  Crc32 = src->Crc32;
  CompressedSize = src->CompressedSize;
  UncompressedSize = src->UncompressedSize;
  ExtraFieldLength = src->ExtraFieldLength;
  FileCommentLength = src->FileCommentLength;
  DiskNumberStart = src->DiskNumberStart;
  InternalAttributes = src->InternalAttributes;
  ExternalAttributes = src->ExternalAttributes;
  LocalHeaderOffset = src->LocalHeaderOffset;
  CentralHeaderOffset = src->CentralHeaderOffset;
  FileNameLength = src->FileNameLength;
  SetFileName(src->FileName);
  SetDirectory(src->Directory);
  // A comment travels only when the source has one loaded; otherwise it is loaded again
  // from the archive when asked for.
  if (src->FileCommentLength != 0 && src->FileComment)
    FileComment = *src->FileComment;
  else
    FileComment.reset();
  Extra = src->Extra;
  Selected = src->Selected;
}

void TZipHeaderInfo::AssignTo(platform::TPersistent& dest) const {
  if (auto* d = dynamic_cast<TZipHeaderInfo*>(&dest)) {
    d->Assign(this);
    return;
  }
  platform::TPersistent::AssignTo(dest);
}

void TZipHeaderInfo::LoadFromCentralRecord(const uint8_t* r, std::string_view storedName) {
  VersionMadeBy = GetU16(r + 4);
  VersionNeeded = GetU16(r + 6);
  Flags = GetU16(r + 8);
  CompressionMethod = GetU16(r + 10);
  FileDateTime = GetU32(r + 12);
  Crc32 = GetU32(r + 16);
  CompressedSize = GetU32(r + 20);
  UncompressedSize = GetU32(r + 24);
  FileNameLength = GetU16(r + 28);
  ExtraFieldLength = GetU16(r + 30);
  FileCommentLength = GetU16(r + 32);
  DiskNumberStart = GetU16(r + 34);
  InternalAttributes = GetU16(r + 36);
  ExternalAttributes = GetU32(r + 38);
  LocalHeaderOffset = GetU32(r + 42);
  CentralHeaderOffset = 0;
  TakeEntryName(storedName, Flags, VersionMadeBy, Directory, FileName);
  RecomputeNameLength();
  FileComment.reset();
  Extra = {};
  Selected = false;
}

void TZipHeaderInfo::LoadFromLocalRecord(const uint8_t* r, std::string_view storedName) {
  VersionMadeBy = 0;
  VersionNeeded = GetU16(r + 4);
  Flags = GetU16(r + 6);
  CompressionMethod = GetU16(r + 8);
  FileDateTime = GetU32(r + 10);
  Crc32 = GetU32(r + 14);
  CompressedSize = GetU32(r + 18);
  UncompressedSize = GetU32(r + 22);
  FileNameLength = GetU16(r + 26);
  ExtraFieldLength = GetU16(r + 28);
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 0;
  ExternalAttributes = 0;
  LocalHeaderOffset = 0;
  CentralHeaderOffset = 0;
  TakeEntryName(storedName, Flags, 0, Directory, FileName);
  FileComment.reset();
  Selected = false;
}

bool TZipHeaderInfo::ReadCentralHeader(platform::TStream& stream, const TNextDiskCallback& nextDisk,
                                       int64_t* position, bool loadComment) {
  platform::TStream* s = &stream;
  const int64_t p = position ? *position : s->Position();
  uint8_t record[kCentralHeaderSize];
  int64_t got = s->Read(record, kCentralHeaderSize);
  // Where the rest of the record starts on the stream that holds it.
  int64_t restStart = p + got;
  bool switched = false;
  // The directory may run on into the next disk: at the end of this one, or with a record
  // cut at the disk's end.
  if (nextDisk && (got == 0 || (got < kCentralHeaderSize &&
                                StartsWithSignature(record, got, kCentralHeaderSignature)))) {
    // The old stream is gone once the next disk is current.
    s = nextDisk();
    if (!s) return false;
    switched = true;
    const int64_t more = s->Read(record + got, kCentralHeaderSize - got);
    got += more;
    restStart = more;
  }
  if (got < kCentralHeaderSize || GetU32(record) != kCentralHeaderSignature) {
    s->SetPosition(switched ? 0 : p);
    if (position) *position = switched ? 0 : p;
    return false;
  }
  // Name, extra field and comment in one read: skipping by seeking would throw away what
  // the buffered stream has read ahead, at every record.
  const int64_t nameLength = GetU16(record + 28);
  const int64_t commentLength = GetU16(record + 32);
  const int64_t tailLength = nameLength + GetU16(record + 30) + commentLength;
  // Most records' tails fit on the stack: no heap block per record on a directory read.
  char small[1024];
  std::string large;
  if (tailLength > static_cast<int64_t>(sizeof small)) large.resize(static_cast<size_t>(tailLength));
  char* const tailBytes = large.empty() ? small : large.data();
  const int64_t tailGot = tailLength == 0 ? 0 : std::max<int64_t>(s->Read(tailBytes, tailLength), 0);
  const std::string_view tail(tailBytes, static_cast<size_t>(std::max<int64_t>(tailGot, 0)));
  if (tailGot < nameLength) {
    const int64_t back = switched ? 0 : p;
    s->SetPosition(back);
    if (position) *position = back;
    return false;
  }
  const std::string_view storedName = tail.substr(0, static_cast<size_t>(nameLength));
  LoadFromCentralRecord(record, storedName);
  const int64_t extraLength = std::min<int64_t>(GetU16(record + 30), tailGot - nameLength);
  if (extraLength > 0)
    ApplyCentralExtraField(tail.substr(static_cast<size_t>(nameLength), static_cast<size_t>(extraLength)),
                           storedName);
  CentralHeaderOffset = p;
  if (loadComment && commentLength > 0) {
    const int64_t commentStart = tailLength - commentLength;
    FileComment = std::string(tail.substr(static_cast<size_t>(std::min(commentStart, tailGot)),
                                          static_cast<size_t>(std::max<int64_t>(tailGot - commentStart, 0))));
  }
  if (position) *position = restStart + tailGot;
  return true;
}

void TZipHeaderInfo::ApplyCentralExtraField(std::string_view extra, std::string_view storedName) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  size_t at = 0;
  bool ntfsTime = false;
  while (at + 4 <= extra.size()) {
    const uint16_t id = GetU16(p + at);
    const size_t size = GetU16(p + at + 2);
    const uint8_t* data = p + at + 4;
    if (at + 4 + size > extra.size()) break;  // a field cut short is not read at all
    at += 4 + size;
    if (id == kZip64ExtraId) {
      // Only the values the record left at their largest are there, in this order. A value
      // that no file can have (2^62 or more) is not taken: sizes and offsets stay positive.
      size_t used = 0;
      auto take64 = [&](int64_t& field) {
        if (used + 8 > size) return;
        uint64_t v = GetU32(data + used) | (static_cast<uint64_t>(GetU32(data + used + 4)) << 32);
        used += 8;
        if (v < (uint64_t{1} << 62)) field = static_cast<int64_t>(v);
      };
      if (UncompressedSize == 0xFFFFFFFFLL) take64(UncompressedSize);
      if (CompressedSize == 0xFFFFFFFFLL) take64(CompressedSize);
      if (LocalHeaderOffset == 0xFFFFFFFFLL) take64(LocalHeaderOffset);
      if (DiskNumberStart == 0xFFFF && used + 4 <= size && GetU32(data + used) < 0xFFFF)
        DiskNumberStart = static_cast<uint16_t>(GetU32(data + used));
    } else if (id == kUnicodePathExtraId && size > 5 && data[0] == 1 &&
               GetU32(data + 1) ==
                   Crc32Of(reinterpret_cast<const uint8_t*>(storedName.data()), storedName.size())) {
      // Written by tools that store the name in a code page and its true form beside it; the
      // CRC shows the name was not changed since by a tool that knew nothing of the field.
      std::string directory, fileName;
      SplitEntryName(ConvertEntryName(std::string_view(reinterpret_cast<const char*>(data + 5), size - 5),
                                      static_cast<uint16_t>(Flags | 0x0800)),
                     directory, fileName);
      Directory = std::move(directory);
      FileName = std::move(fileName);
      RecomputeNameLength();
    } else if (id == kWinZipAesExtraId && size >= 7 && data[2] == 'A' && data[3] == 'E' &&
               data[4] >= 1 && data[4] <= 3 && (GetU16(data) == 1 || GetU16(data) == 2)) {
      Extra.AesVersion = GetU16(data);
      Extra.AesStrength = data[4];
      Extra.AesMethod = GetU16(data + 5);
    } else if (id == kNtfsExtraId) {
      // Four reserved bytes, then tagged attributes; tag 1 holds the three file times.
      for (size_t t = 4; t + 4 <= size;) {
        const uint16_t tag = GetU16(data + t), tagSize = GetU16(data + t + 2);
        if (t + 4 + tagSize > size) break;
        if (tag == 1 && tagSize >= 8) {
          const uint64_t ft = GetU32(data + t + 4) | (static_cast<uint64_t>(GetU32(data + t + 8)) << 32);
          // 100 ns steps since 1601; 0 means "not recorded". Kept within what time_t holds.
          constexpr uint64_t k1601To1970 = 116444736000000000ULL;
          if (ft != 0 && ft < (uint64_t{1} << 62)) {
            const int64_t since1970 = static_cast<int64_t>(ft) - static_cast<int64_t>(k1601To1970);
            int64_t seconds = since1970 / 10000000, rest = since1970 % 10000000;
            if (rest < 0) {
              rest += 10000000;
              --seconds;
            }
            Extra.HasUtcTime = true;
            Extra.UtcTime = seconds;
            Extra.UtcTimeNanos = static_cast<uint32_t>(rest * 100);
            ntfsTime = true;
          }
        }
        t += 4 + tagSize;
      }
    } else if (id == kExtendedTimeExtraId && size >= 5 && (data[0] & 1)) {
      // The modification time comes first, signed 32-bit seconds since 1970.
      Extra.HasUnixTime = true;
      Extra.UnixTime = static_cast<int32_t>(GetU32(data + 1));
      if (!ntfsTime) {
        Extra.HasUtcTime = true;
        Extra.UtcTime = Extra.UnixTime;
        Extra.UtcTimeNanos = 0;
      }
    }
  }
}

bool TZipHeaderInfo::ApplyLocalExtraField(std::string_view extra) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = GetU16(p + at);
    const size_t size = GetU16(p + at + 2);
    const uint8_t* data = p + at + 4;
    if (at + 4 + size > extra.size()) break;
    at += 4 + size;
    if (id != kZip64ExtraId) continue;
    auto value = [&](size_t offset, int64_t& field) {
      if (offset + 8 > size) return;
      const uint64_t v = GetU32(data + offset) | (static_cast<uint64_t>(GetU32(data + offset + 4)) << 32);
      if (v < (uint64_t{1} << 62)) field = static_cast<int64_t>(v);
    };
    if (UncompressedSize == 0xFFFFFFFFLL || CompressedSize == 0xFFFFFFFFLL) {
      if (UncompressedSize == 0xFFFFFFFFLL) value(0, UncompressedSize);
      if (CompressedSize == 0xFFFFFFFFLL) value(8, CompressedSize);
    }
    return true;
  }
  return false;
}

bool TZipHeaderInfo::ReadLocalHeader(platform::TStream& stream) {
  const int64_t p = stream.Position();
  uint8_t record[kLocalHeaderSize];
  if (stream.Read(record, kLocalHeaderSize) != kLocalHeaderSize ||
      GetU32(record) != kLocalHeaderSignature) {
    stream.SetPosition(p);
    return false;
  }
  std::string name;
  if (!ReadExact(stream, name, GetU16(record + 26))) {
    stream.SetPosition(p);
    return false;
  }
  LoadFromLocalRecord(record, name);
  LocalHeaderOffset = p;
  return true;
}

void TZipHeaderInfo::SetComment(std::optional<std::string> text) {
  FileComment = std::move(text);
  FileCommentLength = FileComment ? SaturatedLength(FileComment->size()) : 0;
}

void TZipHeaderInfo::SetFileName(const std::string& value) {
  if (value == FileName) return;
  FileName = value;
  RecomputeNameLength();
}

void TZipHeaderInfo::SetDirectory(std::string value) {
  if (!value.empty() && value.back() != '\\') value += '\\';
  if (value == Directory) return;
  Directory = std::move(value);
  RecomputeNameLength();
}

void TZipHeaderInfo::RecomputeNameLength() {
  FileNameLength = SaturatedLength(Directory.size() + FileName.size());
}

// ---- TEndCentral ---------------------------------------------------------------------------

void TEndCentral::Clear() {
  Signature = kEndRecordSignature;
  ThisDiskNumber = 0;
  CentralStartDisk = 0;
  EntriesThisDisk = 0;
  TotalEntries = 0;
  CentralDirectorySize = 0;
  CentralDirectoryOffset = 0;
  ArchiveCommentLength = 0;
  CommentText.reset();
  ArchiveCommentOffset = 0;
  CommentChanged = false;
  DirectoryOffset = 0;
  EntryTotal = 0;
  DirectorySize = 0;
  DirectoryEnd = 0;
}

void TEndCentral::Assign(const platform::TPersistent* source) {
  const auto* src = dynamic_cast<const TEndCentral*>(source);
  if (!src) {
    platform::TPersistent::Assign(source);
    return;
  }
  if (src == this) return;
  Signature = src->Signature;
  ThisDiskNumber = src->ThisDiskNumber;
  CentralStartDisk = src->CentralStartDisk;
  EntriesThisDisk = src->EntriesThisDisk;
  TotalEntries = src->TotalEntries;
  CentralDirectorySize = src->CentralDirectorySize;
  CentralDirectoryOffset = src->CentralDirectoryOffset;
  ArchiveCommentLength = src->ArchiveCommentLength;
  ArchiveCommentOffset = src->ArchiveCommentOffset;
  DirectoryOffset = src->DirectoryOffset;
  EntryTotal = src->EntryTotal;
  DirectorySize = src->DirectorySize;
  DirectoryEnd = src->DirectoryEnd;
  CommentText = src->CommentText;
  if (CommentText) ArchiveCommentLength = SaturatedLength(CommentText->size());
}

void TEndCentral::AssignTo(platform::TPersistent& dest) const {
  if (auto* d = dynamic_cast<TEndCentral*>(&dest)) {
    d->Assign(this);
    return;
  }
  platform::TPersistent::AssignTo(dest);
}

void TEndCentral::ReadZip64EndRecord(platform::TStream& stream, const std::vector<uint8_t>& block,
                                     int64_t endRecordAt, int64_t blockStart) {
  if (endRecordAt < kZip64LocatorSize) return;
  const uint8_t* locator = &block[static_cast<size_t>(endRecordAt - kZip64LocatorSize)];
  if (GetU32(locator) != kZip64LocatorSignature) return;
  const int64_t locatorAt = blockStart + endRecordAt - kZip64LocatorSize;
  const uint64_t declared = GetU32(locator + 8) | (static_cast<uint64_t>(GetU32(locator + 12)) << 32);
  uint8_t r[kZip64EndRecordSize];
  auto u64 = [&](int offset) { return GetU32(r + offset) | (static_cast<uint64_t>(GetU32(r + offset + 4)) << 32); };
  // The record lies before its locator, on this disk (a set's last).
  auto readAt = [&](int64_t at) {
    if (at < 0 || at > locatorAt - kZip64EndRecordSize) return false;
    stream.SetPosition(at);
    return stream.Read(r, kZip64EndRecordSize) == kZip64EndRecordSize && GetU32(r) == kZip64EndRecordSignature;
  };
  // Writers put it right before the locator. Bytes in front of the archive (a self-extractor's
  // stub) move it away from where the locator says, so that place is tried first; the
  // locator's is for a record that carries more data after its fixed part.
  int64_t at = locatorAt - kZip64EndRecordSize;
  if (!readAt(at) || u64(4) != kZip64EndRecordSize - 12) {
    if (declared > static_cast<uint64_t>(locatorAt) || !readAt(static_cast<int64_t>(declared))) return;
    at = static_cast<int64_t>(declared);
  }
  const uint32_t thisDisk = GetU32(r + 16);
  const uint32_t startDisk = GetU32(r + 20);
  const uint64_t onThisDisk = u64(24);
  const uint64_t total = u64(32);
  const uint64_t size = u64(40);
  const uint64_t offset = u64(48);
  DirectoryEnd = at;
  if (ThisDiskNumber == 0xFFFF && thisDisk < 0xFFFF) ThisDiskNumber = static_cast<uint16_t>(thisDisk);
  if (CentralStartDisk == 0xFFFF && startDisk < 0xFFFF) CentralStartDisk = static_cast<uint16_t>(startDisk);
  // The 16-bit fields keep their meaning (65,535 stands for "that many or more"); the whole
  // count goes to EntryTotal.
  if (EntriesThisDisk == 0xFFFF && onThisDisk < 0xFFFF) EntriesThisDisk = static_cast<uint16_t>(onThisDisk);
  if (TotalEntries == 0xFFFF) {
    EntryTotal = static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu));
    if (total < 0xFFFF) TotalEntries = static_cast<uint16_t>(total);
  }
  if (CentralDirectorySize == 0xFFFFFFFFu && size < (uint64_t{1} << 62)) {
    DirectorySize = static_cast<int64_t>(size);
    if (size < 0xFFFFFFFFu) CentralDirectorySize = static_cast<uint32_t>(size);
  }
  if (CentralDirectoryOffset == 0xFFFFFFFFu && offset <= declared) DirectoryOffset = static_cast<int64_t>(offset);
}

bool TEndCentral::FindEndRecord(platform::TStream& stream) {
  const int64_t size = stream.Size();
  if (size < kEndRecordSize) return false;
  const int64_t n = std::min<int64_t>(size, kEndRecordSearchSize);
  const int64_t blockStart = size - n;
  std::vector<uint8_t> block(static_cast<size_t>(n));
  stream.SetPosition(blockStart);
  if (stream.Read(block.data(), n) < n) return false;
  for (int64_t i = n - kEndRecordSize; i >= 0; --i) {
    if (block[i] != 'P' || GetU32(&block[i]) != kEndRecordSignature) continue;
    const uint8_t* r = &block[i];
    ThisDiskNumber = GetU16(r + 4);
    CentralStartDisk = GetU16(r + 6);
    EntriesThisDisk = GetU16(r + 8);
    TotalEntries = GetU16(r + 10);
    CentralDirectorySize = GetU32(r + 12);
    CentralDirectoryOffset = GetU32(r + 16);
    ArchiveCommentLength = GetU16(r + 20);
    // The comment follows the record; data after the comment does not move it.
    ArchiveCommentOffset = blockStart + i + kEndRecordSize;
    DirectoryOffset = CentralDirectoryOffset;
    EntryTotal = TotalEntries;
    DirectorySize = CentralDirectorySize;
    DirectoryEnd = blockStart + i;
    if (CentralDirectoryOffset == 0xFFFFFFFFu || TotalEntries == 0xFFFF || ThisDiskNumber == 0xFFFF)
      ReadZip64EndRecord(stream, block, i, blockStart);
    return true;
  }
  return false;
}

}  // namespace unzip
