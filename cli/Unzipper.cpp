#include "Unzipper.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "CodePage.h"
#include "DiskNames.h"
#include "ExitCodes.h"
#include "FileNames.h"
#include "FileTimes.h"
#include "Listing.h"
#include "Methods.h"
#include "Options.h"
#include "Progress.h"
#include "Selection.h"
#include "Terminal.h"
#include "UnZipper.h"
#include "UnzipErrors.h"
#include "UserInterface.h"

#ifndef QUORBIN_VERSION
#error "QUORBIN_VERSION comes from the project version in the top-level CMakeLists.txt"
#endif

namespace cli {

namespace {

// ---- Interruption ----------------------------------------------------------------------------

[[noreturn]] void RaiseInterrupted() { throw unzip::EUserCanceled(unzip::kMsgUserAborted); }

// ---- Output -----------------------------------------------------------------------------------

void WriteFd(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Comments written on MS-DOS end their lines with CR LF; shown here, as by unzip, with LF.
std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') out += text[i];
  return out;
}

std::string Hex8(uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%08" PRIx32, v);
  return b;
}

// Where decoded bytes go with -t (nowhere) and -p (standard output): the component's output
// sink, so that these make no file or directory at all.
class TCliSink : public unzip::TOutputSink {
public:
  bool ToStdout = false;
  bool BrokenPipe = false;  // -p: the reader went away

  int64_t Write(const uint8_t* buffer, int64_t count) override {
    if (!ToStdout) return count;
    int64_t n = 0;
    while (n < count) {
      const ssize_t w = ::write(STDOUT_FILENO, buffer + n, static_cast<size_t>(count - n));
      if (w < 0 && errno == EINTR) {
        // A reader that does not read must not keep an interrupted run waiting.
        if (Interrupted()) RaiseInterrupted();
        continue;
      }
      if (w < 0 && errno == EPIPE) BrokenPipe = true;
      if (w <= 0) break;
      n += w;
    }
    return n;
  }
};

class TCliUnZipper : public unzip::TUnZipper {
public:
  int64_t Written = 0;  // bytes delivered in this program run

  int64_t WriteOutput(const uint8_t* buffer, int64_t count) override {
    const int64_t n = TUnZipper::WriteOutput(buffer, count);
    Written += n;
    return n;
  }
};

// The user-interface services during a run: the message processing of every input refill is
// where an interruption turns into the component's cancel request.
class TCliUserInterface : public platform::ConsoleUserInterface {
public:
  unzip::TUnZipper* Zipper = nullptr;

  void ProcessMessages() override {
    if (Interrupted() && Zipper) Zipper->Cancel();
  }
};

bool IsDirectoryEntry(const unzip::TZipHeaderInfo& e) {
  return e.FileName.empty() || e.FileName == "." || e.FileName == "..";
}

// " extracting: ", "  inflating: ": the method's verb, right-aligned as unzip does.
std::string ExtractVerb(uint16_t method) {
  const unzip::TMethodInfo* m = unzip::FindMethod(method);
  std::string verb = m ? m->Verb : "extracting";
  if (verb.size() < 11) verb.insert(0, 11 - verb.size(), ' ');
  return verb + ": ";
}

// An entry we cannot decode: an error, so shown even with -qq.
std::string UnsupportedLine(const std::string& name, const unzip::TZipHeaderInfo& e) {
  return "   skipping: " + name + "  unsupported compression method: " +
         unzip::EntryMethodDescription(e) + "\n";
}

// Names given on the command line are host paths: "c:out" is a folder of that name here, not
// a drive.
std::string AbsoluteHostName(const std::string& name) {
  if (name.empty()) return platform::GetCurrentDirectory();
  if (name[0] == '/') return name;
  std::string cwd = platform::GetCurrentDirectory();
  if (cwd.empty() || cwd.back() != '/') cwd += '/';
  return cwd + name;
}

// ---- One run ------------------------------------------------------------------------------------

class TRun {
public:
  explicit TRun(const TOptions& options) : O(options) {}
  int Execute();
  bool BrokenPipe() const { return Sink.BrokenPipe; }

private:
  const TOptions& O;
  TCliUnZipper Z;
  TCliSink Sink;
  TCliUserInterface UI;
  std::string Shown;    // the archive as named to the user
  std::string Archive;  // its absolute name
  std::string MissingDisk;
  TOutcome Out;

