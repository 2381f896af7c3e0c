// The baseline that `unzipper -t` is timed against (bench/test_vs_libdeflate.sh): a plain
// program that tests every entry of an archive with libdeflate and nothing of ours.
//
//   bench_libdeflate_test [--mmap] ARCHIVE
//
// It reads the whole archive once (read(2) into one buffer, as unzipper reads its archive with
// read(2); --mmap maps it instead), walks the central directory with its own small reader (end
// record, Zip64 end record when present, central headers, each entry's local header to find its
// data), inflates every deflated entry with libdeflate_deflate_decompress into a buffer of the
// entry's declared size and checks libdeflate_crc32 against the directory's CRC; stored entries
// get the CRC alone. Encrypted entries and other methods are counted as skipped.
// Prints entries, bytes, skipped and failures; exits 1 on any failure, 2 on an unreadable archive.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr uint32_t kZip64EndSig = 0x06064b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kLocalSig = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error(what); }

// The archive's bytes with bounds-checked little-endian reads: every offset and length below
// comes from the file, so each is checked here before it is used.
class TBytes {
 public:
  TBytes(const uint8_t* data, uint64_t size) : Data(data), Size(size) {}
  uint64_t size() const { return Size; }
  const uint8_t* At(uint64_t offset, uint64_t count) const {
    if (offset > Size || count > Size - offset) Bad("record past the end of the archive");
    return Data + offset;
  }
  uint16_t U16(uint64_t offset) const {
    const uint8_t* p = At(offset, 2);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  uint32_t U32(uint64_t offset) const {
    const uint8_t* p = At(offset, 4);
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  uint64_t U64(uint64_t offset) const {
    return U32(offset) | static_cast<uint64_t>(U32(offset + 4)) << 32;
  }

 private:
  const uint8_t* Data;
  uint64_t Size;
};

struct TDirectory {
  uint64_t Entries = 0;
  uint64_t Offset = 0;
  uint64_t Size = 0;
};

// The end record is the last signature within the final 22 + 65535 bytes; a Zip64 locator right
// before it leads to the Zip64 end record, whose counts replace the classic ones.
TDirectory FindDirectory(const TBytes& a) {
  if (a.size() < kEndSize) Bad("too short for a ZIP archive");
  const uint64_t lowest = a.size() > kEndSize + 0xFFFF ? a.size() - kEndSize - 0xFFFF : 0;
  uint64_t end = a.size() - kEndSize;
  while (a.U32(end) != kEndSig) {
    if (end == lowest) Bad("no end record");
    --end;
  }
  TDirectory d{a.U16(end + 10), a.U32(end + 16), a.U32(end + 12)};
  if (end >= kZip64LocatorSize && a.U32(end - kZip64LocatorSize) == kZip64LocatorSig) {
    const uint64_t z = a.U64(end - kZip64LocatorSize + 8);
    if (a.U32(z) != kZip64EndSig) Bad("Zip64 locator points at no Zip64 end record");
    a.At(z, kZip64EndSize);
    d = {a.U64(z + 32), a.U64(z + 48), a.U64(z + 40)};
  }
  a.At(d.Offset, d.Size);
  return d;
}

struct TEntry {
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint32_t Crc = 0;
  uint64_t Packed = 0;
  uint64_t Size = 0;
  uint64_t Local = 0;
  std::string_view Name;
};

// One central header at `at`; returns the offset of the next one.
uint64_t ReadCentral(const TBytes& a, uint64_t at, TEntry& e) {
  if (a.U32(at) != kCentralSig) Bad("bad central header at offset " + std::to_string(at));
  a.At(at, kCentralSize);
  e.Flags = a.U16(at + 8);
  e.Method = a.U16(at + 10);
  e.Crc = a.U32(at + 16);
  e.Packed = a.U32(at + 20);
  e.Size = a.U32(at + 24);
  e.Local = a.U32(at + 42);
  const uint16_t nameLen = a.U16(at + 28), extraLen = a.U16(at + 30), commentLen = a.U16(at + 32);
  const uint8_t* name = a.At(at + kCentralSize, nameLen);
  e.Name = {reinterpret_cast<const char*>(name), nameLen};
  // The Zip64 field holds, in this order, only the values whose classic field is all ones.
  uint64_t x = at + kCentralSize + nameLen;
  const uint64_t extraEnd = x + extraLen;
  a.At(x, extraLen);
  while (x + 4 <= extraEnd) {
    const uint16_t id = a.U16(x), len = a.U16(x + 2);
    if (x + 4 + len > extraEnd) break;
    if (id == 0x0001) {
      uint64_t v = x + 4;
      const uint64_t vEnd = v + len;
      for (uint64_t* field : {&e.Size, &e.Packed, &e.Local}) {
        if (*field != 0xFFFFFFFF) continue;
        if (v + 8 > vEnd) Bad("short Zip64 field");
        *field = a.U64(v);
        v += 8;
      }
    }
    x += 4 + len;
  }
  return extraEnd + commentLen;
}

// The entry's packed data, found through its local header.
const uint8_t* EntryData(const TBytes& a, const TEntry& e) {
  if (a.U32(e.Local) != kLocalSig) Bad("bad local header at offset " + std::to_string(e.Local));
  a.At(e.Local, kLocalSize);
  const uint64_t data = e.Local + kLocalSize + a.U16(e.Local + 26) + a.U16(e.Local + 28);
  return a.At(data, e.Packed);
}

// The archive's bytes, read once or mapped, released at the end.
class TArchive {
 public:
  TArchive(const char* path, bool map) {
    Fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (Fd < 0) Bad(std::string("cannot open ") + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(Fd, &st) != 0) Bad(std::string("cannot stat ") + path);
    Size = static_cast<uint64_t>(st.st_size);
    if (Size == 0) return;
    if (map) {
      void* p = ::mmap(nullptr, Size, PROT_READ, MAP_PRIVATE, Fd, 0);
      if (p == MAP_FAILED) Bad(std::string("cannot map ") + path);
      Mapped = static_cast<const uint8_t*>(p);
      return;
    }
    Buffer.reset(new uint8_t[Size]);
    uint64_t done = 0;
    while (done < Size) {
      const ssize_t n = ::read(Fd, Buffer.get() + done, Size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Bad(std::string("cannot read ") + path);
      done += static_cast<uint64_t>(n);
    }
  }
  ~TArchive() {
    if (Mapped) ::munmap(const_cast<uint8_t*>(Mapped), Size);
    if (Fd >= 0) ::close(Fd);
  }
  TArchive(const TArchive&) = delete;
  TArchive& operator=(const TArchive&) = delete;
  TBytes Bytes() const { return {Mapped ? Mapped : Buffer.get(), Size}; }

 private:
  int Fd = -1;
  uint64_t Size = 0;
  const uint8_t* Mapped = nullptr;
  std::unique_ptr<uint8_t[]> Buffer;
};

}  // namespace

int main(int argc, char** argv) {
  bool map = false;
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "--mmap") == 0) {
    map = true;
    ++arg;
  }
  if (arg + 1 != argc) {
    std::fprintf(stderr, "usage: bench_libdeflate_test [--mmap] ARCHIVE\n");
    return 2;
  }
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (!d) {
    std::fprintf(stderr, "bench_libdeflate_test: out of memory\n");
    return 2;
  }
  uint64_t entries = 0, bytes = 0, skipped = 0, failures = 0;
  int code = 0;
  try {
    const TArchive archive(argv[arg], map);
    const TBytes a = archive.Bytes();
    const TDirectory dir = FindDirectory(a);
    // One output buffer, grown to the largest entry; never cleared, as libdeflate writes it all.
    std::unique_ptr<uint8_t[]> out;
    uint64_t capacity = 0;
    uint64_t at = dir.Offset;
    for (uint64_t i = 0; i < dir.Entries; ++i) {
      TEntry e;
      at = ReadCentral(a, at, e);
      ++entries;
      if ((e.Flags & 1) != 0 || (e.Method != 0 && e.Method != 8)) {
        ++skipped;
        continue;
      }
      const uint8_t* data = EntryData(a, e);
      uint32_t crc = 0;
      bool ok = true;
      if (e.Method == 0) {
        ok = e.Packed == e.Size;
        if (ok) crc = libdeflate_crc32(0, data, e.Size);
      } else {
        // Deflate gives at most 1032 bytes per packed byte: a larger declared size is a lie.
        ok = e.Size <= e.Packed * 1032 + 1024;
        if (ok && e.Size > capacity) {
          out.reset(new uint8_t[e.Size]);
          capacity = e.Size;
        }
        size_t made = 0;
        ok = ok &&
             libdeflate_deflate_decompress(d, data, e.Packed, out.get(), e.Size, &made) ==
                 LIBDEFLATE_SUCCESS &&
             made == e.Size;
        if (ok) crc = libdeflate_crc32(0, out.get(), e.Size);
      }
      if (!ok || crc != e.Crc) {
        ++failures;
        std::fprintf(stderr, "bench_libdeflate_test: %.*s: %s\n", static_cast<int>(e.Name.size()),
                     e.Name.data(), ok ? "bad CRC" : "bad data");
        continue;
      }
      bytes += e.Size;
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "bench_libdeflate_test: %s\n", ex.what());
    code = 2;
  }
  libdeflate_free_decompressor(d);
  std::printf("entries %llu\nbytes %llu\nskipped %llu\nfailures %llu\n",
              static_cast<unsigned long long>(entries), static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(skipped), static_cast<unsigned long long>(failures));
  if (code != 0) return code;
  return failures != 0 ? 1 : 0;
}
