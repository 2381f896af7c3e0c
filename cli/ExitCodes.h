#pragma once
// Exit codes as Info-ZIP unzip documents them, so scripts written for it keep working, and
// the rule that turns the outcome of a run into one of them.
namespace cli {

enum TExitCode : int {
  kExitOk = 0,
  kExitWarning = 1,          // something was left out: a file not replaced, a wrong password
  kExitBadArchive = 2,       // damaged archive or entry data (CRC error, truncation)
  kExitNoArchive = 9,        // archive (or a disk of a set) not found, or not a ZIP archive
  kExitBadUsage = 10,        // bad command line
  kExitNoMatch = 11,         // a mask matched nothing, or nothing was selected
  kExitInterrupted = 80,     // interrupted (Ctrl-C) or the work was cancelled
  kExitUnsupported = 81,     // an entry of a method this program cannot decode
  kExitBadPassword = 82,     // encrypted entries skipped and nothing else came through
};

// What happened to the entries of one run.
struct TOutcome {
  int Done = 0;              // entries extracted, tested or listed without fault
  int DirectoriesMade = 0;   // directory entries created (they count as processed, as in unzip)
  int Damaged = 0;           // CRC mismatch or bad data
  int Unsupported = 0;       // unknown compression method
  int BadPassword = 0;       // no password accepted
  int NotReplaced = 0;       // an existing file kept because the answer was no (or no terminal)
  int UnsafeLinks = 0;       // symbolic links not made: they would lead out of the destination
  int NotCreated = 0;        // a file or directory the system would not make (the run went on)
  int Rewritten = 0;         // a stored name changed to keep the entry below the destination
  int UnmatchedMasks = 0;    // include masks that selected no entry
  bool NothingSelected = false;
  bool DirectoryDamaged = false;  // the central directory could not be read whole
};

// The exit code of a run that ended normally. The gravest class wins: damage (of an entry or
// of the directory, even when every entry was recovered) before an
// unsupported method before a wrong password before an unmatched mask before a warning.
// Password failures give 82 only when no entry came through at all (a directory made counts),
// else 1, as unzip does.
// Files kept under -n are not a warning: the user asked for exactly that.
int ExitCodeFor(const TOutcome& outcome);

}  // namespace cli
