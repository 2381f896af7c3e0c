// The component's side of the extraction state (TExtractHost) and the output file of an
// entry. Kept apart from the run itself, so that what uses only the directory side of the
// component does not pull in the decoders.
#include "ExtractHost.h"
#include "UnZipperState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "FileNames.h"
#include "FileTimes.h"
#include "Streams.h"
#include "UserInterface.h"

namespace unzip {

namespace {

// Opens the directory `name` in `dir` without following a link, making it when missing.
int OpenComponent(int dir, const std::string& name) {
  const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int h = ::openat(dir, name.c_str(), flags);
  if (h < 0 && errno == ENOENT) {
    if (::mkdirat(dir, name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    h = ::openat(dir, name.c_str(), flags);
  }
  if (h < 0) return -1;
  // With O_PATH a link may come back as a handle on the link itself: it is no directory.
  struct stat st;
  if (::fstat(h, &st) != 0 || !S_ISDIR(st.st_mode)) {
    ::close(h);
    errno = ELOOP;
    return -1;
  }
  return h;
}

// Names for temporary files: unique enough that O_EXCL rarely has to ask twice.
std::string TemporaryName(unsigned attempt) {
  // Shared by every component in the process, whatever thread it runs in.
  static std::atomic<uint64_t> counter{0};
  uint64_t x = (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) + 1) ^ (uint64_t{attempt} << 48) ^
               static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter));
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = ".unzip-part-";
  for (int i = 0; i < 8; ++i, x /= 62) name += kLetters[x % 62];
  return name;
}

}  // namespace

void RaiseCannotCreate(const std::string& name, int systemError) {
  throw ECreateFailed(platform::Format("Cannot create file %s", name.c_str()), systemError);
}

void RaiseLinkInTheWay(const std::string& name, int systemError) {
  throw ECreateFailed(platform::Format("Cannot create file %s (a symbolic link or a file stands in its way)",
                                       name.c_str()),
                      systemError);
}

void RaiseWriteError(const std::string& name, int systemError) {
  throw EWriteFailed("Error writing file " + name +
                         " (the disk may be full or the file refused the data)",
                     systemError);
}

bool EntryTime(uint32_t dosDateTime, const TEntryExtra& extra, struct timespec& time) {
  if (extra.HasUtcTime) {
    time.tv_sec = static_cast<time_t>(extra.UtcTime);
    time.tv_nsec = static_cast<long>(extra.UtcTimeNanos);
    return true;
  }
  time_t t;
  if (!platform::DosDateTimeToUnixTime(dosDateTime, t)) return false;
  time.tv_sec = t;
  time.tv_nsec = 0;
  return true;
}

// ---- TOutputDirectory -------------------------------------------------------------------------

TOutputDirectory::~TOutputDirectory() { Forget(); }

