// Inflate speed: ours against zlib's inflate and libdeflate on the same raw deflate streams,
// in one run. Inputs: the benchmark corpus (../shared/bench/make-corpus.sh, default location
// /tmp/perfbase, or QUORBIN_PERFBASE): big/mixed.tar as one stream, and the corpus files as one
// stream each. Streams are made by zlib at levels 1, 6 and 9 and cached next to the corpus.
// bench/inflate_ratios.py runs this and prints MB/s of output and the ratios.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Crc32.h"
#include "Decoders.h"
#include "ExtractState.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

std::string PerfBase() {
  const char* e = std::getenv("QUORBIN_PERFBASE");
  return e ? e : "/tmp/perfbase";
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
void WriteFile(const fs::path& p, const Bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes Deflate(const Bytes& in, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()) + 64);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Stream {
  Bytes Packed;
  size_t Size;
};

// One set of streams: either one stream of a big file, or one per corpus file.
struct Workload {
  std::vector<Stream> Streams;
  size_t TotalOut = 0, TotalIn = 0, MaxOut = 0;
};

// Streams are cached as: u64 count, then per stream u64 size, u64 packed size, packed bytes.
Workload Load(const std::string& name, int level) {
  static std::map<std::string, Workload> cache;
  std::string key = name + std::to_string(level);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  Workload w;
  fs::path base = PerfBase();
  fs::path cacheFile = base / ("deflate-cache-" + key + ".bin");
  if (fs::exists(cacheFile)) {
    Bytes c = ReadFile(cacheFile);
    size_t pos = 0;
    auto u64 = [&] { uint64_t v; std::memcpy(&v, c.data() + pos, 8); pos += 8; return v; };
    uint64_t n = u64();
    for (uint64_t i = 0; i < n; ++i) {
      Stream s;
      s.Size = u64();
      uint64_t packed = u64();
      s.Packed.assign(c.begin() + static_cast<long>(pos), c.begin() + static_cast<long>(pos + packed));
      pos += packed;
      w.Streams.push_back(std::move(s));
    }
  } else {
    std::vector<fs::path> files;
    if (name == "mixed") {
      files.push_back(base / "big" / "mixed.tar");
    } else {
      for (auto& e : fs::recursive_directory_iterator(base / "corpus"))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
    }
    if (files.empty() || !fs::exists(files[0])) return w;
    Bytes out;
    auto put = [&](uint64_t v) { out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 8); };
    for (auto& f : files) {
      Bytes data = ReadFile(f);
      w.Streams.push_back({Deflate(data, level), data.size()});
    }
    put(w.Streams.size());
    for (auto& s : w.Streams) {
      put(s.Size);
      put(s.Packed.size());
      out.insert(out.end(), s.Packed.begin(), s.Packed.end());
    }
    WriteFile(cacheFile, out);
  }
  for (auto& s : w.Streams) {
    w.TotalOut += s.Size;
    w.TotalIn += s.Packed.size();
    w.MaxOut = std::max(w.MaxOut, s.Size);
  }
  cache[key] = w;
  return w;
}

// Output into a buffer allocated once, as the peers get; or, as `unzipper -t` and `-p` to a
// pipe do, handed over and not kept (Keep false): the bytes were decoded and checked all the
// same, and the copy a host makes of them is not decoding.
class BenchHost : public unzip::TExtractHost {
public:
  bool Keep = true;
  const Bytes* In = nullptr;
  size_t InPos = 0;
  Bytes Out;
  size_t OutPos = 0;
  bool ProcessMessagesAndCheckCancel() override { return false; }
  int64_t ReadArchive(uint8_t* b, int64_t n) override {
    size_t k = std::min<size_t>(static_cast<size_t>(n), In->size() - InPos);
    std::memcpy(b, In->data() + InPos, k);
    InPos += k;
    return static_cast<int64_t>(k);
  }
  void SkipArchive(int64_t) override {}
  bool CanRequestNextDisk() override { return false; }
  bool RequestNextDisk() override { return false; }
  int64_t WriteOutput(const uint8_t* b, int64_t n) override {
    if (Keep) std::memcpy(Out.data() + OutPos, b, static_cast<size_t>(n));
    OutPos += static_cast<size_t>(n);
    return n;
  }
  std::string OutputName() override { return "bench"; }
  bool FilePercentDoneAssigned() override { return false; }
  void FilePercentDone(int) override {}
  bool TotalPercentDoneAssigned() override { return false; }
  void TotalPercentDone(int) override {}
  void EntrySkipped() override {}
};

