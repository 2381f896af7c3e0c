#pragma once
// Which worker of a parallel extraction takes each entry. Needs nothing of the component, so
// the rule is tested on its own.
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "Selection.h"

namespace cli {

// The directory and file name of entry `index` (as TEntryNames), and its packed size.
using TEntryPaths = std::function<std::pair<std::string_view, std::string_view>(int32_t index)>;
using TEntrySizes = std::function<int64_t(int32_t index)>;

// The worker (0 to jobs - 1) of each of `count` entries: runs of consecutive entries of about
// equal work (packed bytes plus a fixed cost per entry). Excluded entries count for nothing.
// Enough where nothing is written to files (a test of the archive).
std::vector<uint8_t> ShareOutByWork(int32_t count, const TEntrySizes& packed, const std::vector<bool>& excluded,
                                    int jobs);

// The worker (0 to jobs - 1) of each of `count` entries: runs of consecutive entries of about
// equal work (packed bytes plus a fixed cost per entry), except that entries meeting at one
// output path (the same name whatever the letter case, or a file standing where another entry
// needs a directory) all go to the worker of the first of them. Excluded entries count for
// nothing. Names in the component's form; with `junkPaths` only the file names meet.
//
// Besides the result it holds 4 bytes an entry for a moment: it runs while every worker's
// directory is in memory, so it must not cost more than a worker does.
std::vector<uint8_t> ShareOut(int32_t count, const TEntryPaths& names, const TEntrySizes& packed,
                              const std::vector<bool>& excluded, int jobs, bool junkPaths);

}  // namespace cli
