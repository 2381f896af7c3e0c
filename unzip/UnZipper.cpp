#include "UnZipper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "BufferStream.h"
#include "Exceptions.h"
#include "FileNames.h"
#include "FileTimes.h"
#include "Names.h"
#include "Streams.h"
#include "UserInterface.h"
#include "ZipDirectory.h"

namespace unzip {

namespace {

constexpr const char* kMsgCanceledZipName = "User canceled setting zip file name.";
constexpr const char* kMsgCanceledDestDir = "User canceled Set Desination Directory";
constexpr const char* kMsgCanceledDisk = "User canceled loading new disk.";
constexpr const char* kMsgIncompleteZip = "Incomplete Zip File";

// The local-header scan lets messages through, and looks for a cancel request, every this
// many bytes.
constexpr int64_t kScanMessageInterval = 10240;
// The most entries a directory can hold: the ZIP format counts them in 16 bits.
constexpr size_t kMaxEntries = 65535;

// Names compared as the locale compares them without regard to case; for the names this
// system handles that is ASCII case folding.
bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string UpperCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The directory part of a name: up to and including its last "\", "/" or ":".
std::string DirectoryPart(const std::string& name) {
  const size_t cut = name.find_last_of("\\/:");
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

double DateOfStat(const struct stat& st) {
  return DosDateTimeToDateTime(platform::UnixTimeToDosDateTime(st.st_mtime));
}

// The framework shows the busy cursor for the lifetime of a scope.
class BusyCursor {
public:
  BusyCursor() { platform::UI().SetBusyCursor(true); }
  ~BusyCursor() { platform::UI().SetBusyCursor(false); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// On this host no drive is removable: multi-disk sets are found as files.
bool IsRemovableDrive(const std::string& /*driveRoot*/) { return false; }

}  // namespace

double FileModificationDate(const std::string& name) {
  struct stat st;
  const std::string host = platform::HostPath(name);
  if (host.empty() || ::stat(host.c_str(), &st) != 0) return 0.0;
  return DateOfStat(st);
}

// ---- Construction --------------------------------------------------------------------------

TUnZipper::TUnZipper(platform::TObject* /*Owner*/) {}

TUnZipper::~TUnZipper() { ClearArchive(); }

// ---- Properties ----------------------------------------------------------------------------

void TUnZipper::SetZipName(const std::string& Value) {
  if (SameTextIgnoringCase(Value, FZipName)) return;
  std::string name = Value;
  if (!name.empty() && name.back() == '?') {
    platform::TOpenDialogOptions options;
    options.Title = "Open a Zip File";
    options.Filter = "Zip Files (*.ZIP)|*.zip|SFX Files (*.EXE)|*.exe|All Files (*.*)|*.*";
    const std::string dir = DirectoryPart(name.substr(0, name.size() - 1));
    options.InitialDir = !dir.empty() && platform::DirectoryExists(dir) ? dir : "C:\\";
    std::string chosen;
    if (!platform::UI().OpenFileDialog(options, chosen)) throw EUserCanceled(kMsgCanceledZipName);
    name = chosen;
  }
  FZipName = name;
  ReleaseDirectory();
  ArchiveDate = 0.0;
  EndRecord.Clear();
  ArchiveStream.reset();
  RebuiltFromLocalHeaders = false;
}

void TUnZipper::SetDestDir(const std::string& Value) {
  if (Value != "?") {
    FDestDir = Value;
  } else {
    std::string start = FDestDir;
    if (!platform::DirectoryExists(FDestDir + "\\")) start = platform::GetCurrentDirectory();
    platform::TSelectDirOptions options;
    options.AllowCreate = true;
    options.PromptBeforeCreate = true;
    if (!platform::UI().SelectDirectory(options, start)) throw EUserCanceled(kMsgCanceledDestDir);
    FDestDir = start;
  }
  if (!FDestDir.empty() && FDestDir.back() == '\\') FDestDir.pop_back();
}

void TUnZipper::SetRootDir(const std::string& Value) {
  FRootDir = Value;
  if (!FRootDir.empty() && FRootDir.back() != '\\') FRootDir += '\\';
}

// ---- Opening and closing -------------------------------------------------------------------

std::unique_ptr<platform::TStream> TUnZipper::OpenArchiveFile(const std::string& name) const {
  return std::make_unique<TLFNFileStream>(name, fmOpenReadDenyWrite);
}

void TUnZipper::ReadDirectory() {
  CancelRequested = false;
  OpenArchive();
  CloseArchive();
}

void TUnZipper::OpenArchive() {
  const bool wasOpen = ArchiveStream != nullptr;
  if (!wasOpen) ArchiveStream = OpenArchiveFile(FZipName);
  if (!EntryList) {
    ReadCentralDirectory();
    return;
  }
  if (FileModificationDate(FZipName) != ArchiveDate) {
    // A stream kept open still shows the file that was replaced: read the new one.
    if (wasOpen) {
      ArchiveStream.reset();
      ArchiveStream = OpenArchiveFile(FZipName);
    }
    ReadCentralDirectory();
  }
}

void TUnZipper::CloseArchive() {
  if (!KeepZipOpen) ArchiveStream.reset();
}

void TUnZipper::ClearArchive() {
  ArchiveStream.reset();
  ReleaseDirectory();
  EndRecord.Clear();
  RebuiltFromLocalHeaders = false;
  ArchiveDate = 0.0;
  DiskCount = 1;
  FZipName.clear();
}

void TUnZipper::ReleaseDirectory() {
  OwnSortedEntries.reset();
  SortedEntries = nullptr;
  EntryList.reset();
}

// ---- Disks ---------------------------------------------------------------------------------

bool TUnZipper::DiskCheckPasses(int32_t DiskNumber) const {
  if (MultiDiskMode != TMultiDiskMode::RemovableDisks) return true;
  const std::string label = LeftPart(VolumeLabel(UpperCase(LeftPart(FZipName, 3))), 11);
  return RightPart(label, 3) == platform::Format("%3.3d", DiskNumber);
}

platform::TStream* TUnZipper::RequestDisk(int32_t DiskNumber) {
  ArchiveStream.reset();
  std::string name = FZipName;
  // Without a handler nobody can name the disk: the same as a user who gives no name.
  if (!OnGetNextDisk) throw EUserCanceled(kMsgCanceledDisk);
  for (;;) {
    OnGetNextDisk(this, DiskNumber, name);
    if (!name.empty() && !DiskCheckPasses(DiskNumber)) continue;
    if (name.empty()) throw EUserCanceled(kMsgCanceledDisk);
    if (!platform::FileExists(name)) continue;
    break;
  }
  ArchiveStream = OpenArchiveFile(name);
  CurrentDisk = DiskNumber - 1;
  ArchiveDate = FileModificationDate(name);
  FZipName = name;
  return ArchiveStream.get();
}

// ---- The directory -------------------------------------------------------------------------

int32_t TUnZipper::EntryCount() const { return EntryList ? EntryList->Count() : 0; }

void TUnZipper::ReadCentralDirectory() {
  platform::TStream& first = *ArchiveStream;
  if (auto* file = dynamic_cast<TLFNFileStream*>(&first)) {
    struct stat st;
    ArchiveDate = ::fstat(file->Handle(), &st) == 0 ? DateOfStat(st) : FileModificationDate(FZipName);
  } else {
    ArchiveDate = FileModificationDate(FZipName);
  }
  ReleaseDirectory();
  // Nothing of an earlier read of this name may stay, a loaded comment least of all, nor
  // the mark of a rebuild: a sound file read after a damaged one is read as sound.
  EndRecord.Clear();
  RebuiltFromLocalHeaders = false;

  bool switchedDisk = false;
  if (EndRecord.FindEndRecord(first)) {
    CurrentDisk = EndRecord.ThisDiskNumber;
    if (EndRecord.ThisDiskNumber > 0) {
      const std::string drive = UpperCase(LeftPart(FZipName, 3));
      MultiDiskMode = drive.size() >= 2 && drive[1] == ':' && IsRemovableDrive(drive)
                          ? TMultiDiskMode::RemovableDisks
                          : TMultiDiskMode::Files;
      // The comment lies on the last disk, which is open now and may not be later.
      if (EndRecord.HasArchiveComment()) {
        const int64_t available = first.Size() - EndRecord.ArchiveCommentOffset;
        const int64_t length = std::clamp<int64_t>(available, 0, EndRecord.ArchiveCommentLength);
        std::string text(static_cast<size_t>(length), '\0');
        first.SetPosition(EndRecord.ArchiveCommentOffset);
        text.resize(static_cast<size_t>(std::max<int64_t>(first.Read(text.data(), length), 0)));
        EndRecord.CommentText = std::move(text);
      }
    } else {
      MultiDiskMode = TMultiDiskMode::None;
    }
    if (EndRecord.CentralStartDisk != CurrentDisk) {
      RequestDisk(EndRecord.CentralStartDisk + 1);
      switchedDisk = true;
    }
    platform::TStream& s = *ArchiveStream;
    uint8_t sig[4] = {};
    s.SetPosition(EndRecord.DirectoryOffset);
    const bool emptyDirectoryInPlace =
        EndRecord.TotalEntries == 0 &&
        EndRecord.DirectoryOffset == EndRecord.ArchiveCommentOffset - kEndRecordSize;
    if (s.Read(sig, 4) == 4 && GetU32(sig) == kCentralHeaderSignature) {
      s.Seek(-4, platform::soFromCurrent);
    } else if (emptyDirectoryInPlace) {
      // An empty archive: its directory is right where it should be, it only holds nothing.
      // Scanning the file for local headers would find none, and leave no directory to keep.
    } else {
      bool rebuilt;
      {
        BusyCursor busy;
        rebuilt = RebuildFromLocalHeaders();
      }
      if (!rebuilt) {
        ApplySortMode(SortMode);
        return;
      }
    }
  } else {
    TIncompleteZipMode& mode = IncompleteZipMode;
    if (OnInCompleteZip) OnInCompleteZip(this, mode);
    if (IncompleteZipMode == TIncompleteZipMode::izAssumeMulti) throw EIncompleteZip(kMsgIncompleteZip);
    bool rebuilt;
    {
      BusyCursor busy;
      rebuilt = RebuildFromLocalHeaders();
    }
    if (!rebuilt) {
      ApplySortMode(SortMode);
      return;
    }
  }

  // The central records. A rebuilt directory only takes what they add to its entries; a
  // read one is made of them.
  const bool multiDisk = !RebuiltFromLocalHeaders && MultiDiskMode != TMultiDiskMode::None;
  TNextDiskCallback nextDisk;
  if (multiDisk) {
    nextDisk = [this, &switchedDisk]() -> platform::TStream* {
      // The last disk has nothing after it: a directory that runs past it is damaged.
      if (CurrentDisk >= EndRecord.ThisDiskNumber) return nullptr;
      switchedDisk = true;
      return RequestDisk(CurrentDisk + 2);
    };
  }
  std::vector<std::unique_ptr<TZipHeaderInfo>> read;
  read.reserve(RebuiltFromLocalHeaders ? 0 : EndRecord.TotalEntries);
  // Comments of a multi-disk set are taken now, while their disk is open.
  const bool loadComments = !RebuiltFromLocalHeaders && EndRecord.ThisDiskNumber > 0;
  int64_t position = ArchiveStream->Position();
  for (uint32_t i = 0; i < EndRecord.TotalEntries; ++i) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!entry->ReadCentralHeader(*ArchiveStream, nextDisk, &position, loadComments)) break;
    if (RebuiltFromLocalHeaders) {
      int32_t index;
      if (EntryList->Search(entry.get(), index)) {
        TZipHeaderInfo* found = EntryList->Entry(index);
        const int64_t localOffset = found->LocalHeaderOffset;
        found->Assign(entry.get());
        found->LocalHeaderOffset = localOffset;
      }
      continue;
    }
    read.push_back(std::move(entry));
  }
  if (!RebuiltFromLocalHeaders) {
    auto list = std::make_unique<TSortedZip>(dupError);
    std::vector<TZipHeaderInfo*> entries;
    entries.reserve(read.size());
    for (auto& e : read) entries.push_back(e.get());
    list->AddSorted(entries);  // raises on two records naming the same local header
    for (auto& e : read) e.release();
    EntryList = std::move(list);
  }

  DiskCount = EndRecord.ThisDiskNumber + 1;
  // The disk open now is the one ZipName names; when the directory took us to another disk
  // than the last, that is the one current.
  if (!switchedDisk) CurrentDisk = EndRecord.ThisDiskNumber;
  ApplySortMode(SortMode);
}

bool TUnZipper::RebuildFromLocalHeaders() {
  RebuiltFromLocalHeaders = true;
  ReleaseDirectory();
  platform::TStream& s = *ArchiveStream;

  // Look for "PK", 3, 4. A byte that breaks the sequence may itself start it again.
  s.SetPosition(0);
  static constexpr uint8_t kSig[4] = {'P', 'K', 3, 4};
  std::vector<uint8_t> block(64 * 1024);
  int64_t blockStart = 0;
  int matched = 0;
  int64_t skipped = 0;
  int64_t found = -1;
  while (found < 0) {
    const int64_t got = s.Read(block.data(), static_cast<int64_t>(block.size()));
    if (got <= 0) return false;
    for (int64_t i = 0; i < got; ++i) {
      const uint8_t b = block[static_cast<size_t>(i)];
      if (matched > 0 && b != kSig[matched]) matched = 0;
      if (matched == 0) {
        if (b != 'P') {
          if (++skipped % kScanMessageInterval == 0 && DoProcessMessages) {
            platform::UI().ProcessMessages();
            if (CancelRequested) {
              CancelRequested = false;
              RaiseUserAborted();
            }
          }
          continue;
        }
      }
      if (++matched == 4) {
        found = blockStart + i - 3;
        break;
      }
    }
    blockStart += got;
  }
  s.SetPosition(found);

  std::vector<std::unique_ptr<TZipHeaderInfo>> walked;
  while (walked.size() < kMaxEntries) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!entry->ReadLocalHeader(s)) break;
    // An entry with a data descriptor usually has zero sizes here, so the walk ends at it.
    s.Seek(entry->CompressedSize + entry->ExtraFieldLength +
               (entry->HasDataDescriptor() ? kDataDescriptorSize : 0),
           platform::soFromCurrent);
    walked.push_back(std::move(entry));
  }
  auto list = std::make_unique<TSortedZip>(dupError);
  std::vector<TZipHeaderInfo*> entries;
  entries.reserve(walked.size());
  for (auto& e : walked) entries.push_back(e.get());
  list->AddSorted(entries);
  for (auto& e : walked) e.release();
  EntryList = std::move(list);

