#pragma once
// Where the disks of a split or spanned set are found: beside the archive named on the
// command line (its last disk, NAME.zip), the earlier ones are NAME.z01, NAME.z02, ... as
// zip -s writes them. No component needed; tested on its own.
#include <string>
#include <vector>

namespace cli {

// The file names to try, in order, for disk `disk` (1-based) of a set of `diskCount` disks
// whose last disk is `archive`. The last disk is the archive itself; any other is the
// archive's name with ".zNN" (two digits at least) in place of its ".zip", in the letter case
// of that extension first and in the other case after it. A name without ".zip" gets ".zNN"
// appended.
std::vector<std::string> DiskNameCandidates(const std::string& archive, int disk, int diskCount);

}  // namespace cli
