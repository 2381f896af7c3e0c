#pragma once
// A tiny ZIP writer for tests: builds archives in memory (or writes them to files) with
// every header field under the test's control, so that tests can make exactly the archive
// they need, sound or deliberately broken, without committed binary fixtures.
//
// Link the `test_support` library (tests/CMakeLists.txt) and include "ZipWriter.h".
// Also here: testzip::TempDir (a scratch directory removed at scope end), WriteFile/ReadFile,
// Crc32, Deflate and Encrypt.
//
// Usage:
//
//   testzip::ZipWriter zip;
//   zip.Add("readme.txt", "hello");                          // stored (method 0)
//   zip.AddDeflated("dir/big.bin", data, 9);                 // raw deflate through zlib
//   zip.AddRaw("x.shr", compressedBytes, 1, crc, size);      // any method, given bytes
//   zip.AddDirectory("dir/");                                // directory entry
//   auto& e = zip.Add("secret.txt", "data");
//   e.Password = "pw";                                       // traditional encryption
//   e.AesStrength = 3;                                       //   or WinZip AES-256
//   e.DataDescriptor = true;                                 // flag bit 3 + descriptor,
//                                                            //   check byte from the time
//   e.Crc = 0x12345678;                                      // a wrong stored CRC
//   e.ExternalAttributes = 0100755u << 16;                   // with VersionMadeBy = 3 << 8 | 30
//   zip.Prefix = std::string(1000, 'x');                     // self-extractor stub
//   zip.ArchiveComment = "comment";
//   std::string bytes = zip.Build();                         // or zip.WriteTo(path)
//   auto disks = zip.BuildDisks(64 * 1024);                  // a multi-disk set, last disk
//                                                            //   holds directory + end record
//
// Every stored field can be overridden (std::optional members): the defaults are the
// values a sound archive has; an override changes only the field named, so an archive can
// lie about sizes, CRCs, offsets and disk numbers. `TruncateData` writes fewer data bytes
// than the headers claim; `CentralOffset`/`CentralGap` put the central directory elsewhere;
// `LocalHeaderOffset` can point two central records at the same local header
// (overlapping entries); `InCentral = false` leaves an entry out of the central directory;
// `WriteEndRecord = false` leaves the end record out.
//
// Names are written byte for byte as given ("/" or "\" kept). Offsets are absolute file
// positions by default, so a `Prefix` behaves like an adjusted self-extractor; set
// `PrefixShiftsOffsets = false` for offsets relative to the archive's own start.
//
// For big entries without big memory: `ZeroFill` bytes of zeros are appended to an entry's
// stored data; WriteTo() leaves them as a hole in a sparse file, Build() writes them out.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace testzip {