  // Per entry of the directory, one bit each: on a million entries every byte an entry counts.
  std::vector<bool> Excluded, Unsupported, Settled;
  // -u and -f: a file stood at the entry's output path; it is at least as new as the entry.
  std::vector<bool> Existed, UpToDate;

  // Questions.
  bool OverwriteAll = false, OverwriteNone = false, NoTerminalAnswer = false;
  int32_t PasswordIndex = -1;
  int PasswordAttempts = 0;
  int32_t CurrentIndex = -1;
  int64_t WrittenAtStart = 0;

  // Progress.
  bool ProgressEnabled = false;
  int64_t TotalBytes = 0;
  std::chrono::steady_clock::time_point Start;
  TProgressPacer Pacer;

  // Messages: information on standard output (never with -p, none with -q), warnings on
  // standard error (none with -qq), errors always.
  void ClearBar() {
    if (Pacer.Drawn()) WriteFd(STDERR_FILENO, "\r\033[K");
  }
  void Info(const std::string& s) {
    if (O.Quiet > 0 || O.Command == TCommand::Pipe) return;
    ClearBar();
    std::fputs(s.c_str(), stdout);
    if (ProgressEnabled) std::fflush(stdout);
  }
  void Warn(const std::string& s) {
    if (O.Quiet > 1) return;
    Error(s);
  }
  void Error(const std::string& s) {
    std::fflush(stdout);
    ClearBar();
    WriteFd(STDERR_FILENO, s);
  }

  // The entry's name as the user reads it ("dir/sub/name").
  std::string Name(int32_t i) const {
    const auto& e = Z.EntryInfo(i);
    return DisplayName(e.Directory + e.FileName);
  }
  TEntryNames EntryNames() const {
    return [this](int32_t i) -> std::pair<const std::string&, const std::string&> {
      const auto& e = Z.EntryInfo(i);
      return {e.Directory, e.FileName};
    };
  }

  bool WillSkip(int32_t i) const { return Excluded[i] || Settled[i] || Unsupported[i]; }
  bool Refreshing() const { return O.Update || O.Freshen; }
  // True when the file at the output path is not older than entry i (-u, -f).
  bool FileIsUpToDate(int32_t i, const std::string& outputPath) const {
    struct stat st;
    if (::lstat(platform::HostPath(outputPath).c_str(), &st) != 0) return false;
    time_t entryTime = 0;
    if (!platform::DosDateTimeToUnixTime(Z.EntryInfo(i).FileDateTime, entryTime)) return true;
    return entryTime <= st.st_mtime;
  }

