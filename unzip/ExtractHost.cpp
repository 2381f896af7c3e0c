// The component's side of the extraction state (TExtractHost) and the output file of an
// entry. Kept apart from the run itself, so that what uses only the directory side of the
// component does not pull in the decoders.
#include "ExtractHost.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "FileNames.h"
#include "FileTimes.h"
#include "Streams.h"
#include "UserInterface.h"

namespace unzip {

namespace {

// The host form of the directory part of a name ("." when it has none).
std::string HostDirectoryOf(const std::string& hostPath) {
  const size_t slash = hostPath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return hostPath.substr(0, slash);
}

}  // namespace

void RaiseCannotCreate(const std::string& name) {
  throw platform::EFCreateError(platform::Format("Cannot create file %s", name.c_str()));
}

void RaiseWriteError(const std::string& name) {
  throw platform::EWriteError("Error writing file " + name +
                              " (the disk may be full or the file refused the data)");
}

// ---- TOutputDirectory -------------------------------------------------------------------------

TOutputDirectory::~TOutputDirectory() {
  if (Handle >= 0) ::close(Handle);
}

int TOutputDirectory::Open(const std::string& host) {
  if (Handle >= 0 && host == Host) return Handle;
  Forget();
  Handle = ::open(host.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  Host = host;
  return Handle;
}

void TOutputDirectory::Forget() {
  if (Handle >= 0) ::close(Handle);
  Handle = -1;
}

// ---- TOutputFile ------------------------------------------------------------------------------

bool TOutputFile::CreateNew(const std::string& outputPath, mode_t mode, mode_t defaultMode,
                            TOutputDirectory& directory) {
  std::string host = platform::HostPath(outputPath);
  if (host.empty()) return false;
  const size_t slash = host.rfind('/');
  const int dir = slash == std::string::npos ? AT_FDCWD : directory.Open(HostDirectoryOf(host));
  if (dir < 0 && dir != AT_FDCWD) return false;
  const char* leaf = host.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  mode &= 0777;
  // O_EXCL refuses whatever stands at the name, a link (even one leading nowhere) or a
  // directory included, and never follows a link; O_NOFOLLOW says so twice. The new file
  // gets `mode` less the umask, so it is never, even while being written, readable by more
  // than the entry allows.
  int h;
  do {
    h = ::openat(dir, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (h < 0 && errno == EINTR);
  if (h < 0) {
    // Anything but a name already taken may mean the directory is gone (removed while the
    // run went on): the next new file there looks it up by its name again.
    if (errno != EEXIST) directory.Forget();
    return false;
  }
  OutputPath = outputPath;
  FinalHost = host;
  Host = std::move(host);
  IsNew = true;
  ModeFinal = (mode & ~defaultMode) == 0;
  MadeMode = mode;
  Handle = h;
  return true;
}

void TOutputFile::CreateReplacement(const std::string& outputPath) {
  OutputPath = outputPath;
  FinalHost = platform::HostPath(outputPath);
  if (FinalHost.empty()) RaiseCannotCreate(outputPath);
  // Hidden and unique, next to the output path so that the final move stays on one file
  // system and is a plain rename.
  std::string pattern = HostDirectoryOf(FinalHost) + "/.unzip-part-XXXXXX";
  Handle = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (Handle < 0) RaiseCannotCreate(outputPath);
  Host = pattern;
  IsNew = false;
}

TOutputFile::~TOutputFile() {
  if (Host.empty()) {
    if (Handle >= 0) ::close(Handle);
    return;
  }
  if (IsNew && Handle >= 0) {
    // The name is removed only while it is still our file: one that something else put
    // there meanwhile (ours then already gone) stays.
    struct stat mine, there;
    const bool ours = ::fstat(Handle, &mine) == 0 && ::lstat(Host.c_str(), &there) == 0 &&
                      mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
    if (ours) ::unlink(Host.c_str());
    ::close(Handle);
    return;
  }
  if (Handle >= 0) ::close(Handle);
  ::unlink(Host.c_str());
}

int64_t TOutputFile::Write(const uint8_t* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(Handle, buffer + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

void TOutputFile::Close() {
  const int h = Handle;
  Handle = -1;
  if (h >= 0 && ::close(h) != 0) RaiseWriteError(OutputPath);
}

void TOutputFile::SetTimeAndMode(uint32_t dosDateTime, mode_t mode) {
  // Through the open file: it is ours, so no name can lead anywhere else.
  time_t t;
  if (platform::DosDateTimeToUnixTime(dosDateTime, t)) {
    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(Handle, times);
  }
  mode &= 0777;
  if (!(IsNew && ModeFinal && mode == MadeMode)) ::fchmod(Handle, mode);
}

void TOutputFile::Commit() {
  if (!IsNew && ::rename(Host.c_str(), FinalHost.c_str()) != 0) RaiseCannotCreate(OutputPath);
  Host.clear();
}

// ---- TExtractHost -----------------------------------------------------------------------------

bool TUnZipper::ProcessMessagesAndCheckCancel() {
  if (!DoProcessMessages) return false;
  platform::UI().ProcessMessages();
  if (!CancelRequested) return false;
  CancelRequested = false;
  return true;
}

int64_t TUnZipper::ReadArchive(uint8_t* buffer, int64_t count) {
  return ArchiveStream ? ArchiveStream->Read(buffer, count) : 0;
}

void TUnZipper::SkipArchive(int64_t count) {
  if (ArchiveStream) ArchiveStream->Seek(count, platform::soFromCurrent);
}

bool TUnZipper::CanRequestNextDisk() {
  return EndRecord.ThisDiskNumber > 0 && static_cast<bool>(OnGetNextDisk);
}

bool TUnZipper::RequestNextDisk() { return RequestDisk(CurrentDisk + 2) != nullptr; }

int64_t TUnZipper::WriteOutput(const uint8_t* buffer, int64_t count) {
  return ActiveRun && ActiveRun->Output ? ActiveRun->Output->Write(buffer, count) : 0;
}

std::string TUnZipper::OutputName() { return ActiveRun ? ActiveRun->OutputPath : std::string(); }

bool TUnZipper::FilePercentDoneAssigned() { return static_cast<bool>(OnFilePercentDone); }
void TUnZipper::FilePercentDone(int percent) { OnFilePercentDone(this, percent); }
bool TUnZipper::TotalPercentDoneAssigned() { return static_cast<bool>(OnTotalPercentDone); }
void TUnZipper::TotalPercentDone(int percent) { OnTotalPercentDone(this, percent); }

void TUnZipper::EntrySkipped() {
  if (ActiveRun) --ActiveRun->Count;
}

}  // namespace unzip
