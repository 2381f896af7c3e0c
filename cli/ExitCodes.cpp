#include "ExitCodes.h"

namespace cli {

int ExitCodeFor(const TOutcome& o) {
  if (o.Damaged > 0 || o.DirectoryDamaged) return kExitBadArchive;
  if (o.Unsupported > 0) return kExitUnsupported;
  if (o.BadPassword > 0 && o.Done == 0 && o.DirectoriesMade == 0 && o.NotReplaced == 0)
    return kExitBadPassword;
  if (o.UnmatchedMasks > 0 || o.NothingSelected) return kExitNoMatch;
  if (o.BadPassword > 0 || o.NotReplaced > 0 || o.UnsafeLinks > 0 || o.NotCreated > 0 || o.Rewritten > 0)
    return kExitWarning;
  return kExitOk;
}

}  // namespace cli
