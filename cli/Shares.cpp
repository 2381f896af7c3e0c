#include "Shares.h"

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>

namespace cli {

namespace {

constexpr uint64_t kFnvBasis = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// 31 bits of a path's hash. Two paths that share them are taken as meeting: that only keeps
// two entries with one worker that could have gone to two, never the other way round.
uint32_t Short(uint64_t h) { return static_cast<uint32_t>((h ^ (h >> 32)) & 0x7FFFFFFF); }

// The path an entry is written at, as far as it decides which entries meet: letter case
// folded (where the file system ignores it, such names are one file), "." and ".." and a
// drive dropped, "\" and "/" alike; only the file name under -j. Hashed as it is walked,
// without building the path. Entries come mostly in runs of one directory: the state after
// the directory of the entry before is kept, and taken as it is when the next one has the
// same directory.
class TPathKeys {
public:
  explicit TPathKeys(bool junkPaths) : JunkPaths(junkPaths) {}

  // The key of the whole path; `prefix` is called with the depth and key of each leading
  // part that ends at a separator.
  template <class OnPrefix>
  uint32_t Key(std::string_view directory, std::string_view fileName, OnPrefix prefix) {
    if (!Cached || directory != Directory) {
      Cached = false;
      Directory.assign(directory);
      Prefixes.clear();
      State = {};
      Begin(State);
      Walk(State, directory, [this](uint32_t p) { Prefixes.push_back(p); });
      Cached = true;
    }
    size_t depth = 0;
    for (; depth < Prefixes.size(); ++depth) prefix(depth, Prefixes[depth]);
    TState s = State;
    Walk(s, fileName, [&](uint32_t p) { prefix(depth++, p); });
    End(s, true, [](uint32_t) {});
    return Short(s.H);
  }

private:
  struct TState {
    uint64_t H = kFnvBasis, Part = kFnvBasis;
    bool Any = false;
    size_t Length = 0;
    char First = 0, Second = 0;
  };
  static void Begin(TState& s) {
    s.Part = s.Any ? (s.H ^ '/') * kFnvPrime : s.H;
    s.Length = 0;
  }
  template <class OnPrefix>
  void End(TState& s, bool last, OnPrefix prefix) const {
    const bool dropped = s.Length == 0 || (s.Length == 1 && s.First == '.') ||
                         (s.Length == 2 && s.First == '.' && s.Second == '.') ||
                         (!s.Any && s.Length == 2 && s.Second == ':') || (JunkPaths && !last);
    if (!dropped) {
      s.H = s.Part;
      s.Any = true;
      if (!last) prefix(Short(s.H));
    }
    Begin(s);
  }
  template <class OnPrefix>
  void Walk(TState& s, std::string_view text, OnPrefix prefix) const {
    for (const char c : text) {
      if (c == '\\' || c == '/') {
        End(s, false, prefix);
        continue;
      }
      if (s.Length == 0) s.First = c;
      if (s.Length == 1) s.Second = c;
      ++s.Length;
      s.Part = (s.Part ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c)) * kFnvPrime;
    }
  }

