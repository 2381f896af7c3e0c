#pragma once
// TUnZipper: the component through which the rest of the system unpacks ZIP archives.
// A caller names an archive (ZipName), lets the component read its directory
// (ReadDirectory), names a destination (DestDir) and extracts all or selected entries
// (ExtractFiles). Configuration goes through properties, reports through events.
//
// This header carries the class (its run state is in UnZipperState.h, private to the
// component); UnZipper.cpp holds the properties, the directory and
// the disk requests, ExtractRun.cpp the extraction run (ExtractFiles, ExtractEntry).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ExtractState.h"
#include "Runtime.h"
#include "UnzipErrors.h"
#include "ZipRecords.h"

namespace platform {
class TStream;
}

namespace unzip {

class TLFNFileStream;
class TSortedZip;
struct TUnZipperState;
class TZipEntries;
class TExtractState;

enum class TUZOverwriteMode : uint8_t { Prompt = 0, Always = 1, Never = 2 };
enum class TIncompleteZipMode : uint8_t { izAssumeMulti = 0, izAssumeBad = 1 };
// SkipUnsafeLink: a symbolic link whose target is absolute or leads out of the destination
// is not made.
enum class TSkipReason : uint8_t { SkipBadPassword = 0, SkipExistingFile = 1, SkipUnsafeLink = 2 };
// How the further disks of a multi-disk archive are found.
enum class TMultiDiskMode : uint8_t { None = 0, RemovableDisks = 1, Files = 2 };

// What became of an entry in the last extraction run.
enum class TEntryOutcome : uint8_t {
  NotSelected = 0,  // not part of the run
  NotReached = 1,   // selected, but the run stopped before it
  Made = 2,         // extracted (or, to a sink, delivered whole and sound)
  Skipped = 3,      // left out on purpose: see the problem
  Failed = 4,       // could not be extracted: see the problem
};
// Why an entry was skipped or failed.
enum class TEntryProblem : uint8_t {
  None = 0,
  BadPassword,       // skipped: no password accepted
  ExistingFile,      // skipped: the output file exists and is not to be replaced
  SkippedByHandler,  // skipped: OnStartUnZip answered Skip
  CannotCreate,      // the output file or its directory could not be made (SystemError says why)
  BadCrc,            // the CRC of the data does not match
  TooLong,           // the data ran past the entry's declared size and was cut off there
  TooShort,          // the data ran out before the entry's declared size
  Damaged,           // an error in the entry's headers or data (Message says which)
  WriteFailed,       // a write was refused (SystemError says why); the run stopped there
};
struct TEntryResult {
  TEntryOutcome Outcome = TEntryOutcome::NotSelected;
  TEntryProblem Problem = TEntryProblem::None;
  // The stored directory was changed to keep the entry below the destination: a drive, a
  // leading "\" or ".." components taken off.
  bool NameRewritten = false;
  int SystemError = 0;     // the system's error number of a failed create or write, else 0
  std::string Message;     // the text of the error that failed the entry
  std::string OutputPath;  // where a failed entry was to go (empty when not reached)
};

// Where the bytes of a run go when they are not to be files: a run with a sink makes no file
// or directory and changes no current directory; the overwrite policy and attributes do not
// apply. Chosen per run through TUnZipper::OutputSink.
class TOutputSink {
public:
  virtual ~TOutputSink() = default;
  // An entry's bytes follow; `outputPath` is where they would go as a file.
  virtual void BeginEntry(int32_t /*index*/, const std::string& /*outputPath*/) {}
  // Takes the bytes; returns the count taken (fewer is a failed write).
  virtual int64_t Write(const uint8_t* buffer, int64_t count) = 0;
  // Asked after BeginEntry, when the entry declares its size: memory of `size` bytes where the
  // component is to place the entry's bytes itself, in order, instead of calling Write. A
  // deflated entry is then decoded right there, with no copy of its bytes at all. Nothing is
  // ever placed beyond `size` bytes; the memory must stay valid until the entry ends (EndEntry,
  // or the run stops), and when the entry fails it may hold part of the bytes. nullptr (the
  // default): the bytes come through Write.
  virtual uint8_t* EntryMemory(int32_t /*index*/, int64_t /*size*/) { return nullptr; }
  // The entry ended normally; `sound` when its CRC and size agreed.
  virtual void EndEntry(int32_t /*index*/, bool /*sound*/) {}
};

using TSender = platform::TObject*;
using TStartUnzipInfo =
    std::function<void(TSender Sender, int32_t NumFiles, int64_t TotalBytes, bool& StopNow)>;
using TFilePercentDone = std::function<void(TSender Sender, int32_t Percent)>;
using TTotalPercentDone = std::function<void(TSender Sender, int32_t Percent)>;
using TStartUnZipEvent =
    std::function<void(TSender Sender, int32_t FileIndex, const std::string& FName, bool& Skip)>;
using TEndUnZipEvent =
    std::function<void(TSender Sender, int32_t FileIndex, const std::string& FName)>;
using TPromptForOverwrite =
    std::function<void(TSender Sender, bool& OverWriteIt, int32_t FileIndex, std::string& FName)>;
using TSkippingFile = std::function<void(TSender Sender, TSkipReason Reason, int32_t FileIndex)>;
using TBadPassword =
    std::function<void(TSender Sender, int32_t FileIndex, std::string& NewPassword)>;
using TBadCRC = std::function<void(TSender Sender, int32_t CalcCRC, int32_t StoredCRC,
                                   int32_t FileIndex)>;
using TIncompleteZip = std::function<void(TSender Sender, TIncompleteZipMode& IncompleteMode)>;
using TGetNextDisk = std::function<void(TSender Sender, int32_t NextDisk, std::string& FName)>;
using TEntryFailedEvent =
    std::function<void(TSender Sender, int32_t FileIndex, const TEntryResult& Result)>;

inline constexpr int32_t kThisVersion = 202;

// What a directory read found wrong with the central directory, and what it made good.
struct TDirectoryDamage {
  // The end record declares a directory that could not be read whole: not found where it
  // says, a record that is no record (bad signature, cut short), or fewer records than declared.
  bool Damaged = false;
  // The first record that could not be read: its number in the directory (0-based) and the
  // file position where it was looked for.
  int64_t FirstBadRecord = -1;
  int64_t FirstBadOffset = -1;
  int64_t Declared = 0;   // entries the end record declares
  int64_t Read = 0;       // central records read
  int64_t Recovered = 0;  // entries found only through their local headers
};

// The file an archive name resolved to, and its state, when its directory was read.
struct TFileIdentity {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t Size = -1;
  int64_t ModifiedNs = 0;  // modification time in nanoseconds
  bool operator==(const TFileIdentity&) const = default;
};

class TUnZipper : public platform::TObject, public TExtractHost {
public:
  explicit TUnZipper(platform::TObject* Owner = nullptr);
  ~TUnZipper() override;
  TUnZipper(const TUnZipper&) = delete;
  TUnZipper& operator=(const TUnZipper&) = delete;

