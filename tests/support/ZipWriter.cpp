#include "ZipWriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testzip {

namespace {

void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

struct Keys {
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
  static uint32_t CrcByte(uint8_t b, uint32_t r) { return CrcTable()[(r ^ b) & 0xFF] ^ (r >> 8); }
  void Update(uint8_t c) {
    k0 = CrcByte(c, k0);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = CrcByte(static_cast<uint8_t>(k1 >> 24), k2);
  }
  uint8_t Stream() const {
    const uint16_t t = static_cast<uint16_t>((k2 & 0xFFFF) | 2);
    return static_cast<uint8_t>((static_cast<uint32_t>(t) * (t ^ 1u)) >> 8);  // as ints it overflows
  }
};

uint32_t CrcOfZeros(uint32_t crc, uint64_t n) {
  static const std::string zeros(1 << 20, '\0');
  while (n > 0) {
    const uInt chunk = static_cast<uInt>(std::min<uint64_t>(n, zeros.size()));
    crc = static_cast<uint32_t>(
        ::crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), chunk));
    n -= chunk;
  }
  return crc;
}

}  // namespace

uint32_t Crc32(const std::string& data, uint32_t crc) {
  uLong c = crc;
  const auto* p = reinterpret_cast<const Bytef*>(data.data());
  size_t left = data.size();
  while (left > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    c = ::crc32(c, p, chunk);
    p += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(c);
}

std::string Deflate(const std::string& data, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  out.resize(z.total_out);
  return out;
}

std::string Encrypt(const std::string& plain, const std::string& password) {
  Keys keys;
  for (char c : password) keys.Update(static_cast<uint8_t>(c));
  std::string out(plain);
  for (char& c : out) {
    const uint8_t p = static_cast<uint8_t>(c);
    c = static_cast<char>(p ^ keys.Stream());
    keys.Update(p);
  }
  return out;
}

std::string Decrypt(const std::string& cipher, const std::string& password) {
  Keys keys;
  for (char c : password) keys.Update(static_cast<uint8_t>(c));
  std::string out(cipher);
  for (char& c : out) {
    const uint8_t p = static_cast<uint8_t>(static_cast<uint8_t>(c) ^ keys.Stream());
    c = static_cast<char>(p);
    keys.Update(p);
  }
  return out;
}

Entry& ZipWriter::Add(const std::string& name, const std::string& data) {
  Entry e;
  e.Name = name;
  e.Data = data;
  e.Method = 0;
  Entries.push_back(std::move(e));
  return Entries.back();
}

Entry& ZipWriter::AddDeflated(const std::string& name, const std::string& data, int level) {
  Entry& e = Add(name, data);
  e.Method = 8;
  e.Level = level;
  return e;
}

Entry& ZipWriter::AddRaw(const std::string& name, const std::string& raw, uint16_t method,
                         uint32_t crc, uint32_t uncompressedSize) {
  Entry& e = Add(name, {});
  e.Method = method;
  e.Raw = raw;
  e.Crc = crc;
  e.UncompressedSize = uncompressedSize;
  return e;
}

Entry& ZipWriter::AddDirectory(const std::string& name) {
  Entry& e = Add(name, {});
  e.ExternalAttributes = 0x10;
  return e;
}

// One run of output bytes on one disk: literal bytes, or `Zeros` zero bytes.
struct ZipWriter::Piece {
  std::string Bytes;
  uint64_t Zeros = 0;
  uint32_t Disk = 0;
};

namespace {

// Lays pieces out on disks of at most `limit` bytes (0: one disk, no limit).
class Emitter {
public:
  explicit Emitter(uint64_t limit) : Limit(limit) {}

  uint32_t Disk() const { return CurrentDisk; }
  uint64_t Offset() const { return DiskOffset; }

  // Bytes that must stay on one disk.
  void Whole(std::string bytes) {
    if (Limit && DiskOffset > 0 && DiskOffset + bytes.size() > Limit) NextDisk();
    DiskOffset += bytes.size();
    Out.push_back({std::move(bytes), 0, CurrentDisk});
  }
  // Bytes that may run over onto the next disks.
  void Split(const std::string& bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
      const uint64_t take = std::min<uint64_t>(bytes.size() - pos, Room());
      Out.push_back({bytes.substr(pos, take), 0, CurrentDisk});
      pos += take;
      DiskOffset += take;
      if (pos < bytes.size()) NextDisk();
    }
  }
  void SplitZeros(uint64_t n) {
    while (n > 0) {
      const uint64_t take = std::min<uint64_t>(n, Room());
      Out.push_back({{}, take, CurrentDisk});
      n -= take;
      DiskOffset += take;
      if (n > 0) NextDisk();
    }
  }

  struct P {
    std::string Bytes;
    uint64_t Zeros;
    uint32_t Disk;
  };
  std::vector<P> Out;

private:
  uint64_t Room() {
    if (!Limit) return UINT64_MAX;
    if (DiskOffset >= Limit) NextDisk();
    return Limit - DiskOffset;
  }
  void NextDisk() {
    ++CurrentDisk;
    DiskOffset = 0;
  }

  uint64_t Limit;
  uint32_t CurrentDisk = 0;
  uint64_t DiskOffset = 0;
};

// WinZip AES encryption of `plain`: salt, verifier, the data in counter mode (little-endian
// counter from 1), the first 10 bytes of HMAC-SHA1 over the encrypted data.
std::string AesEncrypt(const std::string& plain, const std::string& password, int strength,
                       uint32_t seed, bool damage) {
  const size_t keySize = 8 + 8 * static_cast<size_t>(strength), saltSize = keySize / 2;
  std::string salt(saltSize, '\0');
  for (size_t i = 0; i < saltSize; ++i) salt[i] = static_cast<char>((seed * 2654435761u) >> (i % 4 * 8) ^ i);
  uint8_t keys[66];
  pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const uint8_t*>(password.data()), 1000, saltSize,
                   reinterpret_cast<const uint8_t*>(salt.data()), 2 * keySize + 2, keys);
  aes256_ctx a256;
  aes192_ctx a192;
  aes128_ctx a128;
  if (strength == 1) aes128_set_encrypt_key(&a128, keys);
  if (strength == 2) aes192_set_encrypt_key(&a192, keys);
  if (strength == 3) aes256_set_encrypt_key(&a256, keys);
  std::string cipher = plain;
  for (size_t at = 0, block = 1; at < cipher.size(); at += 16, ++block) {
    uint8_t counter[16] = {};
    for (size_t k = 0; k < 8; ++k) counter[k] = static_cast<uint8_t>(block >> (8 * k));
    if (strength == 1) aes128_encrypt(&a128, 16, counter, counter);
    if (strength == 2) aes192_encrypt(&a192, 16, counter, counter);
    if (strength == 3) aes256_encrypt(&a256, 16, counter, counter);
    for (size_t k = 0; k < 16 && at + k < cipher.size(); ++k) cipher[at + k] = static_cast<char>(cipher[at + k] ^ counter[k]);
  }
  hmac_sha1_ctx mac;
  hmac_sha1_set_key(&mac, keySize, keys + keySize);
  hmac_sha1_update(&mac, cipher.size(), reinterpret_cast<const uint8_t*>(cipher.data()));
  uint8_t code[SHA1_DIGEST_SIZE];
  hmac_sha1_digest(&mac, sizeof code, code);
  if (damage) code[3] ^= 0x10;
  return salt + std::string(reinterpret_cast<const char*>(keys + 2 * keySize), 2) + cipher +
         std::string(reinterpret_cast<const char*>(code), 10);
}

