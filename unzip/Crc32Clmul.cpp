// CRC-32 by folding 64 bytes at a time with carry-less multiplication (x86-64 with PCLMUL),
// then a Barrett reduction to 32 bits. Tails shorter than 16 bytes go through the table.
#include "Crc32.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

namespace unzip::detail {

bool HaveClmul() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & bit_PCLMUL) && (c & bit_SSE4_1);
}

// Folding constants for the reflected polynomial: x^(k) mod P, bit-reflected, for the fold
// distances 512+32 / 512-32 (four lanes), 128+32 / 128-32 (one lane), 64, and the Barrett pair.
namespace {
constexpr uint64_t kR1 = 0x154442bd4, kR2 = 0x1c6e41596;
constexpr uint64_t kR3 = 0x1751997d0, kR4 = 0x0ccaa009e;
constexpr uint64_t kR5 = 0x163cd6124;
constexpr uint64_t kPoly = 0x1db710641, kMu = 0x1f7011641;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}
}  // namespace

__attribute__((target("pclmul,sse4.1")))
uint32_t UpdateCrcClmul(uint32_t reg, const uint8_t* data, size_t count) {
  if (count < 64) return UpdateCrcSliced(reg, data, count);
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = load(data + 16), x3 = load(data + 32), x4 = load(data + 48);
  data += 64;
  count -= 64;
  const __m128i k12 = _mm_set_epi64x(kR2, kR1);
  while (count >= 64) {
    x1 = Fold(x1, k12, load(data));
    x2 = Fold(x2, k12, load(data + 16));
    x3 = Fold(x3, k12, load(data + 32));
    x4 = Fold(x4, k12, load(data + 48));
    data += 64;
    count -= 64;
  }
  const __m128i k34 = _mm_set_epi64x(kR4, kR3);
  x1 = Fold(x1, k34, x2);
  x1 = Fold(x1, k34, x3);
  x1 = Fold(x1, k34, x4);
  while (count >= 16) {
    x1 = Fold(x1, k34, load(data));
    data += 16;
    count -= 16;
  }
  // 128 -> 64 bits, appending 32 zero bits.
  __m128i t = _mm_clmulepi64_si128(k34, x1, 0x01);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  // 64 -> 32 bits.
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  __m128i x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_clmulepi64_si128(x1, _mm_set_epi64x(0, kR5), 0x00);
  x1 = _mm_xor_si128(x1, x2b);
  // Barrett reduction.
  const __m128i pu = _mm_set_epi64x(kMu, kPoly);
  __m128i y = _mm_and_si128(x1, mask32);
  y = _mm_clmulepi64_si128(y, pu, 0x10);
  y = _mm_and_si128(y, mask32);
  y = _mm_clmulepi64_si128(y, pu, 0x00);
  x1 = _mm_xor_si128(x1, y);
  reg = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
  return UpdateCrcSliced(reg, data, count);
}

}  // namespace unzip::detail
#endif
