// The extraction side of TUnZipper: ExtractFiles, the run it starts (work blocks,
// destination, selection, totals, the per-entry loop) and ExtractEntry, which extracts one
// entry.
//
// Where nothing stands at the output path, the entry's file is made there at once,
// exclusively, and removed again if the entry fails. Where something stands, the entry is
// written into a temporary file next to it and moved onto the path only once its CRC matched.
// A bad CRC, a wrong password, an error, a cancel or a Skip therefore never destroys an
// existing file and never leaves a partial one behind; and a symbolic link at the output path
// is replaced by the move, never written through.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Decryptor.h"
#include "ExtractHost.h"
#include "ExtractState.h"
#include "FileNames.h"
#include "FileTimes.h"
#include "Methods.h"
#include "Names.h"
#include "OverlapCheck.h"
#include "Streams.h"
#include "UnZipper.h"
#include "UnZipperState.h"
#include "UnzipErrors.h"
#include "UserInterface.h"
#include "ZipDirectory.h"

namespace unzip {

namespace {

bool IsDriveLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool StartsWithDrive(const std::string& s) { return s.size() >= 2 && s[1] == ':' && IsDriveLetter(s[0]); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string LowerCase(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// The directory's components joined with "\" (with a trailing "\" when any), without the
// empty, "." and ".." ones: whatever an archive stores, the result stays below where it is
// put.
std::string WithoutDotComponents(const std::string& dir, bool& droppedParent) {
  std::string out, part;
  auto take = [&] {
    if (part == "..") droppedParent = true;
    if (!part.empty() && part != "." && part != "..") out += part + "\\";
    part.clear();
  };
  for (char c : dir) {
    if (platform::IsPathSeparator(c)) take();
    else part += c;
  }
  take();
  return out;
}

// What stands at a name in a directory, links not followed.
enum class TPathKind { None, Directory, Other };

TPathKind PathKindAt(int dir, const std::string& leaf) {
  struct stat st;
  if (dir < 0 || ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return TPathKind::None;
  return S_ISDIR(st.st_mode) ? TPathKind::Directory : TPathKind::Other;
}

// A directory in the host's form ("a/b"), from the system's ("a\b\").
std::string HostRelative(const std::string& dir) {
  std::string out;
  for (char c : dir) out += platform::IsPathSeparator(c) ? '/' : c;
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

int ComponentCount(const std::string& hostRelative) {
  int n = 0;
  for (size_t at = 0; at < hostRelative.size();) {
    size_t slash = hostRelative.find('/', at);
    if (slash == std::string::npos) slash = hostRelative.size();
    n += slash > at;
    at = slash + 1;
  }
  return n;
}

// True when a link `depth` directories below the destination, with this target, leads to a
// place inside the destination: a relative target whose ".." come first, no more of them
// than the link is deep. A ".." after a name is refused even where it would stay inside:
// that name may itself be a link (made later by the same archive) leading somewhere else.
bool LinkStaysInside(const std::string& target, int depth) {
  if (target.empty() || target[0] == '/') return false;
  bool named = false;
  for (size_t at = 0; at < target.size();) {
    size_t slash = target.find('/', at);
    if (slash == std::string::npos) slash = target.size();
    const std::string part = target.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part != "..") named = true;
    else if (named || --depth < 0) return false;
  }
  return true;
}

uint8_t PackResult(TEntryOutcome outcome, TEntryProblem problem, bool rewritten) {
  return static_cast<uint8_t>(static_cast<unsigned>(outcome) | (static_cast<unsigned>(problem) << 3) |
                              (rewritten ? 0x80u : 0u));
}

}  // namespace

// ---- Results ------------------------------------------------------------------------------------

TEntryResult TUnZipper::EntryResult(int32_t Index) const {
  TEntryResult r;
  if (Index < RunOutcomesFrom || static_cast<size_t>(Index - RunOutcomesFrom) >= RunOutcomes.size()) return r;
  const uint8_t packed = RunOutcomes[static_cast<size_t>(Index - RunOutcomesFrom)];
  auto it = std::lower_bound(RunFailures.begin(), RunFailures.end(), Index,
                             [](const auto& f, int32_t i) { return f.first < i; });
  if (it != RunFailures.end() && it->first == Index) r = it->second;
  r.Outcome = static_cast<TEntryOutcome>(packed & 7);
  r.Problem = static_cast<TEntryProblem>((packed >> 3) & 15);
  r.NameRewritten = (packed & 0x80) != 0;
  return r;
}

void TUnZipper::SetEntryOutcome(int32_t index, TEntryOutcome outcome, TEntryProblem problem) {
  uint8_t& packed = RunOutcome(index);
  packed = PackResult(outcome, problem, (packed & 0x80) != 0);
}

// ---- The run ----------------------------------------------------------------------------------

int32_t TUnZipper::ExtractFiles() {
  S->CancelRequested = false;
  S->CurrentEntry.LocalHeaderOffset = -1;  // no entry reached yet
  if (FDestDir == "?") return 0;
  OpenArchive();
  int32_t count = 0;
  try {
    count = RunExtraction();
  } catch (...) {
    // Released on every path: without KeepZipOpen the archive file is not left open.
    CloseArchive();
    throw;
  }
  CloseArchive();
  return count;
}

namespace {

// The process has one current directory, and components running in several threads at once
// would each enter their DestDir and restore what they found, so one that started inside
// another's run would put that run's DestDir back at its end. Only a run that starts while no
// other runs enters DestDir and restores the directory; runs overlapping it build every path
// on their absolute DestDir anyway, and resolve a relative one against the directory the
// first run found.
struct TCurrentDirectoryRuns {
  std::mutex Lock;
  int Active = 0;
  std::string Original;
};
TCurrentDirectoryRuns& CurrentDirectoryRuns() {
  static TCurrentDirectoryRuns runs;
  return runs;
}

}  // namespace

int32_t TUnZipper::RunExtraction() {
  TExtractState state(*this);
  TExtractRun run;
  S->ActiveRun = &run;

  TCurrentDirectoryRuns& runs = CurrentDirectoryRuns();
  std::string remembered;
  bool alone;
  {
    std::lock_guard<std::mutex> hold(runs.Lock);
    alone = runs.Active++ == 0;
    if (alone) runs.Original = GetCurrentDir();
    remembered = runs.Original;
  }
  bool sortChanged = false, entered = false, counted = true;
  const TZipSortMode rememberedSort = SortMode;
  auto restore = [&] {
    S->ActiveRun = nullptr;
    if (counted) {
      // Under the lock, so a run starting now finds the directory already restored.
      std::lock_guard<std::mutex> hold(runs.Lock);
      --runs.Active;
      counted = false;
      if (entered) {
        entered = false;
        SetCurrentDir(remembered);
      }
    }
    if (sortChanged) {
      SortMode = rememberedSort;
      ApplySortMode(rememberedSort);
    }
  };

  try {
    // An archive whose entries share compressed data is refused before anything is made.
    if (S->EntryList) CheckOverlappingEntries(*S->EntryList);
    run.DefaultMode = platform::DefaultFileMode();
    run.Dest = FDestDir;
    if (!run.Dest.empty()) {
      // Output paths are built on DestDir after it became the current directory, so a
      // relative one is resolved first: otherwise it would be taken twice.
      if (!platform::IsPathSeparator(run.Dest[0]) && !StartsWithDrive(run.Dest))
        run.Dest = remembered + "\\" + run.Dest;
      // A run into a sink makes nothing and goes nowhere.
      if (!OutputSink) {
        if (!DirectoryExists(run.Dest) && !platform::CreateDirectories(run.Dest)) {
          // Said with the system's reason (a read-only or missing parent is no "File not
          // found"); a file in the way is no directory.
          const int err = errno == EEXIST || errno == 0 ? ENOTDIR : errno;
          throw ECreateFailed(platform::Format("Cannot create directory %s", run.Dest.c_str()), err);
        }
        if (alone) {
          SetCurrentDir(run.Dest);
          entered = true;
        }
      }
    }
    run.DestHost = platform::HostPath(run.Dest.empty() ? std::string("\\") : run.Dest);

    if (S->EndRecord.ThisDiskNumber > 0 && SortMode != TZipSortMode::ByNone) {
      // A set that spans disks is read in archive order, so each disk is asked for once.
      sortChanged = true;
      SortMode = TZipSortMode::ByNone;
      ApplySortMode(TZipSortMode::ByNone);
    }

    S->TotalToExtract = 0;
    S->TotalExtracted = 0;
    const int32_t entries = EntryCount();
    run.Count = entries;
    RunOutcomes.clear();
    RunOutcomesFrom = 0;
    RunFailures.clear();
    // The span of the entries taken, for their outcomes.
    int32_t low = entries, high = -1;
    std::vector<std::string> masks;
    for (const std::string& m : FilesList) masks.push_back(LowerCase(m));
    // Read from the store as it holds the entries: no entry is made whole for this. (An archive
    // without entries has no view.)
    const TEntryStore* store = entries > 0 ? S->SortedEntries->Entries().get() : nullptr;
    for (int32_t i = 0; i < entries; ++i) {
      // An entry the filter refuses is not looked at: several components sharing out one
      // archive each pass over the others' entries at no more than this cost.
      if (EntryFilter && !EntryFilter(i)) {
        S->SortedEntries->SetSelected(i, false);
        --run.Count;
        continue;
      }
      const uint32_t at = S->SortedEntries->StoreIndex(i);
      const std::string_view fullName = store->FullName(at);
      const std::string_view fileName = fullName.substr(store->DirectoryLength(at));
      bool selected = DoAll;
      const bool noFile = fileName.empty() || fileName == "." || fileName == "..";
      if (noFile && !RecreateDirs) {
        S->SortedEntries->SetSelected(i, false);
        --run.Count;
        continue;
      }
      for (const std::string& mask : masks) {
        const std::string subject =
            LowerCase(std::string(mask.find('\\') != std::string::npos ? fullName : fileName));
        if (IsMatch(mask, subject)) {
          selected = true;
          break;
        }
      }
      // Sizes are unsigned 32-bit in the archive: counted in 64 bits, 2-4 GiB entries stay
      // positive.
      S->SortedEntries->SetSelected(i, selected);
      if (selected) {
        S->TotalToExtract += store->UncompressedSize(at);
        low = std::min(low, i);
        high = i;
      } else {
        --run.Count;
      }
    }
    // Under DoAll without a filter the loop below takes every entry.
    if (DoAll && !EntryFilter && entries > 0) {
      low = 0;
      high = entries - 1;
    }
    if (high >= low) {
      RunOutcomesFrom = low;
      RunOutcomes.assign(static_cast<size_t>(high - low + 1), 0);
      for (int32_t i = low; i <= high; ++i)
        if (S->SortedEntries->Selected(i)) RunOutcome(i) = PackResult(TEntryOutcome::NotReached, TEntryProblem::None, false);
    }
    state.TotalToExtract = S->TotalToExtract;
    state.TotalExtracted = 0;

    bool stopNow = false;
    if (OnStartUnZipInfo) OnStartUnZipInfo(this, run.Count, S->TotalToExtract, stopNow);

    if (run.Count > 0 && !stopNow) {
      for (int32_t i = 0; i < entries; ++i) {
        if (!S->SortedEntries->Selected(i) && (!DoAll || EntryFilter)) continue;
        if (RunOutcome(i) == 0) RunOutcome(i) = PackResult(TEntryOutcome::NotReached, TEntryProblem::None, false);
        do {
          ExtractEntryReporting(state, i);
        } while (S->RetryEntry);
      }
      // Writing into a directory changed its time: directory entries get theirs now.
      for (const TExtractRun::TDirectoryTime& d : run.DirectoryTimes) {
        const size_t slash = d.Relative.rfind('/');
        const std::string parent = slash == std::string::npos ? std::string() : d.Relative.substr(0, slash);
        const int dir = run.NewFileDirectory.Open(d.Base, parent);
        const struct timespec times[2] = {d.Time, d.Time};
        if (dir >= 0) ::utimensat(dir, d.Relative.c_str() + (slash == std::string::npos ? 0 : slash + 1), times,
                                  AT_SYMLINK_NOFOLLOW);
      }
    }
    S->TotalExtracted = state.TotalExtracted;
  } catch (...) {
    // The first error is the one reported: a failure to get back is not raised over it.
    try {
      restore();
    } catch (...) {
    }
    throw;
  }
  restore();
  return run.Count;
}

void TUnZipper::ExtractEntryReporting(TExtractState& state, int32_t index) {
  TExtractRun& run = *S->ActiveRun;
  auto fail = [&](TEntryProblem problem, const platform::Exception& e, int systemError) {
    S->RetryEntry = false;
    SetEntryOutcome(index, TEntryOutcome::Failed, problem);
    TEntryResult detail;
    detail.Message = e.Message;
    detail.SystemError = systemError;
    detail.OutputPath = run.OutputPath;
    // Indexes only grow within a run, so the list stays sorted.
    RunFailures.emplace_back(index, detail);
  };
  run.OutputPath.clear();
  run.WriteError = 0;
  try {
    ExtractEntry(state, index);
    return;
  } catch (const EUserCanceled&) {
    throw;
  } catch (const platform::EWriteError& e) {
    // A refused write (a full disk) would refuse the next entry too: the run ends here.
    const auto* failed = dynamic_cast<const EWriteFailed*>(&e);
    fail(TEntryProblem::WriteFailed, e, failed ? failed->SystemError : run.WriteError);
    throw;
  } catch (const ECreateFailed& e) {
    fail(TEntryProblem::CannotCreate, e, e.SystemError);
    if (!ContinueAfterEntryErrors) throw;
  } catch (const platform::Exception& e) {
    fail(TEntryProblem::Damaged, e, 0);
    if (!ContinueAfterEntryErrors) throw;
  }
  --run.Count;
  if (OnEntryFailed) OnEntryFailed(this, index, EntryResult(index));
}

void TUnZipper::ExtractEntry(TExtractState& state, int32_t index) {
  TExtractRun& run = *S->ActiveRun;
  S->RetryEntry = false;
  S->SortedEntries->Load(index, S->CurrentEntry);
  const bool directoryEntry = S->CurrentEntry.FileName.empty() || S->CurrentEntry.FileName == "." ||
                              S->CurrentEntry.FileName == "..";

  if (!directoryEntry) {
    if (S->EndRecord.ThisDiskNumber > 0 && S->CurrentEntry.DiskNumberStart != S->CurrentDisk)
      RequestDisk(S->CurrentEntry.DiskNumberStart + 1);
    S->ArchiveStream->Seek(S->CurrentEntry.LocalHeaderOffset, platform::soFromBeginning);
    if (ReadArchive(S->LocalHeaderBuffer, kLocalHeaderSize) != kLocalHeaderSize) RaisePrematureEnd();
    // Only the lengths are taken from the local header; the central values stand.
    const int localRest = GetU16(S->LocalHeaderBuffer + 26) + GetU16(S->LocalHeaderBuffer + 28);
    if (S->EntryList)
      run.Following = CheckEntryDataExtent(*S->EntryList, S->CurrentEntry,
                                           S->CurrentEntry.LocalHeaderOffset + kLocalHeaderSize + localRest,
                                           run.Following + 1);
    S->ArchiveStream->Seek(localRest, platform::soFromCurrent);
  }

  // Output directory. Below the destination it is reached one directory at a time, never
  // through a link, whether the archive made it or it stood there before.
  // A run into a sink makes none.
  const bool toFiles = OutputSink == nullptr;
  std::string outputDir, base = run.DestHost, relative;
  if (RecreateDirs && !S->CurrentEntry.Directory.empty()) {
    std::string dir = S->CurrentEntry.Directory;
    if (!FRootDir.empty() && dir.size() >= FRootDir.size() &&
        SameText(dir.substr(0, FRootDir.size()), FRootDir))
      dir.erase(0, FRootDir.size());
    const bool rooted = !dir.empty() && platform::IsPathSeparator(dir[0]);
    const bool drive = StartsWithDrive(dir);
    bool droppedParent = false;
    const std::string rest = WithoutDotComponents(drive ? dir.substr(2) : dir, droppedParent);
    if (run.Dest.empty() && (rooted || drive)) {
      // No destination: a rooted or drive directory is used as stored (less its dots).
      std::string lead = rooted ? "\\" : dir.substr(0, 2);
      if (drive && dir.size() > 2 && platform::IsPathSeparator(dir[2])) lead += "\\";
      outputDir = lead + rest;
      if (toFiles && !DirectoryExists(outputDir)) ForceDirs(outputDir);
      base = platform::HostPath(outputDir);
    } else {
      // A drive or a leading "\" is dropped: everything goes below the destination.
      outputDir = run.Dest + "\\" + rest;
      relative = HostRelative(rest);
      if (rooted || drive) droppedParent = true;
    }
    if (droppedParent) {
      uint8_t& packed = RunOutcome(index);
      packed = static_cast<uint8_t>(packed | 0x80);
    }
  } else {
    outputDir = run.Dest + "\\";
  }
  int outDir = -1;
  if (toFiles && (!directoryEntry || RecreateDirs)) {
    run.OutputPath = outputDir;
    outDir = run.NewFileDirectory.Open(base, relative);
    if (outDir < 0 && (errno == ELOOP || errno == ENOTDIR))
      RaiseLinkInTheWay(directoryEntry ? outputDir : outputDir + S->CurrentEntry.FileName);
    // A directory entry that could not be made is not made, and never said to be.
    if (outDir < 0 && directoryEntry) RaiseCannotCreate(outputDir);
  }

  if (directoryEntry) {
    SetEntryOutcome(index, TEntryOutcome::Made, TEntryProblem::None);
    // Its time is set once everything inside it is written.
    struct timespec time;
    if (RecreateDirs && outDir >= 0 && !relative.empty() &&
        EntryTime(S->CurrentEntry.FileDateTime, S->CurrentEntry.Extra, time))
      run.DirectoryTimes.push_back({base, relative, time});
    if (RecreateDirs && OnStartUnZip) {
      bool skip = false;
      OnStartUnZip(this, index, outputDir, skip);
    }
    return;
  }

  std::string outputPath = outputDir + S->CurrentEntry.FileName;
  run.OutputPath = outputPath;
  state.SetEntry(S->CurrentEntry.Flags, S->CurrentEntry.CompressedSize, S->CurrentEntry.UncompressedSize);

  auto skipEntry = [&](TSkipReason reason) {
    SetEntryOutcome(index, TEntryOutcome::Skipped,
                    reason == TSkipReason::SkipBadPassword ? TEntryProblem::BadPassword
                                                           : TEntryProblem::ExistingFile);
    if (OnSkippingFile) OnSkippingFile(this, reason, index);
    state.SkipEntryData();
  };

  // Password check, by the entry's cipher.
  const std::unique_ptr<TDecryptor> decryptor = MakeDecryptor(S->CurrentEntry);
  if (decryptor) {
    const int32_t headerDisk = S->CurrentDisk;
    const int64_t headerPos = S->ArchiveStream->Position();
    const int64_t packed = state.CompressedSize;
    for (;;) {
      const bool passed = state.StartDecryption(*decryptor, Password);
      S->CurrentEntry.CompressedSize = state.CompressedSize;
      if (passed) break;
      std::string newPassword = Password;
      if (OnBadPassword) OnBadPassword(this, index, newPassword);
      if (!OnBadPassword || newPassword == Password) {
        skipEntry(TSkipReason::SkipBadPassword);
        return;
      }
      Password = newPassword;
      // Read the same header again, from the disk it started on.
      if (S->CurrentDisk != headerDisk) RequestDisk(headerDisk + 1);
      S->ArchiveStream->Seek(headerPos, platform::soFromBeginning);
      state.CompressedSize = packed;
      S->CurrentEntry.CompressedSize = packed;
    }
  }

  // Overwrite policy.
  // Where nothing stands, the entry's file is made at the output path at once, exclusively:
  // that is also how we learn that nothing stands there, and no policy has anything to say.
  // Only when that fails is the path looked at. A file, or a link (even one that leads
  // nowhere), is only replaced when the policy agrees.
  const mode_t mode = RetainAttributes ? platform::EntryPermissions(S->CurrentEntry.ExternalAttributes,
                                                                    S->CurrentEntry.VersionMadeBy,
                                                                    run.DefaultMode)
                                       : run.DefaultMode;
  // A Unix entry whose mode says "symbolic link": its data is the link's target.
  const bool isLink = CreateLinks && (S->CurrentEntry.VersionMadeBy >> 8) == 3 &&
                      ((S->CurrentEntry.ExternalAttributes >> 16) & S_IFMT) == S_IFLNK;
  // The file's own name in its directory: only a run that makes files needs it.
  std::string leaf = toFiles ? platform::HostPath(outputPath) : std::string();
  leaf.erase(0, leaf.rfind('/') + 1);
  if (toFiles && outDir < 0) RaiseCannotCreate(outputPath);
  TOutputFile output;
  int made = EEXIST;
  if (!toFiles) made = 0;
  else if (!isLink) made = output.CreateNew(outputPath, outDir, leaf, mode, run.DefaultMode);
  else if (PathKindAt(outDir, leaf) == TPathKind::None) made = 0;  // the link is made at the end
  TPathKind existing = TPathKind::None;
  if (made != 0) {
    if (made != EEXIST) {
      // The directory may be gone (removed while the run went on): walk to it again, and
      // try once more.
      run.NewFileDirectory.Forget();
      outDir = run.NewFileDirectory.Open(base, relative);
      if (outDir < 0) RaiseCannotCreate(outputPath);
      if (!isLink) made = output.CreateNew(outputPath, outDir, leaf, mode, run.DefaultMode);
      // Refused for a reason of its own (a name too long or invalid, no permission, a
      // read-only file system): no other way would do better.
      if (made != 0 && made != EEXIST) RaiseCannotCreate(outputPath, made);
    }
  }
  if (made != 0) {
    existing = PathKindAt(outDir, leaf);
    if (OverwriteMode != TUZOverwriteMode::Always && existing == TPathKind::Other) {
      if (OverwriteMode == TUZOverwriteMode::Never) {
        skipEntry(TSkipReason::SkipExistingFile);
        return;
      }
      bool overwriteIt = false;
      if (OnPromptForOverwrite) {
        const std::string asked = outputPath;
        OnPromptForOverwrite(this, overwriteIt, index, outputPath);
        run.OutputPath = outputPath;
        if (outputPath != asked) {
          // Another name from the handler: taken as given, its directory's links followed.
          const std::string host = platform::HostPath(outputPath);
          const size_t slash = host.rfind('/');
          base = slash == std::string::npos ? "." : slash == 0 ? "/" : host.substr(0, slash);
          relative.clear();
          leaf = host.substr(slash == std::string::npos ? 0 : slash + 1);
          outDir = run.NewFileDirectory.Open(base, relative);
          if (outDir < 0) RaiseCannotCreate(outputPath);
        }
        existing = PathKindAt(outDir, leaf);
      } else {
        overwriteIt = platform::UI().MessageBox("Replace existing file " + EntryFileName(index) + "?",
                                                "File Exists Alert", platform::TMsgButtons::YesNo) ==
                      platform::TModalResult::Yes;
      }
      if (!overwriteIt) {
        skipEntry(TSkipReason::SkipExistingFile);
        return;
      }
    }
    // No file can be made where a directory stands; say so before any work is done.
    // (A link to a directory is no directory here: like any link, it is replaced.)
    if (existing == TPathKind::Directory) RaiseCannotCreate(outputPath, EISDIR);
  }

  state.BeginDecoding();
  S->RunningCrc = 0xFFFFFFFFu;
  bool skip = false;
  if (OnStartUnZip) OnStartUnZip(this, index, outputPath, skip);
  // Skipped: an existing file stays as it was, a file just made goes again (with `output`).
  // It still counts.
  if (skip) {
    SetEntryOutcome(index, TEntryOutcome::Skipped, TEntryProblem::SkippedByHandler);
    return;
  }

  // Something stood at the output path: the entry goes into a temporary file that replaces
  // it only once the entry proved sound.
  if (!toFiles) {
    OutputSink->BeginEntry(index, outputPath);
    // A size whose Zip64 field was missing (0xFFFFFFFF) is no size to lend memory for.
    if (state.UncompressedSize > 0 && S->CurrentEntry.UncompressedSize != 0xFFFFFFFFLL)
      state.OutputMemory = OutputSink->EntryMemory(index, state.UncompressedSize);
  } else if (isLink) output.CreateLink(outputPath, outDir, leaf, existing != TPathKind::None);
  else if (!output.Created()) output.CreateReplacement(outputPath, outDir, leaf);
  run.Output = &output;
  struct Detach {
    TExtractRun& Run;
    ~Detach() { Run.Output = nullptr; }
  } detach{run};

  const TMethodInfo* method = FindMethod(S->CurrentEntry.DataMethod());
  const bool decoded = method && method->Decode;
  if (decoded)
    method->Decode(state, S->CurrentEntry.DataMethod());
  else
    platform::UI().MessageBox("Unknown Compression Method", "Zip Error", platform::TMsgButtons::Ok);
  if (toFiles) output.SetTimeAndMode(S->CurrentEntry.FileDateTime, S->CurrentEntry.Extra, mode);
  S->TotalExtracted = state.TotalExtracted;

  // CRC check. Output cut off at the entry's declared size fails like a wrong CRC, and so does
  // a decoder whose data ran out. A failed entry's file stays open until it goes, so that only
  // our own file is ever removed.
  // Under AES the authentication code must prove the data as well, and under AE-2 it alone
  // does (the CRC is not stored).
  S->RunningCrc = ~state.RunningCrc;
  const bool complete = !state.OutputCapped && !state.InputExhausted && !state.StreamFailed;
  const bool authentic = complete && (!decryptor || state.FinishDecryption());
  const bool crcMatches = S->RunningCrc == S->CurrentEntry.Crc32 || (decryptor && !decryptor->CrcIsStored());
  // A stream that ended before the declared size with a CRC that happens to agree is still
  // short. 0xFFFFFFFF stands for a size whose Zip64 field was missing: there the CRC alone
  // has to do.
  const bool shortOutput = decoded && state.OutTotal < state.ExpectedSize &&
                           S->CurrentEntry.UncompressedSize != 0xFFFFFFFFLL;
  const TEntryProblem problem = state.OutputCapped           ? TEntryProblem::TooLong
                                : state.InputExhausted       ? TEntryProblem::TooShort
                                : !(authentic && crcMatches) ? TEntryProblem::BadCrc
                                : shortOutput                ? TEntryProblem::TooShort
                                                             : TEntryProblem::None;
  if (!toFiles) OutputSink->EndEntry(index, problem == TEntryProblem::None);
  if (problem == TEntryProblem::None) {
    if (isLink && (output.LinkTooLong() || !LinkStaysInside(output.LinkTarget(), ComponentCount(relative)))) {
      // Made, it would lead out of the destination: not made at all, and said so.
      SetEntryOutcome(index, TEntryOutcome::Skipped, TEntryProblem::None);
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::SkipUnsafeLink, index);
      --run.Count;
      return;
    }
    if (toFiles) {
      output.Close();
      output.Commit();
    }
    SetEntryOutcome(index, TEntryOutcome::Made, TEntryProblem::None);
    if (OnEndUnZip) OnEndUnZip(this, index, outputPath);
    return;
  }
  SetEntryOutcome(index, TEntryOutcome::Failed, problem);
  if (S->CurrentEntry.IsEncrypted() && !S->CurrentEntry.IsAesEncrypted()) {
    // Traditional encryption: a wrong password that passed the check byte shows up here.
    if (OnBadPassword) {
      std::string newPassword = Password;
      OnBadPassword(this, index, newPassword);
      if (newPassword != Password) {
        Password = newPassword;
        S->RetryEntry = true;
      }
    }
    if (!S->RetryEntry) SetEntryOutcome(index, TEntryOutcome::Skipped, TEntryProblem::BadPassword);
    if (!S->RetryEntry && OnSkippingFile) OnSkippingFile(this, TSkipReason::SkipBadPassword, index);
  } else if (OnBadCRC) {
    OnBadCRC(this, static_cast<int32_t>(S->RunningCrc), static_cast<int32_t>(S->CurrentEntry.Crc32), index);
  }
  // The new file goes (with `output`); whatever stood at the output path stays.
  if (!S->RetryEntry) --run.Count;
}

}  // namespace unzip
