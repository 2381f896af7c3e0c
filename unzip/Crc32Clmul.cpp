// CRC-32 by folding 64 bytes at a time with carry-less multiplication (x86-64 with PCLMUL),
// then a Barrett reduction to 32 bits. Tails shorter than 16 bytes go through the table.
#include "Crc32.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

// The 512-bit helpers pass vectors by value between functions of the same target.
#pragma GCC diagnostic ignored "-Wpsabi"

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

// From one 128-bit remainder and the bytes after it: fold the remaining 16-byte blocks in, then
// reduce to 32 bits; a tail under 16 bytes goes through the table.
__attribute__((target("pclmul,sse4.1")))
uint32_t Finish(__m128i x1, const uint8_t* data, size_t count) {
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  const __m128i k34 = _mm_set_epi64x(kR4, kR3);
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
  uint32_t reg = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
  return UpdateCrcSliced(reg, data, count);
}

// 512-bit lanes with VPCLMULQDQ: four lanes fold 256 bytes per round. Constants as above for
// the distances 2048 (four lanes), 512 (one lane), and 384/256/128 to bring one lane's four
// 128-bit parts together.
constexpr uint64_t kD2080 = 0x11542778a, kD2016 = 0x1322d1430;
constexpr uint64_t kD416 = 0x3db1ecdc, kD352 = 0x174359406;
constexpr uint64_t kD288 = 0xf1da05aa, kD224 = 0x15a546366;

bool HaveVpclmul512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("vpclmulqdq") && HaveClmul();
}

#define QUORBIN_TARGET_512 __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))
QUORBIN_TARGET_512 static inline __m512i load(const uint8_t* p) { return _mm512_loadu_si512(p); }
QUORBIN_TARGET_512 static inline __m512i fold(__m512i x, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                   _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

QUORBIN_TARGET_512
uint32_t UpdateCrcVpclmul512(uint32_t reg, const uint8_t* data, size_t count) {
  __m512i z0 = _mm512_xor_si512(load(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
  __m512i z1 = load(data + 64), z2 = load(data + 128), z3 = load(data + 192);
  data += 256;
  count -= 256;
  const __m512i k4 = _mm512_set_epi64(kD2016, kD2080, kD2016, kD2080, kD2016, kD2080, kD2016, kD2080);
  while (count >= 256) {
    z0 = fold(z0, k4, load(data));
    z1 = fold(z1, k4, load(data + 64));
    z2 = fold(z2, k4, load(data + 128));
    z3 = fold(z3, k4, load(data + 192));
    data += 256;
    count -= 256;
  }
  const __m512i k1 = _mm512_set_epi64(kR2, kR1, kR2, kR1, kR2, kR1, kR2, kR1);
  z0 = fold(z0, k1, z1);
  z0 = fold(z0, k1, z2);
  z0 = fold(z0, k1, z3);
  while (count >= 64) {
    z0 = fold(z0, k1, load(data));
    data += 64;
    count -= 64;
  }
  // Parts a0..a3 (a0 earliest) to one: a0 moves 384 bits on, a1 256, a2 128.
  const __m512i kParts = _mm512_set_epi64(0, 0, kR4, kR3, kD224, kD288, kD352, kD416);
  __m512i t = _mm512_xor_si512(_mm512_clmulepi64_epi128(z0, kParts, 0x00),
                               _mm512_clmulepi64_epi128(z0, kParts, 0x11));
  __m128i x = _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, t, 0), _mm512_maskz_extracti32x4_epi32(0xF, t, 1));
  x = _mm_ternarylogic_epi64(x, _mm512_maskz_extracti32x4_epi32(0xF, t, 2), _mm512_maskz_extracti32x4_epi32(0xF, z0, 3), 0x96);
  return Finish(x, data, count);
}

__attribute__((target("pclmul,sse4.1")))
uint32_t UpdateCrcClmul(uint32_t reg, const uint8_t* data, size_t count) {
  static const bool wide = HaveVpclmul512();
  if (wide && count >= 256) return UpdateCrcVpclmul512(reg, data, count);
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
  return Finish(x1, data, count);
}

}  // namespace unzip::detail
#endif
