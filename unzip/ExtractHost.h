#pragma once
// What one extraction run keeps besides the extraction state: the count of extracted files
// and the output file of the entry being written. Private to the extraction run
// (ExtractRun.cpp) and the component's side of the extraction state (ExtractHost.cpp).
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "UnZipper.h"

namespace unzip {

// The output file of one entry, made in one of two ways:
//  - CreateNew: when nothing stands at the output path, the file itself, made exclusively (a
//    file, directory or link that stands there, or appears there, is never opened);
//  - CreateReplacement: otherwise a hidden temporary file next to the output path, moved onto
//    it by Commit, so the old file stays whole until the new one proved sound.
// Destroyed uncommitted, it removes what it made, so an error, a cancel, a Skip or a bad CRC
// never leaves a partial file and never touches what stood at the output path.
// The directory new files were last made in, held open so that each new file there is made
// relative to it instead of walking the whole path again.
class TOutputDirectory {
public:
  TOutputDirectory() = default;
  ~TOutputDirectory();
  TOutputDirectory(const TOutputDirectory&) = delete;
  TOutputDirectory& operator=(const TOutputDirectory&) = delete;
  // A handle on the directory `host` names (a host path); -1 when it cannot be opened.
  int Open(const std::string& host);
  // Lets go of the handle: the next Open opens the directory by its name again.
  void Forget();

private:
  std::string Host;
  int Handle = -1;
};

class TOutputFile {
public:
  TOutputFile() = default;
  ~TOutputFile();
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // Makes the file at the output path with permission bits `mode` less the umask, never
  // wider than `mode`. False, with nothing made, when anything stands there or no file can
  // be made there. `defaultMode` is 0666 less the umask: a mode within it is final as made.
  bool CreateNew(const std::string& outputPath, mode_t mode, mode_t defaultMode,
                 TOutputDirectory& directory);
  // Raises EFCreateError "Cannot create file %s" (the output path) when no file can be made
  // in that directory.
  void CreateReplacement(const std::string& outputPath);
  bool Created() const { return Handle >= 0 || !Host.empty(); }

  // Writes all bytes unless the system refuses; returns the count taken.
  int64_t Write(const uint8_t* buffer, int64_t count);
  // Closes the file; an error the system reports only now is still a failed write
  // (EWriteError naming the output path).
  void Close();
  // The modification time (left as written when the stored date-time is invalid) and the
  // permission bits of the written file, before it is closed.
  void SetTimeAndMode(uint32_t dosDateTime, mode_t mode);
  // Keeps the file: a replacement is moved onto the output path, and whatever stood there,
  // a link included, is replaced itself; a link is never written through.
  void Commit();

private:
  std::string OutputPath;  // as the events name it
  std::string FinalHost;
  // What was made and is removed unless committed: the temporary file, or the output path
  // itself for a new file.
  std::string Host;
  bool IsNew = false;
  // A new file made with permission bits that the umask left whole needs no change of mode.
  bool ModeFinal = false;
  mode_t MadeMode = 0;
  int Handle = -1;
};

struct TUnZipper::TExtractRun {
  // The run's result: selected entries, less every one skipped or failed.
  int32_t Count = 0;
  // Where output paths start: DestDir, made absolute before the run enters it.
  std::string Dest;
  // The entry being written: its output path (as the events name it) and its file.
  std::string OutputPath;
  TOutputFile* Output = nullptr;
  // The mode of a new file here (0666 less the umask), read once per run.
  mode_t DefaultMode = 0644;
  // The output directory last made sure of.
  std::string LastDirectory;
  // The directory the last new file was made in.
  TOutputDirectory NewFileDirectory;
};

// The text of a failed write, naming the file.
[[noreturn]] void RaiseWriteError(const std::string& name);
// What creating a file that cannot be made raises ("Cannot create file %s").
[[noreturn]] void RaiseCannotCreate(const std::string& name);

}  // namespace unzip