  EndRecord.ThisDiskNumber = 0;
  CurrentDisk = 0;
  MultiDiskMode = TMultiDiskMode::None;
  const int64_t reached = s.Position();
  EndRecord.CentralDirectoryOffset = static_cast<uint32_t>(std::min<int64_t>(reached, UINT32_MAX));
  EndRecord.DirectoryOffset = reached;
  EndRecord.TotalEntries = static_cast<uint16_t>(EntryCount());
  DiskCount = 1;
  return true;
}

void TUnZipper::ApplySortMode(TZipSortMode Mode) {
  OwnSortedEntries.reset();
  SortedEntries = nullptr;
  if (Mode == TZipSortMode::ByNone) {
    SortedEntries = EntryList.get();
  } else if (EntryList) {
    auto sorted = std::make_unique<TSortedZip>(dupAccept);
    sorted->SortMode = Mode;
    sorted->SetOwnsItems(false);
    std::vector<TZipHeaderInfo*> entries;
    entries.reserve(static_cast<size_t>(EntryList->Count()));
    for (int32_t i = 0; i < EntryList->Count(); ++i) entries.push_back(EntryList->Entry(i));
    sorted->AddSorted(entries);
    OwnSortedEntries = std::move(sorted);
    SortedEntries = OwnSortedEntries.get();
  }
  SortMode = Mode;
}