  // Called once the stored layout has set the properties; nothing to do here.
  virtual void Loaded() {}

  // ---- Published properties ---------------------------------------------------------------

  int32_t ThisVersion() const { return kThisVersion; }
  void SetThisVersion(int32_t) {}  // accepted and ignored

  const std::string& ZipName() const { return FZipName; }
  // A name ending in "?" asks for the archive with an open-file dialog. Any name other than
  // the current one (letter case aside) drops the directory read so far.
  virtual void SetZipName(const std::string& Value);

  const std::string& DestDir() const { return FDestDir; }
  // "?" asks for the directory with the select-directory dialog; one trailing "\" is dropped.
  void SetDestDir(const std::string& Value);

  const std::string& RootDir() const { return FRootDir; }
  // A non-empty value gets a trailing "\" when it lacks one.
  void SetRootDir(const std::string& Value);

  // Order of the entry indexes; takes effect at the next directory read.
  TZipSortMode SortMode = TZipSortMode::ByNone;
  bool RecreateDirs = false;
  TUZOverwriteMode OverwriteMode = TUZOverwriteMode::Prompt;
  // Masks of the entries to extract when DoAll is false.
  std::vector<std::string> FilesList;
  void SetFilesList(const std::vector<std::string>& Value) { FilesList = Value; }
  bool DoAll = false;
  // When set, only the entries it accepts (by index of the current order) are part of a run,
  // over DoAll and FilesList: an entry it refuses is never looked at. Also a way to give each
  // of several components on the same archive its share of the entries.
  std::function<bool(int32_t Index)> EntryFilter;
  TIncompleteZipMode IncompleteZipMode = TIncompleteZipMode::izAssumeMulti;
  bool KeepZipOpen = false;
  bool DoProcessMessages = true;
  bool RetainAttributes = true;
  // Unix entries that were symbolic links are made as links (their data is the target); a
  // link that would lead out of the destination is not made (SkipUnsafeLink). False: such an
  // entry is written as a plain file holding the target, as any other entry.
  bool CreateLinks = true;

