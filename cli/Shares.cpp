#include "Shares.h"

#include <algorithm>

namespace cli {

namespace {

// The path an entry is written at, as far as it decides which entries meet: letter case
// folded (where the file system ignores it, such names are one file), "." and ".." and a
// drive dropped, "\" and "/" alike; only the file name under -j. A hash of each prefix that
// ends at a separator goes to `prefixes`; the whole path's is returned.
uint64_t OutputKey(const std::string& directory, const std::string& fileName, bool junkPaths,
                   std::vector<uint64_t>* prefixes) {
  const std::string full = directory + fileName;
  uint64_t h = 1469598103934665603ull;
  std::string part;
  bool any = false;
  auto take = [&](bool last) {
    if (part.empty() || part == "." || part == ".." || (!any && part.size() == 2 && part[1] == ':')) {
      part.clear();
      return;
    }
    if (junkPaths && !last) {
      part.clear();
      return;
    }
    if (any) h = (h ^ '/') * 1099511628211ull;
    for (const char c : part) h = (h ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c)) * 1099511628211ull;
    any = true;
    part.clear();
    if (!last && prefixes) prefixes->push_back(h);
  };
  for (const char c : full) {
    if (c == '\\' || c == '/')
      take(false);
    else
      part += c;
  }
  take(true);
  return h;
}

int32_t FindRoot(std::vector<int32_t>& parent, int32_t i) {
  while (parent[i] != i) i = parent[i] = parent[parent[i]];
  return i;
}

}  // namespace

// Which worker takes each entry: runs of consecutive entries of about equal work (packed
// bytes plus a fixed cost per file), except that entries that meet at one output path (the
// same name, or a file where another entry needs a directory) all go to the worker of the
// first of them, which writes them in archive order as one job would.
std::vector<uint8_t> ShareOut(int32_t n, const TEntryNames& names, const std::vector<int64_t>& packed,
                              const std::vector<bool>& excluded, int jobs, bool junkPaths) {
  std::vector<int32_t> parent(n);
  for (int32_t i = 0; i < n; ++i) parent[i] = i;
  {
    std::vector<std::pair<uint64_t, int32_t>> keys, files, prefixes;
    std::vector<uint64_t> scratch;
    for (int32_t i = 0; i < n; ++i) {
      if (excluded[i]) continue;
      const auto [directory, fileName] = names(i);
      scratch.clear();
      const uint64_t k = OutputKey(directory, fileName, junkPaths, &scratch);
      keys.emplace_back(k, i);
      if (!fileName.empty() && fileName != "." && fileName != "..") files.emplace_back(k, i);
      for (const uint64_t p : scratch) prefixes.emplace_back(p, i);
    }
    std::sort(keys.begin(), keys.end());
    for (size_t j = 1; j < keys.size(); ++j)
      if (keys[j].first == keys[j - 1].first)
        parent[FindRoot(parent, keys[j].second)] = FindRoot(parent, keys[j - 1].second);
    std::sort(files.begin(), files.end());
    for (const auto& [p, i] : prefixes) {
      const auto f = std::lower_bound(files.begin(), files.end(), std::make_pair(p, int32_t{0}));
      if (f != files.end() && f->first == p) parent[FindRoot(parent, i)] = FindRoot(parent, f->second);
    }
  }
  constexpr int64_t kCostPerEntry = 16384;
  int64_t total = 0;
  for (int32_t i = 0; i < n; ++i)
    if (!excluded[i]) total += packed[i] + kCostPerEntry;
  std::vector<uint8_t> owner(n, 0);
  std::vector<uint8_t> rootOwner(n, 0xFF);
  int64_t done = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (excluded[i]) continue;
    const int32_t root = FindRoot(parent, i);
    if (rootOwner[root] == 0xFF)
      rootOwner[root] = static_cast<uint8_t>(std::min<int64_t>(jobs - 1, done * jobs / std::max<int64_t>(total, 1)));
    owner[i] = rootOwner[root];
    done += packed[i] + kCostPerEntry;
  }
  return owner;
}

}  // namespace cli