  int ReadArchive();
  int List();
  int Extract();
  void WireEvents();
  void ReportDirectoryDamage();
  // Where the entry went, as the user reads it: below the destination, with "/".
  std::string Written(const std::string& outputPath) const;
  std::vector<std::string> DirectoriesOnlyForExcluded(const std::string& dest);
  void EntryFailed(int32_t i, const unzip::TEntryResult& r);
};

int TRun::Execute() {
  Shown = O.Archive;
  std::string name = O.Archive;
  if (!platform::FileExists(name)) {
    for (const char* ext : {".zip", ".ZIP"})
      if (platform::FileExists(O.Archive + ext)) {
        name = O.Archive + ext;
        break;
      }
  }
  if (!platform::FileExists(name)) {
    Error("unzipper: cannot find or open " + O.Archive +
          (platform::DirectoryExists(O.Archive) ? " (it is a directory)\n" : "\n"));
    return kExitNoArchive;
  }
  Shown = name;
  Archive = AbsoluteHostName(name);

  UI.Zipper = &Z;
  platform::ScopedUserInterface scoped(UI);
  InstallInterruptHandlers();

  if (!O.Charset.empty() && !platform::SetOemCharset(O.Charset)) {
    Error("unzipper: unknown character set " + O.Charset + " (iconv -l lists them)\n");
    return kExitBadUsage;
  }
  if (const int code = ReadArchive(); code >= 0) return code;
  if (O.Command == TCommand::List || O.Command == TCommand::Verbose || O.Command == TCommand::Names)
    return List();
  return Extract();
}

// Reads the directory; -1 when it worked, else the exit code.
int TRun::ReadArchive() {
  Z.OnGetNextDisk = [this](unzip::TSender, int32_t disk, std::string& fname) {
    const auto candidates = DiskNameCandidates(Archive, disk, Z.EndCentral().ThisDiskNumber + 1);
    for (const auto& c : candidates)
      if (platform::FileExists(c)) {
        fname = c;
        return;
      }
    MissingDisk = candidates.front();
    fname.clear();
  };
  try {
    Z.SetZipName(Archive);
    Z.ReadDirectory();
  } catch (const unzip::EIncompleteZip&) {
    Error("unzipper: " + Shown +
          ": no end of central directory found: not a ZIP archive, or a part of a split set "
          "other than its last (.zip) file\n");
    return kExitNoArchive;
  } catch (const unzip::EUserCanceled& e) {
    if (!MissingDisk.empty()) {
      Error("unzipper: " + Shown + ": a disk of the split set is missing: cannot find " +
            MissingDisk + "\n");
      return kExitNoArchive;
    }
    Error("unzipper: " + e.Message + "\n");
    return kExitInterrupted;
  } catch (const platform::EFOpenError& e) {
    Error("unzipper: cannot open " + Shown + ": " + e.Message + "\n");
    return kExitNoArchive;
  } catch (const platform::Exception& e) {
    Error("unzipper: " + Shown + ": damaged archive: " + e.Message + "\n");
    return kExitBadArchive;
  }
  const int32_t n = Z.EntryCount();
  Excluded.assign(n, 0);
  Unsupported.assign(n, 0);
  Settled.assign(n, 0);
  Existed.assign(n, 0);
  UpToDate.assign(n, 0);
  ReportDirectoryDamage();
  return -1;
}

// Entries recovered from local headers may all come out, but the archive is damaged, and the
// run says so and ends with 2 whatever else happens.
void TRun::ReportDirectoryDamage() {
  const unzip::TDirectoryDamage& d = Z.DirectoryDamageInfo();
  if (!d.Damaged) return;
  Out.DirectoryDamaged = true;
  const std::string where = " (offset " + std::to_string(d.FirstBadOffset) + ")";
  const std::string recovered = std::to_string(d.Recovered) + " more recovered from their local headers\n";
  if (Z.DirectoryRebuilt())
    Error("unzipper: warning: " + Shown + ": central directory of " + std::to_string(d.Declared) +
          " entries not found where the end record says" + where + ": " + std::to_string(d.Read) +
          " of its records found elsewhere, " + recovered);
  else
    Error("unzipper: warning: " + Shown + ": central directory damaged at record " +
          std::to_string(d.FirstBadRecord + 1) + " of " + std::to_string(d.Declared) + where + ": " +
          std::to_string(d.Read) + " records read, " + recovered);
}

int TRun::List() {
  const bool verbose = O.Command == TCommand::Verbose;
  const bool namesOnly = O.Command == TCommand::Names;
  const int32_t n = Z.EntryCount();
  const TSelection sel = SelectEntries(n, EntryNames(), O.Includes, O.Excludes, O.IgnoreCase);
  Z.KeepZipOpen = true;  // comments are read one by one: open the file once

  std::string text;
  if (O.Quiet == 0 && !namesOnly) {
    text += "Archive:  " + Shown + "\n";
    if (Z.EndCentral().HasArchiveComment()) {
      try {
        const std::string comment = WithoutCarriageReturns(Z.ArchiveComment());
        text += comment;
        if (!comment.empty() && comment.back() != '\n') text += '\n';
      } catch (const platform::Exception& e) {
        Warn("unzipper: " + Shown + ": cannot read the archive comment: " + e.Message + "\n");
      }
    }
  }
  TListWriter writer(verbose);
  if (O.Quiet < 2 && !namesOnly) text += writer.Header();
  for (int32_t i = 0; i < n; ++i) {
    if (!sel.Included[i] || sel.Excluded[i]) continue;
    if (Interrupted()) {
      std::fputs(text.c_str(), stdout);
      Error("unzipper: interrupted\n");
      return kExitInterrupted;
    }
    const auto& e = Z.EntryInfo(i);
    if (namesOnly) {
      text += DisplayName(e.FullName()) + "\n";
      continue;
    }
    TListEntry l;
    l.Name = DisplayName(e.Directory + e.FileName);
    l.Size = e.UncompressedSize;
    // Without the 12-byte encryption header of an encrypted entry, as unzip -v counts it.
    l.Packed = e.IsEncrypted() && e.CompressedSize >= 12 ? e.CompressedSize - 12 : e.CompressedSize;
    l.Method = e.CompressionMethod;
    l.MethodText = unzip::EntryMethodName(e);
    l.Flags = e.Flags;
    l.DosDateTime = e.FileDateTime;
    l.Crc = e.Crc32;
    if (O.Quiet == 0 && e.HasComment()) {
      // A comment that cannot be read is reported; the other entries are still listed.
      try {
        l.Comment = WithoutCarriageReturns(Z.EntryComment(i));
      } catch (const platform::Exception& ex) {
        l.Comment = "(comment unreadable: " + ex.Message + ")";
        ++Out.Damaged;
      }
    }
    text += writer.Line(l);
    if (text.size() > (1 << 16)) {
      std::fputs(text.c_str(), stdout);
      text.clear();
    }
  }
  if (O.Quiet < 2 && !namesOnly) text += writer.Footer();
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  Z.KeepZipOpen = false;

  for (const auto& m : sel.UnmatchedMasks) Warn("caution: no entry matches " + m + "\n");
  Out.Done = sel.Count;
  Out.UnmatchedMasks = static_cast<int>(sel.UnmatchedMasks.size());
  if (n == 0 && !Out.DirectoryDamaged) {
    Warn("unzipper: " + Shown + " is empty\n");
    return kExitWarning;
  }
  return ExitCodeFor(Out);
}

std::string TRun::Written(const std::string& outputPath) const {
  std::string host = platform::HostPath(outputPath);
  std::string dest = platform::HostPath(Z.DestDir());
  if (!dest.empty() && dest.back() != '/') dest += '/';
  if (host.compare(0, dest.size(), dest) == 0) host.erase(0, dest.size());
  return host;
}

// An entry that the component could not extract; the run goes on (a refused write ends it,
// and is reported where the run ends).
void TRun::EntryFailed(int32_t i, const unzip::TEntryResult& r) {
  Settled[i] = 1;
  const std::string where = platform::HostPath(r.OutputPath);
  if (r.Problem == unzip::TEntryProblem::CannotCreate) {
    ++Out.NotCreated;
    Error("unzipper: cannot create " + (where.empty() ? Name(i) : where) + ": " +
          std::strerror(r.SystemError) + "\n");
    return;
  }
  ++Out.Damaged;
  Error(Name(i) + ": " + r.Message + "\n");
}

// With -f the component makes an entry's directory before the start event passes over an
// entry that has no file yet, so it may leave an empty directory behind. These are the
// directories that do not exist yet and that only such entries would need; whatever of them
// is empty after the run is removed again.
std::vector<std::string> TRun::DirectoriesOnlyForExcluded(const std::string& dest) {
  std::vector<std::string> candidates, needed;
  auto prefixes = [&](const std::string& directory, std::vector<std::string>& into, bool onlyNew) {
    const std::string d = DisplayName(directory);
    if (d.empty() || d[0] == '/' || (d.size() > 1 && d[1] == ':') || d.find("..") != std::string::npos)
      return;  // placed elsewhere by the component's own rules: left alone
    for (size_t slash = d.find('/'); slash != std::string::npos; slash = d.find('/', slash + 1)) {
      const std::string path = dest + "/" + d.substr(0, slash);
      if (!onlyNew || !platform::DirectoryExists(path)) into.push_back(path);
    }
  };
  const int32_t n = Z.EntryCount();
  for (int32_t i = 0; i < n; ++i) {
    const auto& e = Z.EntryInfo(i);
    if (Excluded[i] || O.Freshen) prefixes(e.Directory, candidates, true);
    else prefixes(e.Directory, needed, false);
  }
  std::sort(needed.begin(), needed.end());
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::vector<std::string> out;
  for (const auto& c : candidates)
    if (!std::binary_search(needed.begin(), needed.end(), c)) out.push_back(c);
  // Deepest first, so that a parent is empty by the time its turn comes.
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return out;
}

void TRun::WireEvents() {
  const bool testing = O.Command == TCommand::Test;

  Z.OnStartUnZipInfo = [this](unzip::TSender, int32_t, int64_t total, bool&) {
    TotalBytes = total;
    Start = std::chrono::steady_clock::now();
  };

  Z.OnStartUnZip = [this](unzip::TSender, int32_t i, const std::string& outputPath, bool& skip) {
    if (Settled[i] || Excluded[i]) {
      skip = true;
      return;
    }
    const auto& e = Z.EntryInfo(i);
    // A name changed to keep it below the destination is said, and the line shows where the
    // entry went.
    std::string shown = Name(i);
    if (Z.EntryResult(i).NameRewritten) {
      shown = Written(outputPath);
      ++Out.Rewritten;
      Warn("warning: " + Name(i) + " is written as " + shown + " (kept below the destination)\n");
    }
    if (IsDirectoryEntry(e)) {
      Settled[i] = 1;
      if (O.Freshen) return;  // makes nothing new: an empty directory made goes again after the run
      // An encrypted directory entry is made all the same (it holds no data), but like unzip
      // we do not count it as an entry that came through.
      if (!e.IsEncrypted()) ++Out.DirectoriesMade;
      if (O.Quiet == 0) Info("   creating: " + shown + "\n");
      return;
    }
    // -u and -f: only a file older than the entry is replaced; -f makes no new file (the one
    // the component has just made is removed again when skipped).
    if (Refreshing() && O.Command == TCommand::Extract &&
        (UpToDate[i] || (O.Freshen && !Existed[i]) || (Existed[i] && FileIsUpToDate(i, outputPath)))) {
      skip = true;
      Settled[i] = 1;
      return;
    }
    if (Unsupported[i]) {
      skip = true;
      Settled[i] = 1;
      ++Out.Unsupported;
      Error(UnsupportedLine(Name(i), e));
      return;
    }
    CurrentIndex = i;
    WrittenAtStart = Z.Written;
    if (O.Command == TCommand::Extract && O.Quiet == 0) Info(ExtractVerb(e.DataMethod()) + shown + "\n");
  };

  Z.OnEndUnZip = [this, testing](unzip::TSender, int32_t i, const std::string& fname) {
    Settled[i] = 1;
    const auto& e = Z.EntryInfo(i);
    const int64_t written = Z.Written - WrittenAtStart;
    // 0xFFFFFFFF left in the directory stands for a size whose Zip64 field was missing or
    // unusable: there the CRC alone has to do.
    if (written != e.UncompressedSize && e.UncompressedSize != 0xFFFFFFFFLL) {
      // The CRC agreed but the data came out shorter than the entry says: still damaged.
      if (!Z.OutputSink) platform::DeleteFile(fname);
      ++Out.Damaged;
      if (testing) Info("    testing: " + Name(i) + "  size mismatch\n");
      Error(Name(i) + ": damaged: " + std::to_string(written) + " bytes decoded, " +
            std::to_string(e.UncompressedSize) + " expected\n");
      return;
    }
    ++Out.Done;
    if (testing) Info("    testing: " + Name(i) + "  OK\n");
  };

  Z.OnSkippingFile = [this](unzip::TSender, unzip::TSkipReason reason, int32_t i) {
    if (Settled[i] || Excluded[i]) return;
    Settled[i] = 1;
    if (Unsupported[i]) {
      ++Out.Unsupported;
      Error(UnsupportedLine(Name(i), Z.EntryInfo(i)));
      return;
    }
    if (reason == unzip::TSkipReason::SkipBadPassword) {
      ++Out.BadPassword;
      Warn("   skipping: " + Name(i) + "  (incorrect password)\n");
      return;
    }
    if (reason == unzip::TSkipReason::SkipUnsafeLink) {
      ++Out.UnsafeLinks;
      Warn("   skipping: " + Name(i) + "  (symbolic link leads out of the destination)\n");
      return;
    }
    if (O.Overwrite == TOverwrite::Never) return;  // what -n asked for: no warning
    ++Out.NotReplaced;
    if (NoTerminalAnswer)
      Warn("   skipping: " + Name(i) + "  (exists; no terminal to ask: use -o or -n)\n");
  };

  Z.OnBadCRC = [this, testing](unzip::TSender, int32_t calc, int32_t stored, int32_t i) {
    Settled[i] = 1;
    ++Out.Damaged;
    std::string what = "bad CRC " + Hex8(static_cast<uint32_t>(calc)) + "  (should be " +
                       Hex8(static_cast<uint32_t>(stored)) + ")";
    const unzip::TEntryProblem problem = Z.EntryResult(i).Problem;
    if (problem == unzip::TEntryProblem::TooLong)
      what = "data longer than its stored size of " +
             std::to_string(Z.EntryInfo(i).UncompressedSize) + " bytes (cut off there)";
    else if (problem == unzip::TEntryProblem::TooShort)
      what = "data ended before its stored size of " +
             std::to_string(Z.EntryInfo(i).UncompressedSize) + " bytes";
    // AE-2 stores no CRC: there only the authentication code can have failed.
    const auto& entry = Z.EntryInfo(i);
    if (problem != unzip::TEntryProblem::TooLong && problem != unzip::TEntryProblem::TooShort &&
        entry.IsAesEncrypted() && entry.Extra.AesVersion == 2)
      what = "bad AES authentication code";
    if (testing && O.Quiet == 0)
      Info("    testing: " + Name(i) + "  " + what + "\n");
    else
      Error(Name(i) + ": " + what + "\n");
  };

  Z.OnBadPassword = [this](unzip::TSender, int32_t i, std::string& password) {
    if (WillSkip(i) || O.HasPassword || !InputIsTerminal()) return;
    if (i != PasswordIndex) {
      PasswordIndex = i;
      PasswordAttempts = 0;
    }
    if (PasswordAttempts >= 3) return;
    ++PasswordAttempts;
    std::string line;
    const bool ok = AskLine("[" + Shown + "] " + Name(i) + " password: ", false, line);
    if (Interrupted()) RaiseInterrupted();
    if (ok && !line.empty()) password = line;
  };

  Z.OnPromptForOverwrite = [this](unzip::TSender, bool& overwrite, int32_t i, std::string& outputPath) {
    Existed[i] = 1;
    if (!WillSkip(i) && Refreshing() && FileIsUpToDate(i, outputPath)) UpToDate[i] = 1;
    if (WillSkip(i) || UpToDate[i]) {
      // Not extracted at all: let it through to the start event, which skips it before
      // anything is created, so nobody is asked about a file that stays untouched.
      overwrite = true;
      return;
    }
    if (OverwriteAll || OverwriteNone) {
      overwrite = OverwriteAll;
      return;
    }
    if (!InputIsTerminal()) {
      NoTerminalAnswer = true;
      overwrite = false;
      return;
    }
    const std::string shownName =
        O.JunkPaths ? DisplayName(Z.EntryInfo(i).FileName) : Name(i);
    for (;;) {
      std::string line;
      const bool ok = AskLine("replace " + shownName + "? [y]es, [n]o, [A]ll, [N]one: ", true, line);
      if (Interrupted()) RaiseInterrupted();
      if (!ok) {
        OverwriteNone = true;
        overwrite = false;
        return;
      }
      switch (ParseOverwriteAnswer(line)) {
        case TOverwriteAnswer::Yes: overwrite = true; return;
        case TOverwriteAnswer::No: overwrite = false; return;
        case TOverwriteAnswer::All: OverwriteAll = overwrite = true; return;
        case TOverwriteAnswer::None:
          OverwriteNone = true;
          overwrite = false;
          return;
        case TOverwriteAnswer::Invalid: break;
      }
    }
  };

  ProgressEnabled = O.Quiet == 0 && ::isatty(STDERR_FILENO) == 1;
  if (ProgressEnabled)
    Z.OnTotalPercentDone = [this](unzip::TSender, int32_t percent) {
      const double t =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
      if (!Pacer.ShouldDraw(t, percent)) return;
      std::fflush(stdout);
      WriteFd(STDERR_FILENO,
              "\r" + FormatProgressLine(percent, Z.Written, TotalBytes, t) + "\033[K");
    };
}

int TRun::Extract() {
  const int32_t n = Z.EntryCount();
  if (n == 0 && Out.DirectoryDamaged) return kExitBadArchive;
  if (n == 0) {
    Info("Archive:  " + Shown + "\n");
    Warn("unzipper: " + Shown + " is empty\n");
    return kExitWarning;
  }
  for (int32_t i = 0; i < n; ++i) {
    const auto& e = Z.EntryInfo(i);
    Unsupported[i] = !IsDirectoryEntry(e) && !unzip::CanDecode(e.DataMethod());
  }
  const TSelection sel = SelectEntries(n, EntryNames(), O.Includes, O.Excludes, O.IgnoreCase);
  // The component selects by the include masks ignoring letter case: whatever it would take
  // beyond this selection is passed over like an excluded entry.
  for (int32_t i = 0; i < n; ++i) Excluded[i] = sel.Excluded[i] || !sel.Included[i];
  Out.UnmatchedMasks = static_cast<int>(sel.UnmatchedMasks.size());
  for (const auto& m : sel.UnmatchedMasks) Warn("caution: no entry matches " + m + "\n");
  if (sel.Count == 0) {
    if (sel.UnmatchedMasks.empty()) Warn("caution: every selected entry is excluded\n");
    return kExitNoMatch;
  }

  const bool extracting = O.Command == TCommand::Extract;
  if (extracting) {
    Z.SetDestDir(AbsoluteHostName(O.DestDir));
    Z.RecreateDirs = !O.JunkPaths;
    Z.OverwriteMode = O.Overwrite == TOverwrite::Always  ? unzip::TUZOverwriteMode::Always
                      : O.Overwrite == TOverwrite::Never ? unzip::TUZOverwriteMode::Never
                                                         : unzip::TUZOverwriteMode::Prompt;
    if (Refreshing()) {
      // Every existing file goes through the overwrite question, where its date is compared;
      // -o and -n answer it there.
      Z.OverwriteMode = unzip::TUZOverwriteMode::Prompt;
      OverwriteAll = O.Overwrite == TOverwrite::Always;
      OverwriteNone = O.Overwrite == TOverwrite::Never;
    }
  } else {
    // Nothing lands on disk: the decoded bytes go to standard output or nowhere.
    Sink.ToStdout = O.Command == TCommand::Pipe;
    Z.OutputSink = &Sink;
    Z.RecreateDirs = false;
    Z.CreateLinks = false;  // a link's target is data to test or print here
  }
  std::vector<std::string> cleanup;
  if (extracting && Z.RecreateDirs && O.Freshen)
    cleanup = DirectoriesOnlyForExcluded(AbsoluteHostName(O.DestDir));
  struct CleanupGuard {
    const std::vector<std::string>& Paths;
    ~CleanupGuard() {
      for (const auto& p : Paths) ::rmdir(p.c_str());  // fails, as it should, when not empty
    }
  } cleanupGuard{cleanup};

  Z.ContinueAfterEntryErrors = true;
  Z.OnEntryFailed = [this](unzip::TSender, int32_t i, const unzip::TEntryResult& r) { EntryFailed(i, r); };

  if (O.HasPassword) Z.Password = O.Password;
  Z.DoAll = O.Includes.empty();
  Z.FilesList.clear();
  for (const auto& m : O.Includes) Z.FilesList.push_back(ComponentMask(m));
  // Entries left out (by -x, or by the letter case under -C) are not part of the run at all:
  // nothing of theirs is looked at or made.
  Z.EntryFilter = [this](int32_t i) { return !Excluded[i]; };
  WireEvents();

  if (O.Command != TCommand::Pipe) Info("Archive:  " + Shown + "\n");

  int code = -1;
  try {
    Z.ExtractFiles();
  } catch (const unzip::EUserCanceled& e) {
    if (!MissingDisk.empty()) {
      Error("unzipper: " + Shown + ": a disk of the split set is missing: cannot find " +
            MissingDisk + "\n");
      code = kExitNoArchive;
    } else {
      Error(Interrupted() ? std::string("unzipper: interrupted\n") : "unzipper: " + e.Message + "\n");
      code = kExitInterrupted;
    }
  } catch (const platform::EWriteError& e) {
    if (Sink.BrokenPipe) {  // "unzipper -p ... | head": not an error worth a message
      code = kExitOk;
    } else {
      // A refused write ends the run: the next file would meet the same full disk.
      const int32_t n = Z.EntryCount();
      unzip::TEntryResult r;
      for (int32_t i = 0; i < n && r.Problem != unzip::TEntryProblem::WriteFailed; ++i) r = Z.EntryResult(i);
      const std::string where = platform::HostPath(r.OutputPath);
      Error("unzipper: cannot write " + (where.empty() ? std::string("the output") : where) +
            (r.SystemError ? std::string(": ") + std::strerror(r.SystemError) : std::string()) + "\n");
      code = 50;  // Info-ZIP's code for a full disk
    }
  } catch (const platform::Exception& e) {
    // Before any entry: the destination itself, or the archive as a whole, is the trouble.
    const auto* failed = dynamic_cast<const unzip::ECreateFailed*>(&e);
    if (failed)
      Error("unzipper: cannot extract into " + AbsoluteHostName(O.DestDir) + ": " +
            std::strerror(failed->SystemError) + "\n");
    else
      Error("unzipper: " + Shown + ": " + e.Message + "\n");
    code = kExitBadArchive;
  } catch (const std::bad_alloc&) {
    Error("unzipper: " + Shown + ": out of memory\n");
    code = kExitBadArchive;
  }
  ClearBar();
  std::fflush(stdout);
  if (code >= 0) return code;

  if (O.Command == TCommand::Test && O.Quiet < 2) {
    const int bad = Out.Damaged + Out.Unsupported + Out.BadPassword;
    if (bad == 0 && Out.DirectoryDamaged)
      std::printf("No errors in the %d %s tested, but the central directory of %s is damaged.\n",
                  Out.Done, Out.Done == 1 ? "entry" : "entries", Shown.c_str());
    else if (bad == 0)
      std::printf("No errors detected in %s (%d %s tested).\n", Shown.c_str(), Out.Done,
                  Out.Done == 1 ? "entry" : "entries");
    else
      std::printf("%d %s failed the test in %s.\n", bad, bad == 1 ? "entry" : "entries",
                  Shown.c_str());
  }
  return ExitCodeFor(Out);
}

}  // namespace

int RunUnzipper(const std::vector<std::string>& args) {
  const TParseResult parsed = ParseOptions(args);
  if (!parsed.Ok) {
    std::fprintf(stderr, "unzipper: %s (unzipper -h shows the usage)\n", parsed.Error.c_str());
    return kExitBadUsage;
  }
  const TOptions& o = parsed.Options;
  if (o.Command == TCommand::Help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (o.Command == TCommand::Version) {
    std::printf("unzipper %s (Quorbin; extraction component version %d)\n", QUORBIN_VERSION,
                unzip::kThisVersion);
    // What this build decodes, and with which library where it is not our own code.
    std::string methods;
    for (const unzip::TMethodInfo& m : unzip::AllMethods()) {
      std::string item = std::string(m.Name) + (*m.Needs ? " (" + std::string(m.Needs) + ")" : "");
      if (!m.Decode || methods.find(item) != std::string::npos) continue;  // Zstd has two ids
      methods += (methods.empty() ? "" : ", ") + item;
    }
    std::printf("methods: %s\n", methods.c_str());
    return kExitOk;
  }
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  // A reader of -p output that stops early gives EPIPE instead of killing the program at once,
  // so that the run ends cleanly first; the program then ends by SIGPIPE all the same, as the
  // shell expects of a pipeline.
  if (o.Command == TCommand::Pipe) ::signal(SIGPIPE, SIG_IGN);
  TRun run(o);
  int code;
  try {
    code = run.Execute();
  } catch (const std::exception& e) {
    // Whatever escaped the run's own reports (memory exhausted by a hostile archive, ...):
    // said once, plainly, as a damaged archive.
    std::fflush(stdout);
    std::fprintf(stderr, "unzipper: %s: %s\n", o.Archive.c_str(), e.what());
    code = kExitBadArchive;
  }
  std::fflush(stdout);
  if (run.BrokenPipe()) {
    ::signal(SIGPIPE, SIG_DFL);
    ::raise(SIGPIPE);
  }
  return code;
}

}  // namespace cli
