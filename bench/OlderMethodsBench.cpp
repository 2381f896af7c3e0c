// Unshrink, unreduce and explode on the larger archives of the shared corpus, against
// Info-ZIP unzip (`unzip -p ARCHIVE ENTRIES > /dev/null`) on the same entries, in the same run.
//
//   bench_older_methods --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// All figures are CPU time (user + system), which a busy shared machine disturbs far less than
// wall time: ours is the benchmark's own CPU time, unzip's is the child process's, from wait4.
// Ours/ARCHIVE decodes the archive's compressed entries in memory (input already loaded, output
// CRC'd and dropped): the decoder and the output layer alone. Unzip/ARCHIVE is a whole unzip
// process, so it also pays for start-up, reading the file and the directory, and writing to
// /dev/null; UnzipStartup/ARCHIVE is the same process asked for an entry that is not there,
// which is most of that fixed cost. Compare Ours with Unzip - UnzipStartup for the decoders.
// Debian's unzip has no unreduce, so the reduced archives have only our figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Decoders.h"
#include "ExtractState.h"
#include "MemoryExtractHost.h"

extern char** environ;

namespace {

const std::string kCorpus = std::string(QUORBIN_SHARED_DIR) + "/corpus";

struct TEntry {
  std::string Name;
  int Method = 0;
  uint16_t Flags = 0;
  int64_t Compressed = 0, Uncompressed = 0;
  uint32_t Crc = 0;
  size_t Offset = 0;  // of the compressed data in the archive
};

struct TArchive {
  std::string Path;  // relative to the corpus
  std::vector<uint8_t> Bytes;
  std::vector<TEntry> Entries;
  int64_t Total = 0;
};

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// The archive's entries of methods 1 to 6, from its central directory.
bool Load(TArchive& a) {
  std::ifstream in(kCorpus + "/" + a.Path, std::ios::binary);
  if (!in) return false;
  a.Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const auto& z = a.Bytes;
  if (z.size() < 22) return false;
  size_t eocd = z.size() - 22;
  while (eocd > 0 && Le32(z, eocd) != 0x06054b50) --eocd;
  size_t p = Le32(z, eocd + 16);
  for (unsigned i = 0, n = Le16(z, eocd + 10); i < n; ++i) {
    TEntry e;
    e.Flags = Le16(z, p + 8);
    e.Method = Le16(z, p + 10);
    e.Crc = Le32(z, p + 16);
    e.Compressed = Le32(z, p + 20);
    e.Uncompressed = Le32(z, p + 24);
    const size_t nameLen = Le16(z, p + 28);
    e.Name.assign(z.begin() + static_cast<long>(p + 46), z.begin() + static_cast<long>(p + 46 + nameLen));
    const size_t local = Le32(z, p + 42);
    e.Offset = local + 30 + Le16(z, local + 26) + Le16(z, local + 28);
    p += 46 + nameLen + Le16(z, p + 30) + Le16(z, p + 32);
    if (e.Method >= 1 && e.Method <= 6 && (e.Flags & 1) == 0) {
      a.Total += e.Uncompressed;
      a.Entries.push_back(e);
    }
  }
  return !a.Entries.empty();
}

// Output goes nowhere: only the CRC and the counts are kept.
class TDiscardHost : public unzip::testing::TMemoryExtractHost {
public:
  using TMemoryExtractHost::TMemoryExtractHost;
  int64_t WriteOutput(const uint8_t*, int64_t count) override { return count; }
};

void Ours(benchmark::State& st, const TArchive* a) {
  TDiscardHost host(a->Bytes);
  host.RecordEvents = false;
  host.DoProcessMessages = false;
  host.FileEventAssigned = false;
  host.TotalEventAssigned = false;
  unzip::TExtractState state(host);
  for (auto _ : st) {
    for (const TEntry& e : a->Entries) {
      host.Position = e.Offset;
      state.SetEntry(e.Flags, e.Compressed, e.Uncompressed);
      state.BeginDecoding();
      switch (e.Method) {
        case 1: unzip::ExtractShrunk(state); break;
        case 6: unzip::ExtractImploded(state); break;
        default: unzip::ExtractReduced(state, e.Method - 1); break;
      }
      if (~state.RunningCrc != e.Crc || state.OutTotal != e.Uncompressed) {
        st.SkipWithError(("CRC mismatch on " + e.Name).c_str());
        return;
      }
    }
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * a->Total);
}

// Runs unzip -p -qq ARCHIVE NAMES... with its output and messages sent to /dev/null; returns
// the CPU time (user + system) the process used, or a negative value when it could not run.
double RunUnzip(const std::string& archive, const std::vector<std::string>& names) {
  std::vector<std::string> args{"unzip", "-p", "-qq", archive};
  args.insert(args.end(), names.begin(), names.end());
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawnp(&pid, "unzip", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Unzip(benchmark::State& st, const TArchive* a, bool startupOnly) {
  std::vector<std::string> names;
  if (startupOnly)
    names.push_back("no-such-entry");
  else
    for (const TEntry& e : a->Entries) names.push_back(e.Name);
  const std::string path = kCorpus + "/" + a->Path;
  for (auto _ : st) {
    const double cpu = RunUnzip(path, names);
    if (cpu < 0) {
      st.SkipWithError("unzip could not be run");
      return;
    }
    st.SetIterationTime(cpu);
  }
  if (!startupOnly) st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * a->Total);
}

}  // namespace

int main(int argc, char** argv) {
  // Archives whose unzip supports the method get a peer run too.
  struct TPick {
    const char* Path;
    bool Peer;
  };
  static const TPick picks[] = {
      {"generated/hw-shrink.zip", true},          {"pkzip/PKZ80A1.ZIP", true},
      {"generated/hw-implode-4k-nolit.zip", true}, {"generated/hw-implode-4k-lit.zip", true},
      {"generated/hw-implode-8k-nolit.zip", true}, {"generated/hw-implode-8k-lit.zip", true},
      {"pkzip/PKZ110.ZIP", true},                 {"pkzip/IMPLODE.ZIP", true},
      {"generated/hw-reduce1.zip", false},        {"generated/hw-reduce2.zip", false},
      {"generated/hw-reduce3.zip", false},        {"generated/hw-reduce4.zip", false},
      {"pkzip/PKZ80B1.ZIP", false},               {"pkzip/PKZ80B2.ZIP", false},
      {"pkzip/PKZ80B3.ZIP", false},               {"pkzip/PKZ80B4.ZIP", false},
  };
  static std::vector<TArchive> archives;
  archives.reserve(std::size(picks));
  for (const TPick& p : picks) {
    TArchive a;
    a.Path = p.Path;
    if (!Load(a)) {
      std::fprintf(stderr, "bench_older_methods: %s not found under %s, left out\n", p.Path, kCorpus.c_str());
      continue;
    }
    archives.push_back(std::move(a));
    const TArchive* ap = &archives.back();
    benchmark::RegisterBenchmark(("Ours/" + ap->Path).c_str(), Ours, ap)->Unit(benchmark::kMillisecond);
    if (p.Peer) {
      benchmark::RegisterBenchmark(("Unzip/" + ap->Path).c_str(), Unzip, ap, false)
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime();
      benchmark::RegisterBenchmark(("UnzipStartup/" + ap->Path).c_str(), Unzip, ap, true)
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime();
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