  TStartUnzipInfo OnStartUnZipInfo;
  TFilePercentDone OnFilePercentDone;
  TTotalPercentDone OnTotalPercentDone;
  TStartUnZipEvent OnStartUnZip;
  TEndUnZipEvent OnEndUnZip;
  TPromptForOverwrite OnPromptForOverwrite;
  TSkippingFile OnSkippingFile;
  TBadPassword OnBadPassword;
  TBadCRC OnBadCRC;
  TIncompleteZip OnInCompleteZip;
  TGetNextDisk OnGetNextDisk;

  // With this set, an entry that fails with an error (its file cannot be made, its data is
  // damaged) is reported through OnEntryFailed and the run goes on with the next entry; a
  // refused write (a full disk), a cancel and a missing disk still end the run. Off, every
  // error ends the run.
  bool ContinueAfterEntryErrors = false;
  TEntryFailedEvent OnEntryFailed;
  // None: entries become files under DestDir. Otherwise their bytes go to the sink.
  TOutputSink* OutputSink = nullptr;

  // ---- Public operations ------------------------------------------------------------------

  // Password for encrypted entries; OnBadPassword may replace it.
  std::string Password;

  // Reads the directory of ZipName (again only when the file changed since).
  void ReadDirectory();
  // Takes the directory `Source` has read instead of reading it again: its ZipName, entries
  // (in this component's SortMode), end record and damage report, selection and comments as
  // they stand. The entries are not copied but shared read-only, so an extra component on the
  // same archive costs little memory; from then on each component may be used from a thread
  // of its own. What either changes later (selection, comments, a new reading when the file
  // changed) stays its own. `Source` must not be in use while this runs. Without a directory
  // in `Source`, as SetZipName(Source.ZipName()).
  void ShareDirectory(const TUnZipper& Source);
  // Extracts every entry (DoAll) or those FilesList selects into DestDir; the number of
  // files extracted.
  int32_t ExtractFiles();
  // Entries of the directory; 0 when there is none.
  int32_t EntryCount() const;
  // FileName of the entry at `Index` of the current order. Index out of range: EListError
  // "Index %d is out of range".
  std::string EntryFileName(int32_t Index) const;
  // The whole directory entry at `Index` (same range check). Entries are held compactly and
  // made whole when asked for: the reference stays valid until four other entries were asked
  // for or the directory is read again; copy the entry to keep it longer.
  const TZipHeaderInfo& EntryInfo(int32_t Index) const;
  // The Directory and FileName of the entry at `Index`, and its CompressedSize, read from the
  // directory as held without making the entry whole: for passes over every entry of a large
  // directory. The views stay valid until the directory is read again. Same range check.
  std::pair<std::string_view, std::string_view> EntryNames(int32_t Index) const;
  int64_t EntryCompressedSize(int32_t Index) const;
  // The entry's comment, loaded from the archive on first use.
  std::string EntryComment(int32_t Index);
  void SetEntryComment(int32_t Index, const std::string& Text);
  // The archive comment, loaded from the archive on first use.
  std::string ArchiveComment();
  void SetArchiveComment(const std::string& Text);
  // What became of the entry at `Index` in the last extraction run (NotSelected before any).
  TEntryResult EntryResult(int32_t Index) const;
  // Asks the work under way to stop: the local-header scan and the extraction's refills
  // raise EUserCanceled "User Aborted Operation" at their next check. Meant for a cancel
  // button whose handler runs while the component lets messages be processed.
  void Cancel();

  // The archive's end record as read, and the entry the last extraction reached (its
  // LocalHeaderOffset is -1 before the first entry).
  const TEndCentral& EndCentral() const;
  const TZipHeaderInfo& CurrentEntryInfo() const;
  // True when the directory had to be rebuilt from the local headers; what was wrong with it.
  bool DirectoryRebuilt() const;
  const TDirectoryDamage& DirectoryDamageInfo() const;

  // ---- Internal operations, shared with the extraction run and its decoders ------------------
  // The run state they work on (UnZipperState.h, private to the component and its tests).
  TUnZipperState& State() { return *S; }
  const TUnZipperState& State() const { return *S; }