int TOutputDirectory::Open(const std::string& base, const std::string& relative) {
  std::string key = base;
  key += '\0';
  key += relative;
  if (Current >= 0 && key == Key) return Current;
  Key.clear();
  Current = -1;
  if (Deep >= 0) ::close(Deep);
  Deep = -1;
  std::vector<std::string_view> parts;
  for (size_t at = 0; at < relative.size();) {
    size_t slash = relative.find('/', at);
    if (slash == std::string::npos) slash = relative.size();
    const std::string_view part = std::string_view(relative).substr(at, slash - at);
    at = slash + 1;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  int h = !Handles.empty() && base == Base ? Walk(parts) : -1;
  // Nothing held on the way, or a directory held was removed since: the whole way is walked.
  if (h < 0) {
    Forget();
    const int root = ::open(base.empty() ? "/" : base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return -1;
    Base = base;
    Handles.push_back(root);
    h = Walk(parts);
  }
  if (h >= 0) {
    Current = h;
    Key = std::move(key);
  }
  return h;
}

int TOutputDirectory::Walk(const std::vector<std::string_view>& parts) {
  size_t shared = 0;
  while (shared < Parts.size() && shared < parts.size() && Parts[shared] == parts[shared]) ++shared;
  while (Parts.size() > shared) {
    ::close(Handles.back());
    Handles.pop_back();
    Parts.pop_back();
  }
  int h = Handles.back();
  for (size_t k = shared; k < parts.size(); ++k) {
    const int next = parts[k] == ".." ? -1 : OpenComponent(h, std::string(parts[k]));
    const bool held = h == Handles.back();
    if (next >= 0 && held && Handles.size() <= kHeld) {
      Handles.push_back(next);
      Parts.emplace_back(parts[k]);
    } else if (!held) {
      const int saved = errno;
      ::close(h);
      errno = saved;
    }
    h = next;
    if (h < 0) return -1;
  }
  if (h != Handles.back()) Deep = h;
  return h;
}

void TOutputDirectory::Forget() {
  if (Deep >= 0) ::close(Deep);
  for (const int h : Handles) ::close(h);
  Deep = Current = -1;
  Handles.clear();
  Parts.clear();
  Base.clear();
  Key.clear();
}

// ---- TOutputFile ------------------------------------------------------------------------------

int TOutputFile::CreateNew(const std::string& outputPath, int dir, const std::string& leaf, mode_t mode,
                           mode_t defaultMode) {
  mode &= 0777;
  // O_EXCL refuses whatever stands at the name, a link (even one leading nowhere) or a
  // directory included, and never follows a link; O_NOFOLLOW says so twice. The new file
  // gets `mode` less the umask, so it is never, even while being written, readable by more
  // than the entry allows.
  int h;
  do {
    h = ::openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (h < 0 && errno == EINTR);
  if (h < 0) return errno;
  OutputPath = outputPath;
  Dir = dir;
  Leaf = leaf;
  IsNew = true;
  ModeFinal = (mode & ~defaultMode) == 0;
  MadeMode = mode;
  Handle = h;
  return 0;
}

void TOutputFile::CreateReplacement(const std::string& outputPath, int dir, const std::string& leaf) {
  OutputPath = outputPath;
  Dir = dir;
  Leaf = leaf;
  // Hidden and unique, next to the output path so that the final move stays on one file
  // system and is a plain rename.
  for (unsigned attempt = 0; attempt < 100 && Handle < 0; ++attempt) {
    const std::string name = TemporaryName(attempt);
    Handle = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (Handle >= 0) Temporary = name;
    else if (errno != EEXIST && errno != EINTR) break;
  }
  if (Handle < 0) RaiseCannotCreate(outputPath);
  IsNew = false;
}

void TOutputFile::CreateLink(const std::string& outputPath, int dir, const std::string& leaf, bool replacing) {
  OutputPath = outputPath;
  Dir = dir;
  Leaf = leaf;
  IsLink = true;
  Replacing = replacing;
}

TOutputFile::~TOutputFile() {
  if (Committed || IsLink) {
    if (Handle >= 0) ::close(Handle);
    return;
  }
  if (IsNew && Handle >= 0) {
    // The name is removed only while it is still our file: one that something else put
    // there meanwhile (ours then already gone) stays.
    struct stat mine, there;
    const bool ours = ::fstat(Handle, &mine) == 0 &&
                      ::fstatat(Dir, Leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                      mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
    if (ours) ::unlinkat(Dir, Leaf.c_str(), 0);
    ::close(Handle);
    return;
  }
  if (Handle >= 0) ::close(Handle);
  if (!Temporary.empty()) ::unlinkat(Dir, Temporary.c_str(), 0);
}

int64_t TOutputFile::Write(const uint8_t* buffer, int64_t count) {
  if (IsLink) {
    // A target longer than any path is not kept; the entry then fails as unsafe.
    if (Target.size() + static_cast<size_t>(count) >= PATH_MAX) TooLong = true;
    else Target.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
    return count;
  }
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(Handle, buffer + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += n;
  }
  return done;
}

void TOutputFile::Close() {
  const int h = Handle;
  Handle = -1;
  if (h >= 0 && ::close(h) != 0) {
    const int err = errno;
    // No handle left to tell whether the name is still ours: a new file goes by its name.
    if (IsNew) {
      ::unlinkat(Dir, Leaf.c_str(), 0);
      IsNew = false;
    }
    RaiseWriteError(OutputPath, err);
  }
}

void TOutputFile::SetTimeAndMode(uint32_t dosDateTime, const TEntryExtra& extra, mode_t mode) {
  struct timespec t;
  const bool hasTime = EntryTime(dosDateTime, extra, t);
  if (IsLink) {
    HasLinkTime = hasTime;
    LinkTime[0] = LinkTime[1] = t;
    return;
  }
  // Through the open file: it is ours, so no name can lead anywhere else.
  if (hasTime) {
    struct timespec times[2] = {t, t};
    ::futimens(Handle, times);
  }
  mode &= 0777;
  if (!(IsNew && ModeFinal && mode == MadeMode)) ::fchmod(Handle, mode);
}

void TOutputFile::Commit() {
  if (IsLink) {
    // Made under a temporary name and moved onto the name when something stands there, so
    // what stood there is replaced itself, never followed.
    std::string name = Leaf;
    if (Replacing) {
      for (unsigned attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName(attempt);
        if (::symlinkat(Target.c_str(), Dir, name.c_str()) == 0) break;
        if (errno != EEXIST) RaiseCannotCreate(OutputPath);
      }
      if (::renameat(Dir, name.c_str(), Dir, Leaf.c_str()) != 0) {
        ::unlinkat(Dir, name.c_str(), 0);
        RaiseCannotCreate(OutputPath);
      }
    } else if (::symlinkat(Target.c_str(), Dir, Leaf.c_str()) != 0) {
      RaiseCannotCreate(OutputPath);
    }
    if (HasLinkTime) ::utimensat(Dir, Leaf.c_str(), LinkTime, AT_SYMLINK_NOFOLLOW);
    Committed = true;
    return;
  }
  if (!IsNew && ::renameat(Dir, Temporary.c_str(), Dir, Leaf.c_str()) != 0) RaiseCannotCreate(OutputPath);
  Committed = true;
}

// ---- TExtractHost -----------------------------------------------------------------------------

bool TUnZipper::ProcessMessagesAndCheckCancel() {
  if (!DoProcessMessages) return false;
  platform::UI().ProcessMessages();
  if (!S->CancelRequested) return false;
  S->CancelRequested = false;
  return true;
}

int64_t TUnZipper::ReadArchive(uint8_t* buffer, int64_t count) {
  // Entry data comes in chunks of about twice the buffer's size: read them past the buffer.
  return S->ArchiveStream ? S->ArchiveStream->ReadThrough(buffer, count) : 0;
}

void TUnZipper::SkipArchive(int64_t count) {
  if (S->ArchiveStream) S->ArchiveStream->Seek(count, platform::soFromCurrent);
}

bool TUnZipper::CanRequestNextDisk() {
  return S->EndRecord.ThisDiskNumber > 0 && static_cast<bool>(OnGetNextDisk);
}

bool TUnZipper::RequestNextDisk() { return RequestDisk(S->CurrentDisk + 2) != nullptr; }

int64_t TUnZipper::WriteOutput(const uint8_t* buffer, int64_t count) {
  if (!S->ActiveRun) return 0;
  if (OutputSink) {
    errno = 0;
    const int64_t n = OutputSink->Write(buffer, count);
    if (n != count) S->ActiveRun->WriteError = errno;
    return n;
  }
  if (!S->ActiveRun->Output) return 0;
  const int64_t n = S->ActiveRun->Output->Write(buffer, count);
  if (n != count) S->ActiveRun->WriteError = S->ActiveRun->Output->LastError();
  return n;
}

std::string TUnZipper::OutputName() { return S->ActiveRun ? S->ActiveRun->OutputPath : std::string(); }

bool TUnZipper::FilePercentDoneAssigned() { return static_cast<bool>(OnFilePercentDone); }
void TUnZipper::FilePercentDone(int percent) { OnFilePercentDone(this, percent); }
bool TUnZipper::TotalPercentDoneAssigned() { return static_cast<bool>(OnTotalPercentDone); }
void TUnZipper::TotalPercentDone(int percent) { OnTotalPercentDone(this, percent); }

void TUnZipper::EntrySkipped() {
  if (S->ActiveRun) --S->ActiveRun->Count;
}

}  // namespace unzip