// ---- Entries and comments ------------------------------------------------------------------

void TUnZipper::CheckIndex(int32_t Index) const {
  if (Index < 0 || Index >= EntryCount() || !SortedEntries)
    throw platform::EListError(platform::Format("Index %d is out of range", Index));
}

std::string TUnZipper::EntryFileName(int32_t Index) const {
  CheckIndex(Index);
  return SortedEntries->Entry(Index)->FileName;
}

const TZipHeaderInfo& TUnZipper::EntryInfo(int32_t Index) const {
  CheckIndex(Index);
  return *SortedEntries->Entry(Index);
}

namespace {
// Closes the archive when the comment has been read, also when an exception passes.
class CloseOnExit {
public:
  explicit CloseOnExit(TUnZipper& z) : Z(z) {}
  ~CloseOnExit() { Z.CloseArchive(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

private:
  TUnZipper& Z;
};
}  // namespace

std::string TUnZipper::EntryComment(int32_t Index) {
  CheckIndex(Index);
  {
    const TZipHeaderInfo& entry = *SortedEntries->Entry(Index);
    if (entry.FileCommentLength == 0) return {};
    if (entry.FileComment) return *entry.FileComment;
  }
  CloseOnExit close(*this);
  OpenArchive();
  // Opening may have read a changed archive again: look the index up anew.
  CheckIndex(Index);
  TZipHeaderInfo& entry = *SortedEntries->Entry(Index);
  if (entry.FileCommentLength == 0) return {};
  if (entry.FileComment) return *entry.FileComment;
  platform::TStream& s = *ArchiveStream;
  s.SetPosition(entry.CentralHeaderOffset);
  uint8_t record[kCentralHeaderSize];
  std::string text;
  if (s.Read(record, kCentralHeaderSize) == kCentralHeaderSize &&
      GetU32(record) == kCentralHeaderSignature) {
    s.Seek(int64_t{GetU16(record + 28)} + GetU16(record + 30), platform::soFromCurrent);
    const int64_t length = GetU16(record + 32);
    text.resize(static_cast<size_t>(length));
    text.resize(static_cast<size_t>(std::max<int64_t>(s.Read(text.data(), length), 0)));
  }
  const bool changed = EndRecord.CommentChanged;
  SetEntryComment(Index, text);
  EndRecord.CommentChanged = changed;
  return text;
}

void TUnZipper::SetEntryComment(int32_t Index, const std::string& Text) {
  CheckIndex(Index);
  TZipHeaderInfo& entry = *SortedEntries->Entry(Index);
  if (entry.FileComment.value_or(std::string()) == Text) return;
  entry.SetComment(Text.empty() ? std::nullopt : std::optional<std::string>(Text));
  EndRecord.CommentChanged = true;
}

std::string TUnZipper::ArchiveComment() {
  if (EndRecord.ArchiveCommentLength == 0) return {};
  if (EndRecord.CommentText) return *EndRecord.CommentText;
  CloseOnExit close(*this);
  OpenArchive();
  if (EndRecord.ArchiveCommentLength == 0) return {};
  if (EndRecord.CommentText) return *EndRecord.CommentText;
  platform::TStream& s = *ArchiveStream;
  const int64_t available = s.Size() - EndRecord.ArchiveCommentOffset;
  const int64_t length = std::clamp<int64_t>(available, 0, EndRecord.ArchiveCommentLength);
  std::string text(static_cast<size_t>(length), '\0');
  s.SetPosition(EndRecord.ArchiveCommentOffset);
  text.resize(static_cast<size_t>(std::max<int64_t>(s.Read(text.data(), length), 0)));
  const bool changed = EndRecord.CommentChanged;
  SetArchiveComment(text);
  EndRecord.CommentChanged = changed;
  return text;
}

void TUnZipper::SetArchiveComment(const std::string& Text) {
  if (EndRecord.CommentText.value_or(std::string()) == Text) return;
  EndRecord.CommentText = Text.empty() ? std::nullopt : std::optional<std::string>(Text);
  EndRecord.ArchiveCommentLength = static_cast<uint16_t>(std::min<size_t>(Text.size(), 0xFFFF));
  EndRecord.CommentChanged = true;
}

}  // namespace unzip