  // Opens ZipName when it is not open; reads the directory when there is none or the file
  // the name resolves to is another one or changed (size, modification time).
  void OpenArchive();
  // Releases ArchiveStream unless KeepZipOpen.
  void CloseArchive();
  // Forgets stream, directory, end record and ZipName.
  void ClearArchive();
  // Obtains disk `DiskNumber` (1-based) through OnGetNextDisk, opens it as ArchiveStream and
  // returns it. No name given: EUserCanceled "User canceled loading new disk.".
  platform::TStream* RequestDisk(int32_t DiskNumber);

  // Directory reading.
  void ReadCentralDirectory();
  bool RebuildFromLocalHeaders();
  void ApplySortMode(TZipSortMode Mode);

  // The extraction run (ExtractRun.cpp).
  int32_t RunExtraction();
  void ExtractEntry(TExtractState& State, int32_t Index);
  // ExtractEntry, with what became of the entry recorded and, with ContinueAfterEntryErrors,
  // its error reported instead of ending the run.
  void ExtractEntryReporting(TExtractState& State, int32_t Index);
  void SetEntryOutcome(int32_t Index, TEntryOutcome Outcome, TEntryProblem Problem);

  // ---- What the extraction state needs from the component (ExtractRun.cpp) ----------------

  bool ProcessMessagesAndCheckCancel() override;
  bool PollCancel() override { return ProcessMessagesAndCheckCancel(); }
  int64_t ReadArchive(uint8_t* buffer, int64_t count) override;
  void SkipArchive(int64_t count) override;
  bool CanRequestNextDisk() override;
  bool RequestNextDisk() override;
  int64_t WriteOutput(const uint8_t* buffer, int64_t count) override;
  std::string OutputName() override;
  bool FilePercentDoneAssigned() override;
  void FilePercentDone(int percent) override;
  bool TotalPercentDoneAssigned() override;
  void TotalPercentDone(int percent) override;
  void EntrySkipped() override;

  // The run in progress (count, output file); none between runs: TUnZipperState::ActiveRun.
  struct TExtractRun;
  // The last run's outcome per entry index: TEntryOutcome in bits 0-2, TEntryProblem in bits
  // 3-6, NameRewritten in bit 7; one byte an entry, details only for the failed ones. Held
  // from the first entry the run took (RunOutcomesFrom) to the last: a component given a share
  // of the entries holds its share's alone.
  std::vector<uint8_t> RunOutcomes;
  int32_t RunOutcomesFrom = 0;
  std::vector<std::pair<int32_t, TEntryResult>> RunFailures;
  uint8_t& RunOutcome(int32_t index) { return RunOutcomes[static_cast<size_t>(index - RunOutcomesFrom)]; }

private:
  // Releases SortedEntries (when it is a list of its own) and EntryList with its entries.
  void ReleaseDirectory();
  // Opens `name` for reading as the archive stream.
  std::unique_ptr<TLFNFileStream> OpenArchiveFile(const std::string& name) const;
  // The local-header scan: the position of the first "PK", 3, 4 at or after `from`, or -1.
  int64_t FindLocalHeader(int64_t from);
  // Walks the local headers from `from` on, adding each entry to `walked`, until a place that
  // holds no local header or an entry whose data's end cannot be found. An entry that
  // `known` (when given) returns for its offset is passed over by that entry's sizes and not
  // added. Returns the position reached.
  int64_t WalkLocalHeaders(int64_t from, const std::function<const TZipHeaderInfo*(int64_t)>& known,
                           std::vector<std::unique_ptr<TZipHeaderInfo>>& walked);
  // For an entry with a data descriptor: where its data ends (deflate: the end of the
  // stream; otherwise the first descriptor that agrees with the bytes before it), with the
  // CRC and sizes taken from there. False when no end is found.
  bool FindDataEnd(TZipHeaderInfo& entry, int64_t dataStart, bool zip64, int64_t& next);
  // Lets messages through during a long scan and honours a cancel request.
  void PollDuringScan();
  // The disk check of a removable multi-disk part.
  bool DiskCheckPasses(int32_t DiskNumber) const;
  void CheckIndex(int32_t Index) const;

  std::unique_ptr<TUnZipperState> S;
  std::string FZipName;
  std::string FDestDir;
  std::string FRootDir;
};

// The framework date value of a file's modification time taken as MS-DOS local date-time
// (2-second resolution); 0 when the file cannot be examined.
double FileModificationDate(const std::string& name);
// The identity of the file `name` resolves to (Size -1 when there is none).
TFileIdentity FileIdentityOf(const std::string& name);

}  // namespace unzip
