// Reading the directory of an archive of 65,535 small entries, in archive order (ByNone) and
// sorted by name (ByName), against "unzip -Z1 archive > /dev/null" on the same file in the
// same run. The Alternating benchmark runs the three in turn and reports our times as
// ratios of unzip's (below 1: we are faster), which carry from run to run better than
// absolute times on a shared machine.
//
// The archive is made at start-up (stored entries, names in shuffled order so that ByName has
// real sorting to do, each central record with a 24-byte extra field as Info-ZIP writes them).
// QUORBIN_DIRECTORY_BENCH_ZIP=<archive> uses a given archive instead, e.g. many65k.zip of the
// shared benchmark corpus.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "UnZipper.h"

extern char** environ;

namespace {

void PutU16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void PutU32(std::string& s, uint32_t v) {
  PutU16(s, v & 0xFFFF);
  PutU16(s, v >> 16);
}

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// A sound archive of `count` stored entries.
std::string MakeArchive(int count) {
  std::mt19937 rng(2024);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "dir%03u/file%05d.txt", static_cast<unsigned>(rng() % 300), i);
    names.push_back(name);
  }
  std::shuffle(names.begin(), names.end(), rng);
  const uint32_t dosTime = (((2020 - 1980) << 9 | 6 << 5 | 15) << 16) | (12 << 11 | 30 << 5);
  const std::string extra("UT\x05\x00\x03\x10\x20\x30\x40ux\x0b\x00\x01\x04\xe8\x03\x00\x00\x04\xe8\x03\x00", 24);
  std::string local, central;
  for (const std::string& name : names) {
    const std::string data = name + "\n";
    const uint32_t crc = Crc32(data);
    const uint32_t offset = static_cast<uint32_t>(local.size());
    PutU32(local, 0x04034B50);
    PutU16(local, 10);
    PutU16(local, 0);
    PutU16(local, 0);
    PutU32(local, dosTime);
    PutU32(local, crc);
    PutU32(local, static_cast<uint32_t>(data.size()));
    PutU32(local, static_cast<uint32_t>(data.size()));
    PutU16(local, static_cast<uint32_t>(name.size()));
    PutU16(local, 0);
    local += name + data;
    PutU32(central, 0x02014B50);
    PutU16(central, 3 << 8 | 30);
    PutU16(central, 10);
    PutU16(central, 0);
    PutU16(central, 0);
    PutU32(central, dosTime);
    PutU32(central, crc);
    PutU32(central, static_cast<uint32_t>(data.size()));
    PutU32(central, static_cast<uint32_t>(data.size()));
    PutU16(central, static_cast<uint32_t>(name.size()));
    PutU16(central, static_cast<uint32_t>(extra.size()));
    PutU16(central, 0);
    PutU16(central, 0);
    PutU16(central, 1);
    PutU32(central, 0100644u << 16);
    PutU32(central, offset);
    central += name + extra;
  }
  std::string end;
  PutU32(end, 0x06054B50);
  PutU16(end, 0);
  PutU16(end, 0);
  PutU16(end, static_cast<uint32_t>(count));
  PutU16(end, static_cast<uint32_t>(count));
  PutU32(end, static_cast<uint32_t>(central.size()));
  PutU32(end, static_cast<uint32_t>(local.size()));
  PutU16(end, 0);
  return local + central + end;
}

const std::string& ArchivePath() {
  static const std::string path = [] {
    if (const char* given = std::getenv("QUORBIN_DIRECTORY_BENCH_ZIP"); given && *given) return std::string(given);
    const char* tmp = std::getenv("TMPDIR");
    std::string p = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorbin-directory-bench-65535.zip";
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    const std::string bytes = MakeArchive(65535);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p);
    return p;
  }();
  return path;
}

int32_t ReadDirectory(unzip::TZipSortMode mode) {
  unzip::TUnZipper z;
  z.SortMode = mode;
  z.SetZipName(ArchivePath());
  z.ReadDirectory();
  return z.EntryCount();
}

// unzip -Z1 <archive> with its output to /dev/null; started directly, without a shell.
// Returns the processor time (user + system) that unzip used.
double UnzipListing() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string& path = ArchivePath();
  char* argv[] = {const_cast<char*>("unzip"), const_cast<char*>("-Z1"), const_cast<char*>(path.c_str()), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "unzip", &actions, nullptr, argv, environ) != 0)
    throw std::runtime_error("cannot start unzip");
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("unzip -Z1 failed");
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

double ProcessCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BM_DirectoryByNone(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadDirectory(unzip::TZipSortMode::ByNone));
  state.counters["entries"] = ReadDirectory(unzip::TZipSortMode::ByNone);
}
BENCHMARK(BM_DirectoryByNone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DirectoryByName(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadDirectory(unzip::TZipSortMode::ByName));
}
BENCHMARK(BM_DirectoryByName)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnzipZ1(benchmark::State& state) {
  for (auto _ : state) UnzipListing();
}
BENCHMARK(BM_UnzipZ1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The three in turn; our times as ratios of unzip's, by the clock on the wall and by the
// processor time each used (the latter holds up better on a busy machine).
void BM_Alternating(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  double unzipWall = 0, byNoneWall = 0, byNameWall = 0;
  double unzipCpu = 0, byNoneCpu = 0, byNameCpu = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    unzipCpu += UnzipListing();
    auto t1 = Clock::now();
    const double c1 = ProcessCpuSeconds();
    benchmark::DoNotOptimize(ReadDirectory(unzip::TZipSortMode::ByNone));
    auto t2 = Clock::now();
    const double c2 = ProcessCpuSeconds();
    benchmark::DoNotOptimize(ReadDirectory(unzip::TZipSortMode::ByName));
    auto t3 = Clock::now();
    const double c3 = ProcessCpuSeconds();
    unzipWall += std::chrono::duration<double>(t1 - t0).count();
    byNoneWall += std::chrono::duration<double>(t2 - t1).count();
    byNameWall += std::chrono::duration<double>(t3 - t2).count();
    byNoneCpu += c2 - c1;
    byNameCpu += c3 - c2;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ByNone/unzip"] = byNoneWall / unzipWall;
  state.counters["ByName/unzip"] = byNameWall / unzipWall;
  state.counters["cpu:ByNone/unzip"] = byNoneCpu / unzipCpu;
  state.counters["cpu:ByName/unzip"] = byNameCpu / unzipCpu;
  state.counters["unzip_ms"] = 1000 * unzipWall / n;
  state.counters["ByName_ms"] = 1000 * byNameWall / n;
}
BENCHMARK(BM_Alternating)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace

int main(int argc, char** argv) {
  // Make (or find) the archive before any timing starts.
  std::printf("archive: %s\n", ArchivePath().c_str());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
