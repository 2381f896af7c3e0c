// The wildcard matcher against the plain recursive walk of the same rules (the baseline,
// measured in the same run). Hostile masks: the walk's time grows exponentially with the
// number of stars, ours with mask length times text length. Ordinary masks: ours must not
// be slower than the walk by more than its set-up.
//
//   cmake -S . -B build-bench -G Ninja -DQUORBIN_BUILD_BENCH=ON -DQUORBIN_BUILD_APP=OFF
//   cmake --build build-bench --target bench_ismatch && ./build-bench/bench/bench_ismatch
#include <benchmark/benchmark.h>

#include <string>

#include "Names.h"
#include "ObjectList.h"
#include "WildcardReference.h"

namespace {

const char* const kHostile = "*a*a*a*a*a*a*a*b";

std::string Run(size_t n) { return std::string(n, 'a'); }

void BM_Hostile_Ours(benchmark::State& state) {
  const std::string text = Run(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(unzip::IsMatch(kHostile, text));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Hostile_Ours)->Arg(16)->Arg(24)->Arg(32)->Arg(10000)->Arg(100000)->Complexity();

void BM_Hostile_Baseline(benchmark::State& state) {
  const std::string text = Run(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(quorbin_test::WildcardReference::IsMatch(kHostile, text));
}
// Past about 40 characters the walk takes seconds per call; 10,000 would take years.
BENCHMARK(BM_Hostile_Baseline)->Arg(16)->Arg(24)->Arg(32);

// Sets as keys: every text position is a candidate for each star.
void BM_HostileSets_Ours(benchmark::State& state) {
  const std::string text = Run(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(unzip::IsMatch("*[a-b]*[a-b]*[a-b]*[a-b]*c", text));
}
BENCHMARK(BM_HostileSets_Ours)->Arg(24)->Arg(10000);

void BM_HostileSets_Baseline(benchmark::State& state) {
  const std::string text = Run(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(quorbin_test::WildcardReference::IsMatch("*[a-b]*[a-b]*[a-b]*[a-b]*c", text));
}
BENCHMARK(BM_HostileSets_Baseline)->Arg(24);

// What the component really does: one mask against the names of an archive's entries.
const char* const kNames[] = {"roms\\pacman\\pacman.6e", "roms\\pacman\\82s123.7f", "README.TXT",
                              "docs\\history\\changes-1998.txt", "roms\\galaga\\gg1-1.3p",
                              "samples\\galaga\\bang.wav"};

void Ordinary_Ours(benchmark::State& state, const char* mask) {
  for (auto _ : state)
    for (const char* name : kNames) benchmark::DoNotOptimize(unzip::IsMatch(mask, name));
}
void Ordinary_Baseline(benchmark::State& state, const char* mask) {
  for (auto _ : state)
    for (const char* name : kNames)
      benchmark::DoNotOptimize(quorbin_test::WildcardReference::IsMatch(mask, name));
}
BENCHMARK_CAPTURE(Ordinary_Ours, StarDotTxt, "*.txt");
BENCHMARK_CAPTURE(Ordinary_Baseline, StarDotTxt, "*.txt");
BENCHMARK_CAPTURE(Ordinary_Ours, Dir, "roms\\*\\[0-9]*");
BENCHMARK_CAPTURE(Ordinary_Baseline, Dir, "roms\\*\\[0-9]*");

// Filling a list to its limit: growth by 16 slots at a time, so the storage must not be
// copied whole at every step. Baseline: the same pointers pushed into a std::vector.
void BM_ListFill_Ours(benchmark::State& state) {
  platform::TObject item;
  for (auto _ : state) {
    unzip::TObjectList list;
    list.SetOwnsItems(false);
    for (int i = 0; i < unzip::MaxListSize; ++i) list.Add(&item);
    benchmark::DoNotOptimize(list.Count());
  }
}
BENCHMARK(BM_ListFill_Ours)->Unit(benchmark::kMicrosecond);

void BM_ListFill_Baseline(benchmark::State& state) {
  platform::TObject item;
  for (auto _ : state) {
    std::vector<platform::TObject*> list;
    for (int i = 0; i < unzip::MaxListSize; ++i) list.push_back(&item);
    benchmark::DoNotOptimize(list.size());
  }
}
BENCHMARK(BM_ListFill_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