struct Stored {
  uint16_t Flags;
  uint16_t Method;
  std::string LocalExtra, CentralExtra;
  uint32_t Crc, CSize, USize;
  std::string Data;     // compressed (and encrypted) bytes, before truncation
  uint64_t Zeros;       // zero run after Data (stored, unencrypted only)
};

Stored Prepare(const Entry& e) {
  Stored s{};
  std::string compressed;
  if (e.Raw) {
    compressed = *e.Raw;
  } else if (e.Method == 8) {
    compressed = Deflate(e.Data, e.Level);
  } else {
    compressed = e.Data;
  }
  if (e.ZeroFill && (e.Raw || e.Method != 0 || !e.Password.empty()))
    throw std::invalid_argument("ZeroFill is for plain stored entries only");
  // A given CRC spares computing one over gigabytes of zeros.
  s.Crc = e.Crc ? *e.Crc : CrcOfZeros(Crc32(e.Data), e.ZeroFill);
  uint16_t flags = 0;
  if (!e.Password.empty()) flags |= 1;
  if (e.DataDescriptor) flags |= 8;
  s.Flags = e.Flags.value_or(flags);
  s.Method = e.Method;
  s.LocalExtra = e.LocalExtra;
  s.CentralExtra = e.CentralExtra;
  if (!e.Password.empty() && e.AesStrength) {
    if (e.AesVersion == 2 && !e.Crc) s.Crc = 0;
    compressed = AesEncrypt(compressed, e.Password, e.AesStrength, e.EncryptionSeed, e.DamageAuthCode);
    std::string field;
    Put16(field, 0x9901);
    Put16(field, 7);
    Put16(field, static_cast<uint32_t>(e.AesVersion));
    field += "AE";
    field.push_back(static_cast<char>(e.AesStrength));
    Put16(field, e.Method);
    s.LocalExtra += field;
    s.CentralExtra += field;
    s.Method = 99;
  } else if (!e.Password.empty()) {
    std::string header(12, '\0');
    uint32_t r = e.EncryptionSeed * 2654435761u + 12345;
    for (int i = 0; i < 11; ++i) {
      r = r * 1103515245u + 12345u;
      header[i] = static_cast<char>(r >> 16);
    }
    const uint8_t check = e.CheckByte.value_or(
        e.DataDescriptor ? static_cast<uint8_t>((e.DateTime >> 8) & 0xFF)
                         : static_cast<uint8_t>(s.Crc >> 24));
    header[11] = static_cast<char>(check);
    compressed = Encrypt(header + compressed, e.Password);
  }
  s.Data = std::move(compressed);
  s.Zeros = e.ZeroFill;
  s.CSize = e.CompressedSize.value_or(static_cast<uint32_t>(s.Data.size() + s.Zeros));
  s.USize = e.UncompressedSize.value_or(static_cast<uint32_t>(e.Data.size() + e.ZeroFill));
  return s;
}

}  // namespace

