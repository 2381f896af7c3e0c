#pragma once
// What one extraction run keeps besides the extraction state: the count of extracted files
// and the output file of the entry being written. Private to the extraction run
// (ExtractRun.cpp) and the component's side of the extraction state (ExtractHost.cpp).
#include <sys/types.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "UnZipper.h"

namespace unzip {

// The directory new files were last made in, held open so that each new file there is made
// relative to it instead of walking the whole path again.
class TOutputDirectory {
public:
  TOutputDirectory() = default;
  ~TOutputDirectory();
  TOutputDirectory(const TOutputDirectory&) = delete;
  TOutputDirectory& operator=(const TOutputDirectory&) = delete;
  // A handle on the directory `relative` ("a/b", host form; "" for `base` itself) below
  // `base` (a host path, whose own links are followed: the destination is the caller's
  // choice). Below it every component is opened without following a link, and made when
  // missing, so nothing is ever made or written through a link, whoever put it there.
  // -1 when a component is a link or no directory (errno ELOOP) or cannot be made. The
  // handle stays valid until the next Open or Forget.
  int Open(const std::string& base, const std::string& relative);
  // Lets go of the handles: the next Open walks to the directory again from `base`.
  void Forget();

private:
  // Walks from the deepest directory held that `parts` share; -1 as Open.
  int Walk(const std::vector<std::string_view>& parts);

  // The handles on the way to the last directory opened: `base` first, then one per part
  // (at most kHeld of them), so that the next directory, which nearly always shares most of
  // the way, is reached from there. A directory deeper than that is held alone (Deep).
  static constexpr size_t kHeld = 32;
  std::string Base, Key;
  std::vector<std::string> Parts;
  std::vector<int> Handles;
  int Deep = -1;
  int Current = -1;
};

// The output of one entry at a name (`leaf`) in a directory handle, made in one of three
// ways:
//  - CreateNew: when nothing stands there, the file itself, made exclusively (a file,
//    directory or link that stands there, or appears there, is never opened);
//  - CreateReplacement: otherwise a hidden temporary file next to it, moved onto the name by
//    Commit, so the old file stays whole until the new one proved sound;
//  - CreateLink: a symbolic link, whose target (the entry's data) is kept in memory and made
//    by Commit, in place or through a temporary name moved onto the name.
// Destroyed uncommitted, it removes what it made, so an error, a cancel, a Skip or a bad CRC
// never leaves a partial file and never touches what stood at the output path. The directory
// handle must stay open while the output lives.
class TOutputFile {
public:
  TOutputFile() = default;
  ~TOutputFile();
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // Makes the file with permission bits `mode` less the umask, never wider than `mode`.
  // 0, or the errno of the failure with nothing made (EEXIST: something stands there).
  // `defaultMode` is 0666 less the umask: a mode within it is final as made.
  int CreateNew(const std::string& outputPath, int dir, const std::string& leaf, mode_t mode,
                mode_t defaultMode);
  // Raises EFCreateError "Cannot create file %s" (the output path) when no file can be made
  // in that directory.
  void CreateReplacement(const std::string& outputPath, int dir, const std::string& leaf);
  // The entry is a symbolic link; `replacing` when something stands at the name.
  void CreateLink(const std::string& outputPath, int dir, const std::string& leaf, bool replacing);
  bool Created() const { return Handle >= 0 || !Temporary.empty() || IsLink; }
  bool IsLinkOutput() const { return IsLink; }
  // The link's target as written so far; `LinkTooLong` when it outgrew what a link holds.
  const std::string& LinkTarget() const { return Target; }
  bool LinkTooLong() const { return TooLong; }
  // The system's error number of the last write that failed here.
  int LastError() const { return Error; }

  // Writes all bytes unless the system refuses; returns the count taken.
  int64_t Write(const uint8_t* buffer, int64_t count);
  // Closes the file; an error the system reports only now is still a failed write
  // (EWriteError naming the output path).
  void Close();
  // The modification time and the permission bits of the written file, before it is closed:
  // the entry's UTC time when `extra` has one, else its MS-DOS time (left as written when
  // that is invalid). A link gets its time when it is made.
  void SetTimeAndMode(uint32_t dosDateTime, const TEntryExtra& extra, mode_t mode);
  // Keeps the output: a replacement is moved onto the name, and whatever stood there, a link
  // included, is replaced itself; a link is never written through.
  void Commit();

private:
  std::string OutputPath;  // as the events name it
  int Dir = -1;
  std::string Leaf;
  // The hidden name of a replacement, removed unless committed.
  std::string Temporary;
  // A new file made at the name itself, removed unless committed (while it is ours).
  bool IsNew = false;
  bool Committed = false;
  // A new file made with permission bits that the umask left whole needs no change of mode.
  bool ModeFinal = false;
  mode_t MadeMode = 0;
  int Handle = -1;
  // Link output.
  bool IsLink = false, Replacing = false, TooLong = false;
  std::string Target;
  struct timespec LinkTime[2] = {};
  bool HasLinkTime = false;
  int Error = 0;
};

// The time an entry's output gets: its UTC time when a field gave one, else its MS-DOS
// time. False when it has neither (an invalid MS-DOS date-time).
bool EntryTime(uint32_t dosDateTime, const TEntryExtra& extra, struct timespec& time);

struct TUnZipper::TExtractRun {
  // The run's result: selected entries, less every one skipped or failed.
  int32_t Count = 0;
  // Where output paths start: DestDir, made absolute before the run enters it; and its host
  // form.
  std::string Dest;
  std::string DestHost;
  // The entry being written: its output path (as the events name it) and its file.
  std::string OutputPath;
  TOutputFile* Output = nullptr;
  // The mode of a new file here (0666 less the umask), read once per run.
  mode_t DefaultMode = 0644;
  // The directory the last new file was made in.
  TOutputDirectory NewFileDirectory;
  // Directories of directory entries and their times, set once every entry is written.
  struct TDirectoryTime {
    std::string Base, Relative;
    struct timespec Time;
  };
  std::vector<TDirectoryTime> DirectoryTimes;
  // The system's error number of the last failed write to the output.
  int WriteError = 0;
  // Where, in archive order, the entry after the last one whose data was placed stands: the
  // next entry's own follower is then one further on.
  int32_t Following = 0;
};

// The text of a failed write, naming the file (EWriteFailed with the system's reason, by
// default errno as it stands at the call).
[[noreturn]] void RaiseWriteError(const std::string& name, int systemError = errno);
// What creating a file that cannot be made raises ("Cannot create file %s", ECreateFailed
// with the system's reason).
[[noreturn]] void RaiseCannotCreate(const std::string& name, int systemError = errno);
// The same where a symbolic link (or a file) stands in the way to it.
[[noreturn]] void RaiseLinkInTheWay(const std::string& name, int systemError = errno);

}  // namespace unzip