  const bool JunkPaths;
  bool Cached = false;
  std::string Directory;
  TState State;
  std::vector<uint32_t> Prefixes;
};

bool IsFile(std::string_view fileName) { return !fileName.empty() && fileName != "." && fileName != ".."; }

int32_t FindRoot(std::vector<int32_t>& parent, int32_t i) {
  while (parent[i] != i) i = parent[i] = parent[parent[i]];
  return i;
}

void SortUnique(std::vector<uint32_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

uint8_t TShares::operator()(int32_t index) const {
  if (!Moved.empty()) {
    const auto it = std::lower_bound(Moved.begin(), Moved.end(), index,
                                     [](const auto& m, int32_t i) { return m.first < i; });
    if (it != Moved.end() && it->first == index) return it->second;
  }
  return static_cast<uint8_t>(std::upper_bound(First.begin() + 1, First.end(), index) - First.begin() - 1);
}

TShares ShareOutByWork(int32_t n, const TEntrySizes& packed, const std::vector<bool>& excluded, int jobs) {
  // The system calls of a file, counted as packed bytes.
  constexpr int64_t kCostPerEntry = 16384;
  // Sizes come from the archive: each counts up to 2 GiB, so that no sum of them overflows.
  const auto work = [&packed](int32_t i) { return std::clamp<int64_t>(packed(i), 0, INT32_MAX) + kCostPerEntry; };
  int64_t total = 0;
  for (int32_t i = 0; i < n; ++i)
    if (!excluded[i]) total += work(i);
  TShares shares;
  shares.First.assign(static_cast<size_t>(std::max(jobs, 1)), n);
  shares.First[0] = 0;
  int64_t done = 0;
  int worker = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (excluded[i]) continue;
    const int at = std::min(jobs - 1, static_cast<int>(static_cast<double>(done) * jobs / static_cast<double>(total)));
    while (worker < at) shares.First[++worker] = i;
    done += work(i);
  }
  return shares;
}

// Entries meet through paths: two of the same path, or one whose leading part is the path of
// a file. Only the paths through which entries meet (nearly always none) are kept as nodes of
// a union-find; each entry's own place comes from ShareOutByWork, and only the entries that a
// group takes elsewhere are listed. So the memory is a sorted array of 4-byte path keys for a
// moment, and the passes over the names beyond the first two are only made where entries meet.
TShares ShareOut(int32_t n, const TEntryPaths& names, const TEntrySizes& packed, const std::vector<bool>& excluded,
                 int jobs, bool junkPaths) {
  TShares owner = ShareOutByWork(n, packed, excluded, jobs);
  TPathKeys paths(junkPaths);
  auto walk = [&](int32_t i, auto prefix) {
    const auto [directory, fileName] = names(i);
    return paths.Key(directory, fileName, prefix);
  };
  // The paths met twice (Twice) and the paths of files that lead another entry's path (Leads).
  std::vector<uint32_t> twice, leads;
  {
    // Each path's key, with the lowest bit set for a file.
    std::vector<uint32_t> keys;
    keys.reserve(static_cast<size_t>(std::count(excluded.begin(), excluded.end(), false)));
    for (int32_t i = 0; i < n; ++i) {
      if (excluded[i]) continue;
      const auto [directory, fileName] = names(i);
      const uint32_t k = paths.Key(directory, fileName, [](size_t, uint32_t) {});
      keys.push_back(k << 1 | (IsFile(fileName) ? 1 : 0));
    }
    std::sort(keys.begin(), keys.end());
    for (size_t j = 1; j < keys.size(); ++j)
      if (keys[j] >> 1 == keys[j - 1] >> 1 && (twice.empty() || twice.back() != keys[j] >> 1))
        twice.push_back(keys[j] >> 1);
    // The files that lead another entry's path. The leading parts of the entry before, which
    // the next one nearly always shares, are looked up once.
    size_t settled = 0;
    std::vector<uint32_t> before;
    for (int32_t i = 0; i < n; ++i) {
      if (excluded[i]) continue;
      walk(i, [&](size_t depth, uint32_t p) {
        if (depth < before.size() && before[depth] == p) return;
        before.resize(depth);
        before.push_back(p);
        if ((leads.empty() || leads.back() != p) && std::binary_search(keys.begin(), keys.end(), p << 1 | 1))
          leads.push_back(p);
      });
      // Leading parts repeat from entry to entry; a hostile archive repeats them a million times.
      if (leads.size() > 2 * settled + 1024) {
        SortUnique(leads);
        settled = leads.size();
      }
    }
    SortUnique(leads);
  }
  if (twice.empty() && leads.empty()) return owner;

  // The nodes: every path through which entries meet. An entry belongs to the node of its own
  // path, and to that of each leading part that is a file's path.
  std::vector<uint32_t> nodes = twice;
  nodes.insert(nodes.end(), leads.begin(), leads.end());
  SortUnique(nodes);
  auto node = [&nodes](uint32_t k) {
    const auto it = std::lower_bound(nodes.begin(), nodes.end(), k);
    return it != nodes.end() && *it == k ? static_cast<int32_t>(it - nodes.begin()) : -1;
  };
  auto touched = [&](int32_t i, auto each) {
    const uint32_t k = walk(i, [&](size_t, uint32_t p) {
      if (std::binary_search(leads.begin(), leads.end(), p)) each(node(p));
    });
    if (const int32_t x = node(k); x >= 0) each(x);
  };
  std::vector<int32_t> parent(nodes.size());
  for (size_t j = 0; j < parent.size(); ++j) parent[j] = static_cast<int32_t>(j);
  for (int32_t i = 0; i < n; ++i) {
    if (excluded[i]) continue;
    int32_t first = -1;
    touched(i, [&](int32_t x) {
      if (first < 0) first = x;
      else parent[FindRoot(parent, x)] = FindRoot(parent, first);
    });
  }
  // Each group goes where its first entry's place is.
  std::vector<uint8_t> groupOwner(nodes.size(), 0xFF);
  for (int32_t i = 0; i < n; ++i) {
    if (excluded[i]) continue;
    int32_t first = -1;
    touched(i, [&](int32_t x) {
      if (first < 0) first = x;
    });
    if (first < 0) continue;
    const uint8_t place = owner(i);
    uint8_t& g = groupOwner[FindRoot(parent, first)];
    if (g == 0xFF) g = place;
    if (g != place) owner.Moved.emplace_back(i, g);
  }
  return owner;
}

}  // namespace cli
