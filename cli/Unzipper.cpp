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
#include <atomic>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>

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
#include "Shares.h"
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
  // Bytes delivered in this program run; read by the thread that draws the progress bar.
  std::atomic<int64_t> Written{0};
  // Set when the other workers of a parallel run are to stop (one met a full disk).
  const std::atomic<bool>* Stop = nullptr;

  int64_t WriteOutput(const uint8_t* buffer, int64_t count) override {
    const int64_t n = TUnZipper::WriteOutput(buffer, count);
    Written.fetch_add(n, std::memory_order_relaxed);
    return n;
  }
  // Every input refill and every stretch of output asks here: an interruption, or a stop of
  // the whole run, becomes this component's own cancel request, in its own thread.
  bool ProcessMessagesAndCheckCancel() override {
    if (Interrupted() || (Stop && Stop->load(std::memory_order_relaxed))) Cancel();
    return TUnZipper::ProcessMessagesAndCheckCancel();
  }
};

// One bit an entry, which several threads may set at once (bits of different entries share
// a word, so a plain bit vector would lose marks).
class TMarks {
public:
  void assign(size_t n, int) {
    Words = std::make_unique<std::atomic<uint64_t>[]>((n + 63) / 64);
    for (size_t k = 0; k < (n + 63) / 64; ++k) Words[k].store(0, std::memory_order_relaxed);
  }
  bool operator[](size_t i) const { return (Words[i / 64].load(std::memory_order_relaxed) >> (i % 64)) & 1; }
  struct TRef {
    TMarks& M;
    size_t I;
    void operator=(int) { M.Words[I / 64].fetch_or(uint64_t{1} << (I % 64), std::memory_order_relaxed); }
    operator bool() const { return std::as_const(M)[I]; }
  };
  TRef operator[](size_t i) { return {*this, i}; }

private:
  std::unique_ptr<std::atomic<uint64_t>[]> Words;
};

// A message of a worker, kept until the run prints every entry's messages in archive order.
struct TLine {
  int32_t Index;  // the entry it is about
  bool ToStderr;
  std::string Text;
};

// One component and what its share of the run leaves: the whole run when there is one job.
struct TWorker {
  TCliUnZipper Z;
  TCliSink Sink;
  TOutcome Out;
  std::string MissingDisk;
  // Questions.
  bool OverwriteAll = false, OverwriteNone = false, NoTerminalAnswer = false;
  int32_t PasswordIndex = -1;
  int PasswordAttempts = 0;
  // Messages: printed at once with one job, else kept per entry.
  bool Buffered = false;
  int32_t At = -1;
  std::vector<TLine> Lines;
  // How its run ended: -1 normally, else the exit code and the message for the end.
  int Code = -1;
  bool Canceled = false;
  std::string Failure;
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
  bool BrokenPipe() const { return Main.Sink.BrokenPipe; }

private:
  const TOptions& O;
  TWorker Main;  // reads the directory, lists, and is the first worker
  TCliUnZipper& Z = Main.Z;
  TOutcome& Out = Main.Out;
  std::string& MissingDisk = Main.MissingDisk;
  std::string Shown;    // the archive as named to the user
  std::string Archive;  // its absolute name
  // The other workers of a parallel run, and the flag that stops them all.
  std::vector<std::unique_ptr<TWorker>> Others;
  std::atomic<bool> Stop{false};
  // Tests: the run raises SIGINT itself when it starts on the entry of this name, so that an
  // interruption in the middle of a parallel run comes at a known point.
  std::string InterruptAt;

  // Per entry of the directory, one bit each: on a million entries every byte an entry counts.
  // Excluded and Unsupported are settled before the workers start; the others are marked by
  // the workers, each for its own entries, in words that they may share.
  std::vector<bool> Excluded, Unsupported;
  TMarks Settled;
  // -u and -f: a file stood at the entry's output path; it is at least as new as the entry.
  TMarks Existed, UpToDate;

