#include "Selection.h"

#include <algorithm>

#include "Names.h"

namespace cli {

std::string ComponentMask(const std::string& userMask) {
  std::string m = userMask;
  for (char& c : m)
    if (c == '/') c = '\\';
  return m;
}

std::string DisplayName(const std::string& componentName) {
  std::string s = componentName;
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

bool MaskSelects(const std::string& mask, const std::string& directory, const std::string& fileName,
                 bool ignoreCase) {
  if (mask.find('\\') != std::string::npos) return unzip::IsMatch(mask, directory + fileName, ignoreCase);
  return unzip::IsMatch(mask, fileName, ignoreCase);
}

TSelection SelectEntries(int32_t count, const TEntryNames& names,
                         const std::vector<std::string>& includes,
                         const std::vector<std::string>& excludes, bool ignoreCase) {
  std::vector<std::string> inc, exc;
  for (const auto& m : includes) inc.push_back(ComponentMask(m));
  for (const auto& m : excludes) exc.push_back(ComponentMask(m));
  std::vector<uint8_t> used(inc.size(), 0);

  TSelection s;
  s.Included.assign(count, false);
  s.Excluded.assign(count, false);
  if (inc.empty() && exc.empty()) {
    s.Included.assign(count, true);
    s.Count = count;
    return s;
  }
  for (int32_t i = 0; i < count; ++i) {
    const auto [directory, fileName] = names(i);
    bool in = inc.empty();
    // Every include mask is tried, not just up to the first match, so that a mask is only
    // called unmatched when it really selects nothing.
    for (size_t k = 0; k < inc.size(); ++k) {
      if (used[k] && in) continue;
      if (MaskSelects(inc[k], directory, fileName, ignoreCase)) {
        used[k] = 1;
        in = true;
      }
    }
    if (!in) continue;
    s.Included[i] = true;
    bool out = false;
    for (const auto& m : exc)
      if (MaskSelects(m, directory, fileName, ignoreCase)) {
        out = true;
        break;
      }
    if (out)
      s.Excluded[i] = true;
    else
      ++s.Count;
  }
  for (size_t k = 0; k < inc.size(); ++k)
    if (!used[k]) s.UnmatchedMasks.push_back(includes[k]);
  return s;
}

}  // namespace cli
