// CRC-32: the table reference, slicing-by-8, and folding with carry-less multiplication.
#include "Crc32.h"

#include <cstring>

namespace unzip {

uint32_t UpdateCrcBytewise(uint32_t reg, const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) reg = CrcByte(data[i], reg);
  return reg;
}

namespace detail {

namespace {
// kSlice[k][b]: the register contribution of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeSliceTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  t[0] = kCrcTable;
  for (int k = 1; k < 8; ++k)
    for (int b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ kCrcTable[t[k - 1][b] & 0xFF];
  return t;
}
constexpr auto kSlice = MakeSliceTables();

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian host assumed (x86-64, aarch64)
}
}  // namespace

uint32_t UpdateCrcSliced(uint32_t reg, const uint8_t* data, size_t count) {
  while (count >= 8) {
    uint64_t v = Load64(data) ^ reg;
    reg = kSlice[7][v & 0xFF] ^ kSlice[6][(v >> 8) & 0xFF] ^ kSlice[5][(v >> 16) & 0xFF] ^
          kSlice[4][(v >> 24) & 0xFF] ^ kSlice[3][(v >> 32) & 0xFF] ^
          kSlice[2][(v >> 40) & 0xFF] ^ kSlice[1][(v >> 48) & 0xFF] ^ kSlice[0][v >> 56];
    data += 8;
    count -= 8;
  }
  return UpdateCrcBytewise(reg, data, count);
}

}  // namespace detail

uint32_t UpdateCrc(uint32_t reg, const uint8_t* data, size_t count) {
#if defined(__x86_64__)
  static const bool clmul = detail::HaveClmul();
  if (clmul && count >= 64) return detail::UpdateCrcClmul(reg, data, count);
#endif
  return detail::UpdateCrcSliced(reg, data, count);
}

#if !defined(__x86_64__)
namespace detail {
bool HaveClmul() { return false; }
uint32_t UpdateCrcClmul(uint32_t reg, const uint8_t* data, size_t count) {
  return UpdateCrcSliced(reg, data, count);
}
}  // namespace detail
#endif

}  // namespace unzip
