// CRC-32 of 100 MB: ours (as the product calls it, and each path alone) against zlib's crc32
// and libdeflate's libdeflate_crc32, in one run.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "Crc32.h"

namespace {

const std::vector<uint8_t>& Data() {
  static std::vector<uint8_t> d = [] {
    std::vector<uint8_t> v(100'000'000);
    std::mt19937_64 g(42);
    for (size_t i = 0; i + 8 <= v.size(); i += 8) {
      uint64_t x = g();
      std::memcpy(v.data() + i, &x, 8);
    }
    return v;
  }();
  return d;
}

// Chunk: 0 = the whole buffer in one call; otherwise calls of that many bytes (the product
// calls UpdateCrc on 16000-byte output chunks).
template <class F>
void Run(benchmark::State& st, F f) {
  const auto& d = Data();
  size_t chunk = static_cast<size_t>(st.range(0));
  if (chunk == 0) chunk = d.size();
  for (auto _ : st) {
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < d.size(); i += chunk) r = f(r, d.data() + i, std::min(chunk, d.size() - i));
    benchmark::DoNotOptimize(r);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}

void BM_Ours(benchmark::State& st) { Run(st, unzip::UpdateCrc); }
void BM_OursSliced(benchmark::State& st) { Run(st, unzip::detail::UpdateCrcSliced); }
void BM_OursTable(benchmark::State& st) { Run(st, unzip::UpdateCrcBytewise); }
void BM_Zlib(benchmark::State& st) {
  Run(st, [](uint32_t r, const uint8_t* p, size_t n) {
    return ~static_cast<uint32_t>(crc32(~r, p, static_cast<uInt>(n)));
  });
}
void BM_Libdeflate(benchmark::State& st) {
  Run(st, [](uint32_t r, const uint8_t* p, size_t n) { return ~libdeflate_crc32(~r, p, n); });
}

}  // namespace

BENCHMARK(BM_Ours)->Arg(0)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libdeflate)->Arg(0)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Zlib)->Arg(0)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursSliced)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursTable)->Arg(0)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