// MS-DOS date and time packed as the ZIP headers store them: time in the low 16 bits,
// date in the high 16 bits. Seconds are stored in two-second steps.
constexpr uint32_t DosDateTime(int year, int month, int day, int hour, int minute, int second) {
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

// Standard CRC-32 of the ZIP format (zlib's), for expected values in tests.
uint32_t Crc32(const std::string& data, uint32_t crc = 0);
// Raw deflate (no zlib header) of `data` at `level` (0-9).
std::string Deflate(const std::string& data, int level = 6);
// Traditional PKWARE encryption of `plain` (the 12-byte header must already be in front).
std::string Encrypt(const std::string& plain, const std::string& password);
// Its inverse: the plain bytes of an encrypted entry's data (header included).
std::string Decrypt(const std::string& cipher, const std::string& password);

struct Entry {
  std::string Name;
  std::string Data;               // uncompressed content: CRC and size come from it
  uint16_t Method = 0;            // 0 stored, 8 deflated, or any number with Raw
  int Level = 6;                  // deflate level for method 8 without Raw
  std::optional<std::string> Raw; // compressed bytes written as given (before encryption)
  uint64_t ZeroFill = 0;          // plain stored entries only: this many zero bytes after
                                  //   Data (give Crc too to skip computing it)

  std::string Password;           // non-empty: traditional encryption, flag bit 0
  std::optional<uint8_t> CheckByte;  // override the 12th header byte
  uint32_t EncryptionSeed = 1;    // seeds the 11 filler bytes of the encryption header
                                  //   (the salt under AES)
  int AesStrength = 0;            // 1..3 with Password: WinZip AES-128/192/256 instead
                                  //   (method 99, the 0x9901 field naming Method)
  int AesVersion = 2;             // 1: AE-1 (CRC stored), 2: AE-2 (CRC written as 0)
  bool DamageAuthCode = false;    // flip a bit of the AES authentication code

  bool DataDescriptor = false;    // flag bit 3, descriptor after the data
  bool DescriptorSignature = true;
  bool DescriptorZerosInLocal = true;  // with a descriptor, local CRC/sizes are written as 0

  uint16_t VersionMadeBy = 20;    // high byte: host system (0 MS-DOS, 3 Unix)
  uint16_t VersionNeeded = 20;
  std::optional<uint16_t> Flags;  // override the computed flags (bits 0 and 3)
  uint32_t DateTime = DosDateTime(2020, 6, 15, 12, 30, 44);
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0x20;
  uint16_t DiskNumberStart = 0;   // ignored by BuildDisks, which computes it
  std::string LocalExtra;
  std::string CentralExtra;
  std::string Comment;

  // Overrides of the values written to both headers (and the descriptor).
  std::optional<uint32_t> Crc;
  std::optional<uint32_t> CompressedSize;
  std::optional<uint32_t> UncompressedSize;
  // Overrides for the local header only.
  std::optional<std::string> LocalName;
  std::optional<uint32_t> LocalCrc;
  std::optional<uint32_t> LocalCompressedSize;
  std::optional<uint32_t> LocalUncompressedSize;
  std::optional<uint16_t> LocalMethod;
  // Override of the central record's local header offset (e.g. overlapping entries).
  std::optional<uint32_t> LocalHeaderOffset;

  std::string Before;             // junk bytes written just before this local header
  std::optional<uint64_t> TruncateData;  // write only this many bytes of the (encrypted) data
  bool InCentral = true;          // false: no central record for this entry
  bool WriteLocal = true;         // false: no local header and data (central record only)
};

class ZipWriter {
public:
  Entry& Add(const std::string& name, const std::string& data);  // stored
  Entry& AddDeflated(const std::string& name, const std::string& data, int level = 6);
  Entry& AddRaw(const std::string& name, const std::string& raw, uint16_t method, uint32_t crc,
                uint32_t uncompressedSize);
  Entry& AddDirectory(const std::string& name);

  // A deque: the references Add() returns stay valid while more entries are added.
  std::deque<Entry> Entries;

  std::string Prefix;             // bytes before the archive (self-extractor stub)
  bool PrefixShiftsOffsets = true;
  std::string ArchiveComment;
  std::string CentralGap;         // bytes between the last entry's data and the directory
  bool SpanSignature = false;     // BuildDisks: "PK\7\8" at the start of the first disk
  bool WriteEndRecord = true;
  std::string Trailer;            // bytes after the end record

  // Overrides of the end record.
  std::optional<uint16_t> ThisDiskNumber;
  std::optional<uint16_t> CentralStartDisk;
  std::optional<uint16_t> EntriesThisDisk;
  std::optional<uint16_t> TotalEntries;
  std::optional<uint32_t> CentralSize;
  std::optional<uint32_t> CentralOffset;
  std::optional<uint16_t> CommentLength;

  // The whole archive in memory.
  std::string Build() const;
  // The archive written to `path` (ZeroFill runs left as holes). Throws on failure.
  void WriteTo(const std::string& path) const;
  // A multi-disk set: the data stream is cut into disks of at most `diskSize` bytes (a
  // local header is never cut: it starts a new disk when it does not fit); the central
  // directory and the end record go on the last disk. Offsets and disk numbers are per disk.
  std::vector<std::string> BuildDisks(uint64_t diskSize) const;
  // BuildDisks written to files: names[i] gets disk i. Throws when the counts differ.
  void WriteDisks(uint64_t diskSize, const std::vector<std::string>& names) const;

private:
  struct Piece;  // one run of the output: bytes, or a run of zeros
  std::vector<Piece> Layout(uint64_t diskSize) const;
};

// Writes `bytes` to `path` (throws on failure) and reads a whole file back.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// A fresh directory under `base` (default $TMPDIR, else /tmp), removed with everything in
// it at scope end.
class TempDir {
public:
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return Dir; }

private:
  std::string Dir;
};

}  // namespace testzip
