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

// Which worker (0 to jobs - 1) takes each entry: runs of consecutive entries, worker k's from
// First[k] on, except the few entries listed in Moved (by index), which go to another worker.
// Held in this form, it costs nothing per entry.
struct TShares {
  std::vector<int32_t> First;
  std::vector<std::pair<int32_t, uint8_t>> Moved;
  uint8_t operator()(int32_t index) const;
};

// Runs of consecutive entries of about equal work (packed bytes plus a fixed cost per entry);
// excluded entries count for nothing. Enough where nothing is written to files (a test of the
// archive).
TShares ShareOutByWork(int32_t count, const TEntrySizes& packed, const std::vector<bool>& excluded, int jobs);

// The same runs, except that entries meeting at one output path (the same name whatever the
// letter case, or a file standing where another entry needs a directory) all go to the worker
// of the first of them. Names in the component's form; with `junkPaths` only the file names
// meet.
//
// Besides the result it holds 4 bytes an entry for a moment: it runs while every worker's
// directory is in memory, so it must not cost more than a worker does.
TShares ShareOut(int32_t count, const TEntryPaths& names, const TEntrySizes& packed, const std::vector<bool>& excluded,
                 int jobs, bool junkPaths);

}  // namespace cli