  // Progress.
  bool ProgressEnabled = false;
  std::atomic<int64_t> TotalBytes{0};
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
  // The same for the entry a worker is at.
  void Info(TWorker& w, const std::string& s) {
    if (!w.Buffered) return Info(s);
    if (O.Quiet == 0 && O.Command != TCommand::Pipe) w.Lines.push_back({w.At, false, s});
  }
  void Warn(TWorker& w, const std::string& s) {
    if (O.Quiet < 2) Error(w, s);
  }
  void Error(TWorker& w, const std::string& s) {
    if (!w.Buffered) return Error(s);
    w.Lines.push_back({w.At, true, s});
  }

  // The entry's name as the user reads it ("dir/sub/name").
  std::string Name(int32_t i) const { return Name(Z, i); }
  static std::string Name(const unzip::TUnZipper& z, int32_t i) {
    const auto& e = z.EntryInfo(i);
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
  bool FileIsUpToDate(const unzip::TUnZipper& z, int32_t i, const std::string& outputPath) const {
    struct stat st;
    if (::lstat(platform::HostPath(outputPath).c_str(), &st) != 0) return false;
    time_t entryTime = 0;
    if (!platform::DosDateTimeToUnixTime(z.EntryInfo(i).FileDateTime, entryTime)) return true;
    return entryTime <= st.st_mtime;
  }

  int ReadArchive();
  void FindDisks(TWorker& w);
  int List();
  int Extract();
  void WireEvents(TWorker& w);
  int Jobs();
  void RunWorkers();
  void RestoreDirectoryTimes();
  void ReportDirectoryDamage();
  // Where the entry went, as the user reads it: below the destination, with "/".
  std::string Written(const unzip::TUnZipper& z, const std::string& outputPath) const;
  std::vector<std::string> DirectoriesOnlyForExcluded(const std::string& dest);
  void EntryFailed(TWorker& w, int32_t i, const unzip::TEntryResult& r);
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
  if (const char* at = std::getenv("QUORBIN_UNZIPPER_INTERRUPT_AT")) InterruptAt = at;

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
// Where the earlier parts of a split set are: each worker asks for itself.
void TRun::FindDisks(TWorker& w) {
  w.Z.OnGetNextDisk = [this, &w](unzip::TSender, int32_t disk, std::string& fname) {
    const auto candidates = DiskNameCandidates(Archive, disk, w.Z.EndCentral().ThisDiskNumber + 1);
    for (const auto& c : candidates)
      if (platform::FileExists(c)) {
        fname = c;
        return;
      }
    w.MissingDisk = candidates.front();
    fname.clear();
  };
}

int TRun::ReadArchive() {
  FindDisks(Main);
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
    // unzip lists the extended-timestamp field's time, in local time, where there is one.
    l.DosDateTime = e.Extra.HasUnixTime
                        ? platform::UnixTimeToDosDateTime(static_cast<time_t>(e.Extra.UnixTime))
                        : e.FileDateTime;
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
    if (text.size() > (1 << 14)) {
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

std::string TRun::Written(const unzip::TUnZipper& z, const std::string& outputPath) const {
  std::string host = platform::HostPath(outputPath);
  std::string dest = platform::HostPath(z.DestDir());
  if (!dest.empty() && dest.back() != '/') dest += '/';
  if (host.compare(0, dest.size(), dest) == 0) host.erase(0, dest.size());
  return host;
}

// An entry that the component could not extract; the run goes on (a refused write ends it,
// and is reported where the run ends).
void TRun::EntryFailed(TWorker& w, int32_t i, const unzip::TEntryResult& r) {
  Settled[i] = 1;
  w.At = i;
  const std::string where = platform::HostPath(r.OutputPath);
  if (r.Problem == unzip::TEntryProblem::CannotCreate) {
    ++w.Out.NotCreated;
    Error(w, "unzipper: cannot create " + (where.empty() ? Name(w.Z, i) : where) + ": " +
          std::strerror(r.SystemError) + "\n");
    return;
  }
  ++w.Out.Damaged;
  Error(w, Name(w.Z, i) + ": " + r.Message + "\n");
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

void TRun::WireEvents(TWorker& w) {
  const bool testing = O.Command == TCommand::Test;

  // The name of the entry the component is at, from its entry already made whole (the events
  // of an entry come while the component is at it): as Name(w.Z, i) without making it again.
  const auto currentName = [&w] {
    const auto& e = w.Z.CurrentEntryInfo();
    return DisplayName(e.Directory + e.FileName);
  };

  w.Z.OnStartUnZipInfo = [this](unzip::TSender, int32_t, int64_t total, bool&) {
    TotalBytes.fetch_add(total, std::memory_order_relaxed);
  };

  w.Z.OnStartUnZip = [this, &w, currentName](unzip::TSender, int32_t i, const std::string& outputPath, bool& skip) {
    w.At = i;
    if (Settled[i] || Excluded[i]) {
      skip = true;
      return;
    }
    // The entry the component is at, already whole: EntryInfo(i) would make it again.
    const auto& e = w.Z.CurrentEntryInfo();
    if (!InterruptAt.empty() && InterruptAt == Name(w.Z, i)) ::raise(SIGINT);
    // A name changed to keep it below the destination is said, and the line shows where the
    // entry went. The name is only made for a line that shows it: most runs show none.
    const bool rewritten = w.Z.EntryResult(i).NameRewritten;
    std::string shown = rewritten ? Written(w.Z, outputPath) : std::string();
    const auto shownName = [&] { return rewritten ? shown : currentName(); };
    if (rewritten) {
      ++w.Out.Rewritten;
      Warn(w, "warning: " + Name(w.Z, i) + " is written as " + shown + " (kept below the destination)\n");
    }
    if (IsDirectoryEntry(e)) {
      Settled[i] = 1;
      if (O.Freshen) return;  // makes nothing new: an empty directory made goes again after the run
      // An encrypted directory entry is made all the same (it holds no data), but like unzip
      // we do not count it as an entry that came through.
      if (!e.IsEncrypted()) ++w.Out.DirectoriesMade;
      if (O.Quiet == 0) Info(w, "   creating: " + shownName() + "\n");
      return;
    }
    // -u and -f: only a file older than the entry is replaced; -f makes no new file (the one
    // the component has just made is removed again when skipped).
    if (Refreshing() && O.Command == TCommand::Extract &&
        (UpToDate[i] || (O.Freshen && !Existed[i]) || (Existed[i] && FileIsUpToDate(w.Z, i, outputPath)))) {
      skip = true;
      Settled[i] = 1;
      return;
    }
    if (Unsupported[i]) {
      skip = true;
      Settled[i] = 1;
      ++w.Out.Unsupported;
      Error(w, UnsupportedLine(Name(w.Z, i), e));
      return;
    }
    if (O.Command == TCommand::Extract && O.Quiet == 0) Info(w, ExtractVerb(e.DataMethod()) + shownName() + "\n");
  };

  w.Z.OnEndUnZip = [this, &w, testing, currentName](unzip::TSender, int32_t i, const std::string&) {
    w.At = i;
    Settled[i] = 1;
    // The component made the entry only when its data was whole: size, CRC and code.
    ++w.Out.Done;
    if (testing && O.Quiet == 0) Info(w, "    testing: " + currentName() + "  OK\n");
  };

  w.Z.OnSkippingFile = [this, &w](unzip::TSender, unzip::TSkipReason reason, int32_t i) {
    w.At = i;
    if (Settled[i] || Excluded[i]) return;
    Settled[i] = 1;
    if (Unsupported[i]) {
      ++w.Out.Unsupported;
      Error(w, UnsupportedLine(Name(w.Z, i), w.Z.EntryInfo(i)));
      return;
    }
    if (reason == unzip::TSkipReason::SkipBadPassword) {
      ++w.Out.BadPassword;
      Warn(w, "   skipping: " + Name(w.Z, i) + "  (incorrect password)\n");
      return;
    }
    if (reason == unzip::TSkipReason::SkipUnsafeLink) {
      ++w.Out.UnsafeLinks;
      Warn(w, "   skipping: " + Name(w.Z, i) + "  (symbolic link leads out of the destination)\n");
      return;
    }
    if (O.Overwrite == TOverwrite::Never) return;  // what -n asked for: no warning
    ++w.Out.NotReplaced;
    if (w.NoTerminalAnswer)
      Warn(w, "   skipping: " + Name(w.Z, i) + "  (exists; no terminal to ask: use -o or -n)\n");
  };

  w.Z.OnBadCRC = [this, &w, testing](unzip::TSender, int32_t calc, int32_t stored, int32_t i) {
    w.At = i;
    Settled[i] = 1;
    ++w.Out.Damaged;
    std::string what = "bad CRC " + Hex8(static_cast<uint32_t>(calc)) + "  (should be " +
                       Hex8(static_cast<uint32_t>(stored)) + ")";
    const unzip::TEntryProblem problem = w.Z.EntryResult(i).Problem;
    if (problem == unzip::TEntryProblem::TooLong)
      what = "data longer than its stored size of " +
             std::to_string(w.Z.EntryInfo(i).UncompressedSize) + " bytes (cut off there)";
    else if (problem == unzip::TEntryProblem::TooShort)
      what = "data ended before its stored size of " +
             std::to_string(w.Z.EntryInfo(i).UncompressedSize) + " bytes";
    // AE-2 stores no CRC: there only the authentication code can have failed.
    const auto& entry = w.Z.EntryInfo(i);
    if (problem != unzip::TEntryProblem::TooLong && problem != unzip::TEntryProblem::TooShort &&
        entry.IsAesEncrypted() && entry.Extra.AesVersion == 2)
      what = "bad AES authentication code";
    if (testing && O.Quiet == 0)
      Info(w, "    testing: " + Name(w.Z, i) + "  " + what + "\n");
    else
      Error(w, Name(w.Z, i) + ": " + what + "\n");
  };

  w.Z.OnBadPassword = [this, &w](unzip::TSender, int32_t i, std::string& password) {
    w.At = i;
    if (WillSkip(i) || O.HasPassword || !InputIsTerminal()) return;
    if (i != w.PasswordIndex) {
      w.PasswordIndex = i;
      w.PasswordAttempts = 0;
    }
    if (w.PasswordAttempts >= 3) return;
    ++w.PasswordAttempts;
    std::string line;
    const bool ok = AskLine("[" + Shown + "] " + Name(w.Z, i) + " password: ", false, line);
    if (Interrupted()) RaiseInterrupted();
    if (ok && !line.empty()) password = line;
  };

  w.Z.OnPromptForOverwrite = [this, &w](unzip::TSender, bool& overwrite, int32_t i, std::string& outputPath) {
    w.At = i;
    Existed[i] = 1;
    if (!WillSkip(i) && Refreshing() && FileIsUpToDate(w.Z, i, outputPath)) UpToDate[i] = 1;
    if (WillSkip(i) || UpToDate[i]) {
      // Not extracted at all: let it through to the start event, which skips it before
      // anything is created, so nobody is asked about a file that stays untouched.
      overwrite = true;
      return;
    }
    if (w.OverwriteAll || w.OverwriteNone) {
      overwrite = w.OverwriteAll;
      return;
    }
    if (!InputIsTerminal()) {
      w.NoTerminalAnswer = true;
      overwrite = false;
      return;
    }
    const std::string shownName =
        O.JunkPaths ? DisplayName(w.Z.EntryInfo(i).FileName) : Name(w.Z, i);
    for (;;) {
      std::string line;
      const bool ok = AskLine("replace " + shownName + "? [y]es, [n]o, [A]ll, [N]one: ", true, line);
      if (Interrupted()) RaiseInterrupted();
      if (!ok) {
        w.OverwriteNone = true;
        overwrite = false;
        return;
      }
      switch (ParseOverwriteAnswer(line)) {
        case TOverwriteAnswer::Yes: overwrite = true; return;
        case TOverwriteAnswer::No: overwrite = false; return;
        case TOverwriteAnswer::All: w.OverwriteAll = overwrite = true; return;
        case TOverwriteAnswer::None:
          w.OverwriteNone = true;
          overwrite = false;
          return;
        case TOverwriteAnswer::Invalid: break;
      }
    }
  };

  ProgressEnabled = O.Quiet == 0 && ::isatty(STDERR_FILENO) == 1;
  if (ProgressEnabled && !w.Buffered)
    w.Z.OnTotalPercentDone = [this, &w](unzip::TSender, int32_t percent) {
      const double t =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
      if (!Pacer.ShouldDraw(t, percent)) return;
      std::fflush(stdout);
      WriteFd(STDERR_FILENO,
              "\r" + FormatProgressLine(percent, w.Z.Written, TotalBytes, t) + "\033[K");
    };
}

// How many entries are extracted at a time. One, whatever was asked, where the order of the
// output or of the questions matters: -p writes the entries one after another, and questions
// on the terminal (an existing file, a password not given with -P) are asked one at a time.
int TRun::Jobs() {
  const int32_t n = Z.EntryCount();
  int jobs = O.Jobs > 0 ? O.Jobs : static_cast<int>(std::thread::hardware_concurrency());
  jobs = std::clamp(jobs, 1, 255);
  if (jobs == 1 || O.Command == TCommand::Pipe) return 1;
  if (InputIsTerminal()) {
    if (O.Command == TCommand::Extract && (O.Overwrite == TOverwrite::Ask || Refreshing())) return 1;
    if (!O.HasPassword)
      for (int32_t i = 0; i < n; ++i)
        if (!Excluded[i] && Z.EntryInfo(i).IsEncrypted()) return 1;
  }
  // A worker for every two entries at most: a few entries are not worth a thread.
  int32_t selected = 0;
  for (int32_t i = 0; i < n; ++i) selected += !Excluded[i];
  return std::min<int32_t>(jobs, std::max<int32_t>(1, selected / 2));
}

// Each worker in a thread of its own (the first in this one); the progress bar, drawn by
// one job from its own events, is drawn here from the bytes of all.
void TRun::RunWorkers() {
  auto run = [this](TWorker& w) {
    try {
      w.Z.ExtractFiles();
    } catch (const unzip::EUserCanceled& e) {
      w.Code = kExitInterrupted;
      w.Canceled = true;
      if (!w.MissingDisk.empty()) {
        w.Failure = "unzipper: " + Shown + ": a disk of the split set is missing: cannot find " + w.MissingDisk + "\n";
        w.Code = kExitNoArchive;
        w.Canceled = false;
      } else if (Interrupted()) {
        w.Failure = "unzipper: interrupted\n";
      } else if (!Stop.load()) {
        w.Failure = "unzipper: " + e.Message + "\n";
        w.Canceled = false;
      }
    } catch (const platform::EWriteError& e) {
      if (w.Sink.BrokenPipe) {  // "unzipper -p ... | head": not an error worth a message
        w.Code = kExitOk;
      } else {
        // A refused write ends the run: the next file would meet the same full disk.
        const int32_t n = w.Z.EntryCount();
        unzip::TEntryResult r;
        for (int32_t i = 0; i < n && r.Problem != unzip::TEntryProblem::WriteFailed; ++i) r = w.Z.EntryResult(i);
        const std::string where = platform::HostPath(r.OutputPath);
        w.Failure = "unzipper: cannot write " + (where.empty() ? std::string("the output") : where) +
                    (r.SystemError ? std::string(": ") + std::strerror(r.SystemError) : std::string()) + "\n";
        w.Code = 50;  // Info-ZIP's code for a full disk
      }
    } catch (const platform::Exception& e) {
      // Before any entry: the destination itself, or the archive as a whole, is the trouble.
      const auto* failed = dynamic_cast<const unzip::ECreateFailed*>(&e);
      if (failed)
        w.Failure = "unzipper: cannot extract into " + AbsoluteHostName(O.DestDir) + ": " +
                    std::strerror(failed->SystemError) + "\n";
      else
        w.Failure = "unzipper: " + Shown + ": " + e.Message + "\n";
      w.Code = kExitBadArchive;
    } catch (const std::bad_alloc&) {
      w.Failure = "unzipper: " + Shown + ": out of memory\n";
      w.Code = kExitBadArchive;
    } catch (const std::exception& e) {
      // Whatever else escaped the component: said once, plainly, as a damaged archive.
      w.Failure = "unzipper: " + Shown + ": " + e.what() + "\n";
      w.Code = kExitBadArchive;
    }
    if (w.Code >= 0 && !w.Canceled) Stop.store(true);
  };
  if (Others.empty()) return run(Main);
  std::vector<std::thread> threads;
  std::atomic<int> running{static_cast<int>(Others.size())};
  for (auto& w : Others)
    threads.emplace_back([&run, &running, &w] {
      run(*w);
      running.fetch_sub(1);
    });
  run(Main);
  if (ProgressEnabled) {
    while (running.load() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      int64_t written = Main.Z.Written;
      for (auto& w : Others) written += w->Z.Written;
      const int64_t total = TotalBytes.load();
      const int percent = total > 0 ? static_cast<int>(std::min<int64_t>(100, written * 100 / total)) : 100;
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
      if (Pacer.ShouldDraw(t, percent))
        WriteFd(STDERR_FILENO, "\r" + FormatProgressLine(percent, written, total, t) + "\033[K");
    }
  }
  for (auto& t : threads) t.join();
}

// Workers write into directories whose entries another worker has made and dated: their
// times are given once more when all are done, as one job gives them at its end. The
// messages and counts of that pass were had in the run itself.
void TRun::RestoreDirectoryTimes() {
  const int32_t n = Z.EntryCount();
  bool any = false;
  for (int32_t i = 0; i < n && !any; ++i) any = !Excluded[i] && IsDirectoryEntry(Z.EntryInfo(i));
  if (!any) return;
  Z.OnStartUnZipInfo = nullptr;
  Z.OnStartUnZip = [](unzip::TSender, int32_t, const std::string&, bool&) {};
  Z.OnEndUnZip = nullptr;
  Z.OnSkippingFile = nullptr;
  Z.OnBadCRC = nullptr;
  Z.OnBadPassword = nullptr;
  Z.OnPromptForOverwrite = nullptr;
  Z.OnTotalPercentDone = nullptr;
  Z.OnEntryFailed = [](unzip::TSender, int32_t, const unzip::TEntryResult&) {};
  Z.OverwriteMode = unzip::TUZOverwriteMode::Never;
  Z.EntryFilter = [this](int32_t i) { return !Excluded[i] && IsDirectoryEntry(Z.EntryInfo(i)); };
  try {
    Z.ExtractFiles();
  } catch (const platform::Exception&) {
    // The directories stand; only a time may be off.
  }
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
  std::vector<std::string> cleanup;
  if (extracting && !O.JunkPaths && O.Freshen) cleanup = DirectoriesOnlyForExcluded(AbsoluteHostName(O.DestDir));
  struct CleanupGuard {
    const std::vector<std::string>& Paths;
    ~CleanupGuard() {
      for (const auto& p : Paths) ::rmdir(p.c_str());  // fails, as it should, when not empty
    }
  } cleanupGuard{cleanup};

  const int jobs = Jobs();
  TShares owner;
  if (jobs > 1) {
    // Entries meet at an output path only where files are made.
    const TEntrySizes packed = [this](int32_t i) { return Z.EntryCompressedSize(i); };
    owner = extracting ? ShareOut(n, [this](int32_t i) { return Z.EntryNames(i); }, packed, Excluded, jobs, O.JunkPaths)
                       : ShareOutByWork(n, packed, Excluded, jobs);
    for (int k = 1; k < jobs; ++k) {
      Others.push_back(std::make_unique<TWorker>());
      FindDisks(*Others.back());
      // The directory read once, shared: an extra worker costs its work blocks, not a copy.
      Others.back()->Z.ShareDirectory(Z);
    }
  }
  auto workers = [this] {
    std::vector<TWorker*> all{&Main};
    for (auto& w : Others) all.push_back(w.get());
    return all;
  };
  int share = 0;
  for (TWorker* w : workers()) {
    TCliUnZipper& z = w->Z;
    w->Buffered = jobs > 1;
    z.Stop = &Stop;
    if (extracting) {
      z.SetDestDir(AbsoluteHostName(O.DestDir));
      z.RecreateDirs = !O.JunkPaths;
      z.OverwriteMode = O.Overwrite == TOverwrite::Always  ? unzip::TUZOverwriteMode::Always
                        : O.Overwrite == TOverwrite::Never ? unzip::TUZOverwriteMode::Never
                                                           : unzip::TUZOverwriteMode::Prompt;
      if (Refreshing()) {
        // Every existing file goes through the overwrite question, where its date is compared;
        // -o and -n answer it there.
        z.OverwriteMode = unzip::TUZOverwriteMode::Prompt;
        w->OverwriteAll = O.Overwrite == TOverwrite::Always;
        w->OverwriteNone = O.Overwrite == TOverwrite::Never;
      }
    } else {
      // Nothing lands on disk: the decoded bytes go to standard output or nowhere.
      w->Sink.ToStdout = O.Command == TCommand::Pipe;
      z.OutputSink = &w->Sink;
      z.RecreateDirs = false;
      z.CreateLinks = false;  // a link's target is data to test or print here
    }
    z.ContinueAfterEntryErrors = true;
    z.OnEntryFailed = [this, w](unzip::TSender, int32_t i, const unzip::TEntryResult& r) { EntryFailed(*w, i, r); };
    if (O.HasPassword) z.Password = O.Password;
    z.DoAll = O.Includes.empty();
    z.FilesList.clear();
    for (const auto& m : O.Includes) z.FilesList.push_back(ComponentMask(m));
    // Entries left out (by -x, or by the letter case under -C) are not part of the run at all:
    // nothing of theirs is looked at or made. With several workers each takes its share.
    const uint8_t me = static_cast<uint8_t>(share++);
    if (jobs > 1)
      z.EntryFilter = [this, &owner, me](int32_t i) { return !Excluded[i] && owner(i) == me; };
    else
      z.EntryFilter = [this](int32_t i) { return !Excluded[i]; };
    WireEvents(*w);
  }

  if (O.Command != TCommand::Pipe) Info("Archive:  " + Shown + "\n");
  Start = std::chrono::steady_clock::now();
  RunWorkers();
  if (jobs > 1) {
    // Every entry's messages, in archive order; then the sums.
    std::vector<TLine*> lines;
    for (TWorker* w : workers())
      for (TLine& l : w->Lines) lines.push_back(&l);
    std::stable_sort(lines.begin(), lines.end(), [](const TLine* a, const TLine* b) { return a->Index < b->Index; });
    for (const TLine* l : lines) {
      if (l->ToStderr)
        Error(l->Text);
      else
        Info(l->Text);
    }
    for (auto& w : Others) {
      TOutcome& o = w->Out;
      Out.Done += o.Done;
      Out.DirectoriesMade += o.DirectoriesMade;
      Out.Damaged += o.Damaged;
      Out.Unsupported += o.Unsupported;
      Out.BadPassword += o.BadPassword;
      Out.NotReplaced += o.NotReplaced;
      Out.UnsafeLinks += o.UnsafeLinks;
      Out.NotCreated += o.NotCreated;
      Out.Rewritten += o.Rewritten;
    }
  }
  // How the run ended: a worker's own failure before the stop it caused in the others.
  int code = -1;
  for (TWorker* w : workers())
    if (w->Code >= 0 && !w->Canceled) {
      code = w->Code;
      if (!w->Failure.empty()) Error(w->Failure);
      break;
    }
  if (code < 0)
    for (TWorker* w : workers())
      if (w->Code >= 0) {
        code = w->Code;
        if (!w->Failure.empty()) Error(w->Failure);
        break;
      }
  if (code < 0 && jobs > 1 && extracting && !O.JunkPaths) RestoreDirectoryTimes();
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