std::vector<ZipWriter::Piece> ZipWriter::Layout(uint64_t diskSize) const {
  Emitter out(diskSize);
  const uint64_t offsetBase = PrefixShiftsOffsets ? 0 : Prefix.size();
  if (!Prefix.empty()) out.Whole(Prefix);
  if (SpanSignature) {
    std::string sig;
    Put32(sig, 0x08074B50);
    out.Whole(sig);
  }

  struct Placed {
    uint32_t Offset;
    uint32_t Disk;
  };
  std::vector<Placed> placed;
  std::vector<Stored> stored;
  for (const Entry& e : Entries) {
    stored.push_back(Prepare(e));
    const Stored& s = stored.back();
    if (!e.Before.empty()) out.Split(e.Before);
    if (!e.WriteLocal) {
      placed.push_back({0, 0});
      continue;
    }
    std::string h;
    const std::string& name = e.LocalName ? *e.LocalName : e.Name;
    const bool zeros = e.DataDescriptor && e.DescriptorZerosInLocal;
    Put32(h, 0x04034B50);
    Put16(h, e.VersionNeeded);
    Put16(h, s.Flags);
    Put16(h, e.LocalMethod.value_or(s.Method));
    Put32(h, e.DateTime);
    Put32(h, e.LocalCrc.value_or(zeros ? 0 : s.Crc));
    Put32(h, e.LocalCompressedSize.value_or(zeros ? 0 : s.CSize));
    Put32(h, e.LocalUncompressedSize.value_or(zeros ? 0 : s.USize));
    Put16(h, static_cast<uint32_t>(name.size()));
    Put16(h, static_cast<uint32_t>(s.LocalExtra.size()));
    h += name;
    h += s.LocalExtra;
    // Where the header lands decides its offset: Whole may move it to a new disk.
    out.Whole(h);
    const uint64_t start = out.Offset() - h.size();
    const uint32_t disk = out.Disk();
    placed.push_back({static_cast<uint32_t>(start - (disk == 0 ? offsetBase : 0)), disk});

    uint64_t dataBytes = s.Data.size() + s.Zeros;
    const uint64_t keep = e.TruncateData ? std::min<uint64_t>(*e.TruncateData, dataBytes) : dataBytes;
    out.Split(s.Data.substr(0, std::min<uint64_t>(keep, s.Data.size())));
    if (keep > s.Data.size()) out.SplitZeros(keep - s.Data.size());
    if (e.DataDescriptor) {
      std::string d;
      if (e.DescriptorSignature) Put32(d, 0x08074B50);
      Put32(d, s.Crc);
      Put32(d, s.CSize);
      Put32(d, s.USize);
      out.Split(d);
    }
  }
  if (!CentralGap.empty()) out.Split(CentralGap);

  std::string central;
  uint16_t count = 0;
  for (size_t i = 0; i < Entries.size(); ++i) {
    const Entry& e = Entries[i];
    if (!e.InCentral) continue;
    const Stored& s = stored[i];
    Put32(central, 0x02014B50);
    Put16(central, e.VersionMadeBy);
    Put16(central, e.VersionNeeded);
    Put16(central, s.Flags);
    Put16(central, s.Method);
    Put32(central, e.DateTime);
    Put32(central, s.Crc);
    Put32(central, s.CSize);
    Put32(central, s.USize);
    Put16(central, static_cast<uint32_t>(e.Name.size()));
    Put16(central, static_cast<uint32_t>(s.CentralExtra.size()));
    Put16(central, static_cast<uint32_t>(e.Comment.size()));
    Put16(central, diskSize ? placed[i].Disk : e.DiskNumberStart);
    Put16(central, e.InternalAttributes);
    Put32(central, e.ExternalAttributes);
    Put32(central, e.LocalHeaderOffset.value_or(placed[i].Offset));
    central += e.Name;
    central += s.CentralExtra;
    central += e.Comment;
    ++count;
  }
  // The directory and the end record stay together on the last disk.
  std::string tail = central;
  std::string end;
  if (WriteEndRecord) {
    Put32(end, 0x06054B50);
    end.resize(end.size() + 18);  // filled below, once the directory's place is known
    end += ArchiveComment;
  }
  tail += end;
  out.Whole(tail);
  const uint32_t lastDisk = out.Disk();
  const uint64_t centralStart = out.Offset() - tail.size();
  if (WriteEndRecord) {
    std::string fields;
    Put16(fields, ThisDiskNumber.value_or(static_cast<uint16_t>(lastDisk)));
    Put16(fields, CentralStartDisk.value_or(static_cast<uint16_t>(lastDisk)));
    Put16(fields, EntriesThisDisk.value_or(count));
    Put16(fields, TotalEntries.value_or(count));
    Put32(fields, CentralSize.value_or(static_cast<uint32_t>(central.size())));
    Put32(fields, CentralOffset.value_or(
                      static_cast<uint32_t>(centralStart - (lastDisk == 0 ? offsetBase : 0))));
    Put16(fields, CommentLength.value_or(static_cast<uint16_t>(ArchiveComment.size())));
    auto& last = out.Out.back().Bytes;
    std::memcpy(last.data() + central.size() + 4, fields.data(), fields.size());
  }
  if (!Trailer.empty()) out.Out.push_back({Trailer, 0, lastDisk});

  std::vector<Piece> pieces;
  for (auto& p : out.Out) pieces.push_back({std::move(p.Bytes), p.Zeros, p.Disk});
  return pieces;
}