void Finish(benchmark::State& st, const Workload& w) {
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * w.TotalOut));
  st.counters["ratio_in_out"] = static_cast<double>(w.TotalIn) / static_cast<double>(w.TotalOut);
}

// How ours hands over its output: copied by the host from each write (Keep), handed over and
// dropped (Drop), or placed straight into memory the host lent for the entry (Lend).
enum class Output { Keep, Drop, Lend };

void BM_Ours(benchmark::State& st, const char* name, int level, Output mode) {
  Workload w = Load(name, level);
  if (w.Streams.empty()) return st.SkipWithError("corpus missing: run make-corpus.sh");
  BenchHost host;
  host.Keep = mode == Output::Keep;
  host.Out.resize(w.MaxOut + 16);
  unzip::TExtractState state(host);
  for (auto _ : st) {
    for (auto& s : w.Streams) {
      host.In = &s.Packed;
      host.InPos = 0;
      host.OutPos = 0;
      state.SetEntry(0, static_cast<int64_t>(s.Packed.size()), static_cast<int64_t>(s.Size));
      state.BeginDecoding();
      if (mode == Output::Lend) state.OutputMemory = host.Out.data();
      if (unzip::InflateEntry(state) != 0 || state.OutTotal != static_cast<int64_t>(s.Size))
        return st.SkipWithError("ours failed");
    }
    benchmark::DoNotOptimize(state.RunningCrc);
  }
  Finish(st, w);
}

void ZlibInflate(const Stream& s, Bytes& out, z_stream& z, bool crc) {
  inflateReset(&z);
  z.next_in = const_cast<Bytef*>(s.Packed.data());
  z.avail_in = static_cast<uInt>(s.Packed.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (inflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("zlib inflate");
  if (crc) benchmark::DoNotOptimize(crc32(0, out.data(), static_cast<uInt>(s.Size)));
}

void BM_Zlib(benchmark::State& st, const char* name, int level, bool crc) {
  Workload w = Load(name, level);
  if (w.Streams.empty()) return st.SkipWithError("corpus missing");
  Bytes out(w.MaxOut + 16);
  z_stream z{};
  inflateInit2(&z, -15);
  for (auto _ : st)
    for (auto& s : w.Streams) ZlibInflate(s, out, z, crc);
  inflateEnd(&z);
  Finish(st, w);
}

void BM_Libdeflate(benchmark::State& st, const char* name, int level, bool crc) {
  Workload w = Load(name, level);
  if (w.Streams.empty()) return st.SkipWithError("corpus missing");
  Bytes out(w.MaxOut + 16);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  for (auto _ : st)
    for (auto& s : w.Streams) {
      size_t n = 0;
      if (libdeflate_deflate_decompress(d, s.Packed.data(), s.Packed.size(), out.data(), s.Size, &n) !=
          LIBDEFLATE_SUCCESS)
        return st.SkipWithError("libdeflate failed");
      if (crc) benchmark::DoNotOptimize(libdeflate_crc32(0, out.data(), n));
    }
  libdeflate_free_decompressor(d);
  Finish(st, w);
}

// Alternating registration, so drift of the shared machine hits all alike: every decoder
// runs once per workload in each round, and the rounds repeat (QUORBIN_BENCH_ROUNDS, default
// 5); bench/inflate_ratios.py takes the median of the rounds.
int Register() {
  const char* r = std::getenv("QUORBIN_BENCH_ROUNDS");
  const int rounds = r ? std::max(1, std::atoi(r)) : 5;
  for (const char* name : {"mixed", "corpus"})
    for (int level : {1, 6, 9})
      for (int round = 0; round < rounds; ++round) {
        std::string suffix = std::string("/") + name + "/L" + std::to_string(level) + "/round:" + std::to_string(round);
        auto reg = [&](const char* impl, auto fn, auto... args) {
          benchmark::RegisterBenchmark((std::string("Inflate/") + impl + suffix).c_str(), fn, args...)
              ->Unit(benchmark::kMillisecond)
              ->MinTime(0.4);
        };
        reg("ours", BM_Ours, name, level, Output::Keep);
        reg("ours-t", BM_Ours, name, level, Output::Drop);
        reg("ours-mem", BM_Ours, name, level, Output::Lend);
        reg("libdeflate+crc", BM_Libdeflate, name, level, true);
        reg("zlib", BM_Zlib, name, level, false);
        reg("libdeflate", BM_Libdeflate, name, level, false);
        reg("zlib+crc", BM_Zlib, name, level, true);
      }
  return 0;
}
const int registered = Register();

}  // namespace

BENCHMARK_MAIN();
