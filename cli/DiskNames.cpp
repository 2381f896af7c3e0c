#include "DiskNames.h"

#include <cstdio>

namespace cli {

std::vector<std::string> DiskNameCandidates(const std::string& archive, int disk, int diskCount) {
  if (disk >= diskCount) return {archive};
  char number[16];
  std::snprintf(number, sizeof number, "%02d", disk);
  const size_t n = archive.size();
  const bool hasZip = n >= 4 && archive[n - 4] == '.' &&
                      (archive[n - 3] == 'z' || archive[n - 3] == 'Z') &&
                      (archive[n - 2] == 'i' || archive[n - 2] == 'I') &&
                      (archive[n - 1] == 'p' || archive[n - 1] == 'P');
  if (!hasZip) return {archive + ".z" + number, archive + ".Z" + number};
  const std::string stem = archive.substr(0, n - 3);  // keeps the dot
  const bool upper = archive[n - 3] == 'Z';
  const std::string first = stem + (upper ? "Z" : "z") + number;
  const std::string second = stem + (upper ? "z" : "Z") + number;
  return {first, second};
}

}  // namespace cli