std::string ZipWriter::Build() const {
  std::string s;
  for (const Piece& p : Layout(0)) {
    s += p.Bytes;
    s.append(p.Zeros, '\0');
  }
  return s;
}

void ZipWriter::WriteTo(const std::string& path) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  uint64_t pos = 0;
  bool ok = true;
  for (const Piece& p : Layout(0)) {
    size_t done = 0;
    while (ok && done < p.Bytes.size()) {
      const ssize_t n = ::pwrite(fd, p.Bytes.data() + done, p.Bytes.size() - done,
                                 static_cast<off_t>(pos + done));
      if (n <= 0) ok = false;
      else done += static_cast<size_t>(n);
    }
    pos += p.Bytes.size() + p.Zeros;
  }
  // A zero run at the very end still needs the file to reach its length.
  if (ok && ::ftruncate(fd, static_cast<off_t>(pos)) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> ZipWriter::BuildDisks(uint64_t diskSize) const {
  if (diskSize == 0) throw std::invalid_argument("disk size must be positive");
  std::vector<std::string> disks;
  for (const Piece& p : Layout(diskSize)) {
    if (disks.size() <= p.Disk) disks.resize(p.Disk + 1);
    disks[p.Disk] += p.Bytes;
    disks[p.Disk].append(p.Zeros, '\0');
  }
  return disks;
}

void ZipWriter::WriteDisks(uint64_t diskSize, const std::vector<std::string>& names) const {
  const auto disks = BuildDisks(diskSize);
  if (disks.size() != names.size())
    throw std::invalid_argument("the set has " + std::to_string(disks.size()) + " disks, " +
                                std::to_string(names.size()) + " names given");
  for (size_t i = 0; i < disks.size(); ++i) WriteFile(names[i], disks[i]);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  if (!f) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir(const std::string& base) {
  const char* env = std::getenv("TMPDIR");
  std::string pattern =
      (base.empty() ? std::string(env && *env ? env : "/tmp") : base) + "/quorbin-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  Dir = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only files and directories behind: make them writable first.
  for (auto it = std::filesystem::recursive_directory_iterator(Dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(Dir, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace testzip
