#pragma once
// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320). The byte-at-a-time table step
// is the reference; UpdateCrc computes the same register many bytes at a time.
#include <array>
#include <cstddef>
#include <cstdint>

namespace unzip {

inline constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ kCrcPolynomial : r >> 1;
    table[i] = r;
  }
  return table;
}

inline constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

// One byte into the register (no pre- or post-inversion: the caller owns the register).
inline uint32_t CrcByte(uint8_t b, uint32_t r) { return kCrcTable[(r ^ b) & 0xFF] ^ (r >> 8); }

// The reference loop: CrcByte over the bytes in order.
uint32_t UpdateCrcBytewise(uint32_t reg, const uint8_t* data, size_t count);

// Same result as UpdateCrcBytewise, fast: carry-less multiplication where the processor has
// it, slicing-by-8 tables otherwise.
uint32_t UpdateCrc(uint32_t reg, const uint8_t* data, size_t count);

// The finished checksum of a whole buffer (register preset to all ones, complemented after).
inline uint32_t Crc32Of(const uint8_t* data, size_t count) {
  return ~UpdateCrc(0xFFFFFFFFu, data, count);
}

namespace detail {
uint32_t UpdateCrcSliced(uint32_t reg, const uint8_t* data, size_t count);
uint32_t UpdateCrcClmul(uint32_t reg, const uint8_t* data, size_t count);  // needs PCLMUL+SSE4.1
bool HaveClmul();
}  // namespace detail

}  // namespace unzip
