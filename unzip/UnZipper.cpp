#include "UnZipper.h"
#include "UnZipperState.h"

#include <sys/stat.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "BufferStream.h"
#include "Crc32.h"
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

TFileIdentity IdentityOfStat(const struct stat& st) {
  TFileIdentity id;
  id.Device = st.st_dev;
  id.Inode = st.st_ino;
  id.Size = st.st_size;
  id.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return id;
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

TFileIdentity FileIdentityOf(const std::string& name) {
  struct stat st;
  const std::string host = platform::HostPath(name);
  if (host.empty() || ::stat(host.c_str(), &st) != 0) return {};
  return IdentityOfStat(st);
}

// ---- Construction --------------------------------------------------------------------------

TUnZipper::TUnZipper(platform::TObject* /*Owner*/) : S(std::make_unique<TUnZipperState>()) {}

void TUnZipper::Cancel() { S->CancelRequested = true; }

const TEndCentral& TUnZipper::EndCentral() const { return S->EndRecord; }

const TZipHeaderInfo& TUnZipper::CurrentEntryInfo() const { return S->CurrentEntry; }

bool TUnZipper::DirectoryRebuilt() const { return S->RebuiltFromLocalHeaders; }

const TDirectoryDamage& TUnZipper::DirectoryDamageInfo() const { return S->DirectoryDamage; }

TUnZipper::~TUnZipper() { ClearArchive(); }

// ---- Properties ----------------------------------------------------------------------------

void TUnZipper::SetZipName(const std::string& Value) {
  if (Value == FZipName) return;
  // The same name in other letter case keeps the directory only when it is the very file the
  // directory was read from: on this host such names may well be two different archives.
  if (SameTextIgnoringCase(Value, FZipName) && S->EntryList && FileIdentityOf(Value) == S->ArchiveIdentity)
    return;
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
  S->ArchiveDate = 0.0;
  S->ArchiveIdentity = {};
  S->EndRecord.Clear();
  S->ArchiveStream.reset();
  S->RebuiltFromLocalHeaders = false;
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

std::unique_ptr<TLFNFileStream> TUnZipper::OpenArchiveFile(const std::string& name) const {
  return std::make_unique<TLFNFileStream>(name, fmOpenReadDenyWrite);
}

void TUnZipper::ReadDirectory() {
  S->CancelRequested = false;
  OpenArchive();
  CloseArchive();
}

void TUnZipper::ShareDirectory(const TUnZipper& Source) {
  if (&Source == this) return;
  const TUnZipperState& from = *Source.S;
  if (!from.EntryList) {
    SetZipName(Source.FZipName);
    return;
  }
  ClearArchive();
  FZipName = Source.FZipName;
  // A view on a store of this component's own over the same records and names; the sorted
  // view too when it is in the same order.
  const std::shared_ptr<TEntryStore> store = from.EntryList->Entries()->Share();
  S->EntryList = std::make_unique<TZipEntries>(*from.EntryList, store);
  if (from.OwnSortedEntries && from.OwnSortedEntries->SortMode == SortMode) {
    S->OwnSortedEntries = std::make_unique<TZipEntries>(*from.OwnSortedEntries, store);
    S->SortedEntries = S->OwnSortedEntries.get();
  } else {
    ApplySortMode(SortMode);
  }
  S->EndRecord.Assign(&from.EndRecord);
  S->EndRecord.CommentChanged = from.EndRecord.CommentChanged;
  S->CurrentDisk = from.CurrentDisk;
  S->DiskCount = from.DiskCount;
  S->MultiDiskMode = from.MultiDiskMode;
  S->RebuiltFromLocalHeaders = from.RebuiltFromLocalHeaders;
  S->ArchiveDate = from.ArchiveDate;
  S->ArchiveIdentity = from.ArchiveIdentity;
  S->ArchiveStart = from.ArchiveStart;
  S->DirectoryDamage = from.DirectoryDamage;
}

void TUnZipper::OpenArchive() {
  const bool wasOpen = S->ArchiveStream != nullptr;
  if (!wasOpen) S->ArchiveStream = OpenArchiveFile(FZipName);
  if (!S->EntryList) {
    ReadCentralDirectory();
    return;
  }
  // Another file under the name, or the same one changed: a time of 2-second steps would miss
  // a file replaced within the same two seconds.
  if (FileIdentityOf(FZipName) != S->ArchiveIdentity) {
    // A stream kept open still shows the file that was replaced: read the new one.
    if (wasOpen) {
      S->ArchiveStream.reset();
      S->ArchiveStream = OpenArchiveFile(FZipName);
    }
    ReadCentralDirectory();
  }
}

void TUnZipper::CloseArchive() {
  if (!KeepZipOpen) S->ArchiveStream.reset();
}

void TUnZipper::ClearArchive() {
  S->ArchiveStream.reset();
  ReleaseDirectory();
  S->EndRecord.Clear();
  S->RebuiltFromLocalHeaders = false;
  S->ArchiveDate = 0.0;
  S->ArchiveIdentity = {};
  S->DiskCount = 1;
  FZipName.clear();
}

void TUnZipper::ReleaseDirectory() {
  S->OwnSortedEntries.reset();
  S->SortedEntries = nullptr;
  S->EntryList.reset();
}

// ---- Disks ---------------------------------------------------------------------------------

bool TUnZipper::DiskCheckPasses(int32_t DiskNumber) const {
  if (S->MultiDiskMode != TMultiDiskMode::RemovableDisks) return true;
  const std::string label = LeftPart(VolumeLabel(UpperCase(LeftPart(FZipName, 3))), 11);
  return RightPart(label, 3) == platform::Format("%3.3d", DiskNumber);
}

platform::TStream* TUnZipper::RequestDisk(int32_t DiskNumber) {
  S->ArchiveStream.reset();
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
  S->ArchiveStream = OpenArchiveFile(name);
  S->CurrentDisk = DiskNumber - 1;
  S->ArchiveDate = FileModificationDate(name);
  S->ArchiveIdentity = FileIdentityOf(name);
  FZipName = name;
  return S->ArchiveStream.get();
}

// ---- The directory -------------------------------------------------------------------------

int32_t TUnZipper::EntryCount() const { return S->EntryList ? S->EntryList->Count() : 0; }

void TUnZipper::ReadCentralDirectory() {
  TLFNFileStream& first = *S->ArchiveStream;
  struct stat st;
  if (::fstat(first.Handle(), &st) == 0) {
    S->ArchiveDate = DateOfStat(st);
    S->ArchiveIdentity = IdentityOfStat(st);
  } else {
    S->ArchiveDate = FileModificationDate(FZipName);
    S->ArchiveIdentity = FileIdentityOf(FZipName);
  }
  ReleaseDirectory();
  // Nothing of an earlier read of this name may stay, a loaded comment least of all, nor
  // the mark of a rebuild: a sound file read after a damaged one is read as sound.
  S->EndRecord.Clear();
  S->RebuiltFromLocalHeaders = false;
  S->DirectoryDamage = {};
  S->ArchiveStart = 0;

  bool switchedDisk = false;
  if (S->EndRecord.FindEndRecord(first)) {
    S->CurrentDisk = S->EndRecord.ThisDiskNumber;
    if (S->EndRecord.ThisDiskNumber > 0) {
      const std::string drive = UpperCase(LeftPart(FZipName, 3));
      S->MultiDiskMode = drive.size() >= 2 && drive[1] == ':' && IsRemovableDrive(drive)
                          ? TMultiDiskMode::RemovableDisks
                          : TMultiDiskMode::Files;
      // The comment lies on the last disk, which is open now and may not be later.
      if (S->EndRecord.HasArchiveComment()) {
        const int64_t available = first.Size() - S->EndRecord.ArchiveCommentOffset;
        const int64_t length = std::clamp<int64_t>(available, 0, S->EndRecord.ArchiveCommentLength);
        std::string text(static_cast<size_t>(length), '\0');
        first.SetPosition(S->EndRecord.ArchiveCommentOffset);
        text.resize(static_cast<size_t>(std::max<int64_t>(first.Read(text.data(), length), 0)));
        S->EndRecord.CommentText = std::move(text);
      }
    } else {
      S->MultiDiskMode = TMultiDiskMode::None;
    }
    if (S->EndRecord.CentralStartDisk != S->CurrentDisk) {
      RequestDisk(S->EndRecord.CentralStartDisk + 1);
      switchedDisk = true;
    }
    platform::TStream& s = *S->ArchiveStream;
    auto directoryAt = [&s](int64_t at) {
      uint8_t sig[4] = {};
      if (at < 0) return false;
      s.SetPosition(at);
      return s.Read(sig, 4) == 4 && GetU32(sig) == kCentralHeaderSignature;
    };
    // The directory ends where the end record (or the Zip64 end record) begins. Where that
    // is not where the archive says it starts, bytes were put in front of the archive (a
    // self-extractor's stub, a script before a jar, another archive): every offset it gives
    // is short by their length. That place is tried first, so that an archive in front
    // cannot stand in for the one that ends the file.
    const int64_t declaredAt = S->EndRecord.DirectoryOffset;
    const int64_t startsAt = S->EndRecord.DirectoryEnd - S->EndRecord.DirectorySize;
    bool found = false;
    if (S->EndRecord.ThisDiskNumber == 0 && !switchedDisk && startsAt != declaredAt && directoryAt(startsAt)) {
      // Unless only the directory's offset is wrong: the first record's local header is
      // where the record says, not moved with the directory.
      uint8_t record[kCentralHeaderSize] = {};
      s.SetPosition(startsAt);
      S->ArchiveStart = startsAt - declaredAt;
      if (s.Read(record, kCentralHeaderSize) == kCentralHeaderSize && GetU32(record + 42) != 0xFFFFFFFFu) {
        const int64_t local = GetU32(record + 42);
        const auto localHeaderAt = [&s](int64_t at) {
          uint8_t sig[4] = {};
          if (at < 0) return false;
          s.SetPosition(at);
          return s.Read(sig, 4) == 4 && GetU32(sig) == kLocalHeaderSignature;
        };
        if (!localHeaderAt(local + S->ArchiveStart) && localHeaderAt(local)) S->ArchiveStart = 0;
      }
      S->EndRecord.DirectoryOffset = startsAt;
      found = true;
    } else {
      found = directoryAt(declaredAt);
    }
    const bool emptyDirectoryInPlace =
        S->EndRecord.EntryTotal == 0 &&
        (S->EndRecord.DirectoryOffset == S->EndRecord.DirectoryEnd || S->EndRecord.DirectorySize == 0);
    if (found) {
      s.SetPosition(S->EndRecord.DirectoryOffset);
    } else if (emptyDirectoryInPlace) {
      // An empty archive: its directory is right where it should be, it only holds nothing.
      // Scanning the file for local headers would find none, and leave no directory to keep.
    } else {
      // Declared entries that are not where the end record says: a damaged archive, whatever
      // the local headers give back.
      if (S->EndRecord.EntryTotal > 0) {
        S->DirectoryDamage.Damaged = true;
        S->DirectoryDamage.FirstBadRecord = 0;
        S->DirectoryDamage.FirstBadOffset = declaredAt;
        S->DirectoryDamage.Declared = S->EndRecord.EntryTotal;
      }
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
  const bool multiDisk = !S->RebuiltFromLocalHeaders && S->MultiDiskMode != TMultiDiskMode::None;
  TNextDiskCallback nextDisk;
  if (multiDisk) {
    nextDisk = [this, &switchedDisk]() -> platform::TStream* {
      // The last disk has nothing after it: a directory that runs past it is damaged.
      if (S->CurrentDisk >= S->EndRecord.ThisDiskNumber) return nullptr;
      switchedDisk = true;
      return RequestDisk(S->CurrentDisk + 2);
    };
  }
  // Each record is read into one working entry and kept compactly in the store: no object
  // per entry.
  auto store = std::make_shared<TEntryStore>();
  const uint32_t declared = S->EndRecord.EntryTotal;
  // A count that lies is not believed further than the directory (and the file) could hold
  // records.
  if (!S->RebuiltFromLocalHeaders) {
    const int64_t room = std::min(S->ArchiveStream->Size(), std::max<int64_t>(S->EndRecord.DirectorySize, 0));
    store->Reserve(static_cast<size_t>(std::min<int64_t>(
                       {int64_t{declared}, S->ArchiveStream->Size() / kCentralHeaderSize + 1,
                        S->EndRecord.DirectorySize / kCentralHeaderSize + 1})),
                   static_cast<size_t>(std::max<int64_t>(room - int64_t{declared} * kCentralHeaderSize, 0)));
  }
  // Comments of a multi-disk set are taken now, while their disk is open.
  const bool loadComments = !S->RebuiltFromLocalHeaders && S->EndRecord.ThisDiskNumber > 0;
  int64_t position = S->ArchiveStream->Position();
  int64_t merged = 0;
  // Writers that count in 16 bits without a Zip64 end record declare the count modulo 65,536:
  // records that follow within the directory's size on a single disk are read as well.
  const int64_t directoryEnd = S->EndRecord.DirectoryOffset + S->EndRecord.DirectorySize;
  const bool readOn = !S->RebuiltFromLocalHeaders && S->MultiDiskMode == TMultiDiskMode::None;
  TZipHeaderInfo entry, found;
  for (uint32_t i = 0; i < declared || (readOn && i < UINT32_MAX && position < directoryEnd); ++i) {
    if (!entry.ReadCentralHeader(*S->ArchiveStream, nextDisk, &position, loadComments)) {
      if (!S->RebuiltFromLocalHeaders && i < declared) {
        S->DirectoryDamage.Damaged = true;
        S->DirectoryDamage.FirstBadRecord = i;
        S->DirectoryDamage.FirstBadOffset = position;
        S->DirectoryDamage.Declared = declared;
      }
      break;
    }
    if (S->RebuiltFromLocalHeaders) {
      const int32_t index = S->EntryList->FindByPosition(entry.DiskNumberStart, entry.LocalHeaderOffset);
      if (index >= 0) {
        S->EntryList->Load(index, found);
        const int64_t localOffset = found.LocalHeaderOffset;
        found.Assign(&entry);
        found.LocalHeaderOffset = localOffset;
        S->EntryList->Entries()->Replace(S->EntryList->StoreIndex(index), found);
        ++merged;
      }
      continue;
    }
    if (S->ArchiveStart != 0) entry.LocalHeaderOffset += S->ArchiveStart;
    store->Append(entry);
  }
  if (S->RebuiltFromLocalHeaders) {
    S->DirectoryDamage.Read = merged;
    S->DirectoryDamage.Recovered = EntryCount() - merged;
  } else {
    S->DirectoryDamage.Read = static_cast<int64_t>(store->Count());
    if (S->DirectoryDamage.Damaged && S->MultiDiskMode == TMultiDiskMode::None) {
      // The entries whose records were lost still have their local headers: walk them, and
      // take every one that no record read names.
      std::vector<std::pair<int64_t, uint32_t>> byOffset;
      byOffset.reserve(store->Count());
      for (uint32_t k = 0; k < store->Count(); ++k) byOffset.emplace_back(store->LocalHeaderOffset(k), k);
      std::sort(byOffset.begin(), byOffset.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      const auto known = [&byOffset, &store, &found](int64_t at) -> const TZipHeaderInfo* {
        auto it = std::lower_bound(byOffset.begin(), byOffset.end(), at,
                                   [](const auto& a, int64_t v) { return a.first < v; });
        if (it == byOffset.end() || it->first != at) return nullptr;
        store->Load(it->second, found);
        return &found;
      };
      const int64_t from = FindLocalHeader(std::max<int64_t>(S->ArchiveStart, 0));
      if (from >= 0) {
        BusyCursor busy;
        std::vector<std::unique_ptr<TZipHeaderInfo>> walked;
        WalkLocalHeaders(from, known, walked);
        S->DirectoryDamage.Recovered = static_cast<int64_t>(walked.size());
        for (auto& e : walked) store->Append(*e);
      }
    }
    // Raises on two records naming the same local header.
    S->EntryList = std::make_unique<TZipEntries>(std::move(store), TZipSortMode::ByNone, dupError);
  }

  S->DiskCount = S->EndRecord.ThisDiskNumber + 1;
  // The disk open now is the one ZipName names; when the directory took us to another disk
  // than the last, that is the one current.
  if (!switchedDisk) S->CurrentDisk = S->EndRecord.ThisDiskNumber;
  ApplySortMode(SortMode);
}

void TUnZipper::PollDuringScan() {
  if (!DoProcessMessages) return;
  platform::UI().ProcessMessages();
  if (S->CancelRequested) {
    S->CancelRequested = false;
    RaiseUserAborted();
  }
}

int64_t TUnZipper::FindLocalHeader(int64_t from) {
  // Look for "PK", 3, 4. A byte that breaks the sequence may itself start it again.
  platform::TStream& s = *S->ArchiveStream;
  s.SetPosition(from);
  static constexpr uint8_t kSig[4] = {'P', 'K', 3, 4};
  std::vector<uint8_t> block(64 * 1024);
  int64_t blockStart = from;
  int matched = 0;
  int64_t skipped = 0;
  for (;;) {
    const int64_t got = s.Read(block.data(), static_cast<int64_t>(block.size()));
    if (got <= 0) return -1;
    for (int64_t i = 0; i < got; ++i) {
      const uint8_t b = block[static_cast<size_t>(i)];
      if (matched > 0 && b != kSig[matched]) matched = 0;
      if (matched == 0) {
        if (b != 'P') {
          if (++skipped % kScanMessageInterval == 0) PollDuringScan();
          continue;
        }
      }
      if (++matched == 4) return blockStart + i - 3;
    }
    blockStart += got;
  }
}

namespace {

bool IsRecordSignature(uint32_t v) {
  return v == kLocalHeaderSignature || v == kCentralHeaderSignature || v == kEndRecordSignature ||
         v == kZip64EndRecordSignature;
}

uint64_t GetU64(const uint8_t* p) { return GetU32(p) | (static_cast<uint64_t>(GetU32(p + 4)) << 32); }

// The length of the data descriptor at `b` (of which `have` bytes are there) when it agrees
// with the given CRC and sizes (a negative value agrees with anything), else 0. 8-byte sizes
// are tried first for a Zip64 entry.
int DescriptorLength(const uint8_t* b, int64_t have, bool zip64, int64_t crc, int64_t compressed,
                     int64_t uncompressed) {
  for (const bool signature : {true, false}) {
    for (const bool wide : {zip64, !zip64}) {
      const int at = signature ? 4 : 0;
      const int length = at + (wide ? 20 : 12);
      if (have < length || (signature && GetU32(b) != kDataDescriptorSignature)) continue;
      const int64_t c = wide ? static_cast<int64_t>(GetU64(b + at + 4)) : GetU32(b + at + 4);
      const int64_t u = wide ? static_cast<int64_t>(GetU64(b + at + 12)) : GetU32(b + at + 8);
      if ((crc < 0 || GetU32(b + at) == crc) && c == compressed && (uncompressed < 0 || u == uncompressed))
        return length;
    }
  }
  return 0;
}

}  // namespace

bool TUnZipper::FindDataEnd(TZipHeaderInfo& e, int64_t dataStart, bool zip64, int64_t& next) {
  platform::TStream& s = *S->ArchiveStream;
  constexpr size_t kBlock = 64 * 1024;
  constexpr int64_t kLookahead = 32;  // a whole descriptor and the signature after it
  s.SetPosition(dataStart);

  if (e.CompressionMethod == 8 && !e.IsEncrypted()) {
    // Deflate data says itself where it ends: decode it to the end of the stream.
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    std::vector<uint8_t> in(kBlock), out(kBlock);
    uint32_t reg = 0xFFFFFFFFu;
    int rc = Z_OK;
    while (rc == Z_OK) {
      if (z.avail_in == 0) {
        const int64_t got = s.Read(in.data(), static_cast<int64_t>(kBlock));
        if (got <= 0) break;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(got);
        try {
          PollDuringScan();
        } catch (...) {
          inflateEnd(&z);
          throw;
        }
      }
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(kBlock);
      rc = inflate(&z, Z_NO_FLUSH);
      reg = UpdateCrc(reg, out.data(), kBlock - z.avail_out);
    }
    const auto compressed = static_cast<int64_t>(z.total_in);
    const auto uncompressed = static_cast<int64_t>(z.total_out);
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return false;
    const uint32_t crc = ~reg;
    uint8_t d[24] = {};
    s.SetPosition(dataStart + compressed);
    const int64_t have = std::max<int64_t>(s.Read(d, sizeof d), 0);
    // The descriptor that agrees is passed over; one that does not is still a descriptor
    // (the data said where it ends) and its length guessed from its signature.
    int length = DescriptorLength(d, have, zip64, crc, compressed & (zip64 ? -1 : 0xFFFFFFFFLL),
                                  uncompressed & (zip64 ? -1 : 0xFFFFFFFFLL));
    if (length == 0) length = (have >= 4 && GetU32(d) == kDataDescriptorSignature ? 4 : 0) + (zip64 ? 20 : 12);
    e.Crc32 = crc;
    e.CompressedSize = compressed;
    e.UncompressedSize = uncompressed;
    next = dataStart + compressed + length;
    return true;
  }

  // Other methods: the first descriptor whose compressed size is the distance from the data's
  // start, and whose CRC agrees with those bytes (stored data), or that is followed by the
  // next record (data whose CRC cannot be worked out here).
  const bool plainStored = e.CompressionMethod == 0 && !e.IsEncrypted();
  std::vector<uint8_t> buf;
  int64_t bufStart = dataStart;
  bool atEnd = false;
  uint32_t reg = 0xFFFFFFFFu;
  int64_t crcAt = dataStart;
  const auto crcUpTo = [&](int64_t to) {
    reg = UpdateCrc(reg, buf.data() + (crcAt - bufStart), static_cast<size_t>(to - crcAt));
    crcAt = to;
  };
  for (int64_t p = dataStart;; ++p) {
    if (!atEnd && p + kLookahead > bufStart + static_cast<int64_t>(buf.size())) {
      crcUpTo(p);
      buf.erase(buf.begin(), buf.begin() + (p - bufStart));
      bufStart = p;
      const size_t old = buf.size();
      buf.resize(old + kBlock);
      const int64_t got = std::max<int64_t>(s.Read(buf.data() + old, static_cast<int64_t>(kBlock)), 0);
      buf.resize(old + static_cast<size_t>(got));
      atEnd = got < static_cast<int64_t>(kBlock);
      PollDuringScan();
    }
    const int64_t have = bufStart + static_cast<int64_t>(buf.size()) - p;
    if (have < 12) return false;
    const uint8_t* b = buf.data() + (p - bufStart);
    const int64_t compressed = p - dataStart;
    int length = DescriptorLength(b, have, zip64, -1, compressed, -1);
    if (length == 0) continue;
    const int at = length == 16 || length == 24 ? 4 : 0;
    const uint32_t crc = GetU32(b + at);
    const int64_t uncompressed = length - at == 20 ? static_cast<int64_t>(GetU64(b + at + 12)) : GetU32(b + at + 8);
    bool agrees;
    if (plainStored) {
      crcUpTo(p);
      agrees = uncompressed == compressed && ~reg == crc;
    } else {
      const bool followed = have - length < 4 ? atEnd && have == length
                                              : IsRecordSignature(GetU32(b + length));
      agrees = followed && (e.CompressionMethod != 0 || uncompressed == compressed - 12);
    }
    if (!agrees) continue;
    e.Crc32 = crc;
    e.CompressedSize = compressed;
    e.UncompressedSize = uncompressed;
    next = p + length;
    return true;
  }
}

int64_t TUnZipper::WalkLocalHeaders(int64_t from, const std::function<const TZipHeaderInfo*(int64_t)>& known,
                                    std::vector<std::unique_ptr<TZipHeaderInfo>>& walked) {
  platform::TStream& s = *S->ArchiveStream;
  int64_t at = from;
  for (;;) {
    s.SetPosition(at);
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!entry->ReadLocalHeader(s)) break;
    std::string extra(entry->ExtraFieldLength, '\0');
    if (!extra.empty() && s.Read(extra.data(), static_cast<int64_t>(extra.size())) != static_cast<int64_t>(extra.size()))
      break;
    const bool zip64 = entry->ApplyLocalExtraField(extra);
    const int64_t dataStart = s.Position();
    int64_t next = dataStart + entry->CompressedSize;
    if (const TZipHeaderInfo* k = known ? known(at) : nullptr) {
      // The directory's record gives the sizes; only a descriptor's length is left to see.
      next = dataStart + k->CompressedSize;
      if (entry->HasDataDescriptor()) {
        uint8_t d[28] = {};
        s.SetPosition(next);
        const int64_t have = std::max<int64_t>(s.Read(d, sizeof d), 0);
        const bool wide = zip64 || k->CompressedSize >= 0xFFFFFFFFLL || k->UncompressedSize >= 0xFFFFFFFFLL;
        int length = DescriptorLength(d, have, wide, k->Crc32, k->CompressedSize & (wide ? -1 : 0xFFFFFFFFLL),
                                      k->UncompressedSize & (wide ? -1 : 0xFFFFFFFFLL));
        if (length == 0) length = (have >= 4 && GetU32(d) == kDataDescriptorSignature ? 4 : 0) + (wide ? 20 : 12);
        next += length;
      }
      at = next;
      continue;
    }
    if (entry->HasDataDescriptor() && !FindDataEnd(*entry, dataStart, zip64, next)) {
      // Where its data ends is unknown: the entry is kept (it may still list), the walk ends.
      walked.push_back(std::move(entry));
      break;
    }
    walked.push_back(std::move(entry));
    at = next;
  }
  return at;
}

bool TUnZipper::RebuildFromLocalHeaders() {
  S->RebuiltFromLocalHeaders = true;
  ReleaseDirectory();
  const int64_t found = FindLocalHeader(0);
  if (found < 0) return false;

  std::vector<std::unique_ptr<TZipHeaderInfo>> walked;
  const int64_t reached = WalkLocalHeaders(found, {}, walked);
  auto store = std::make_shared<TEntryStore>();
  store->Reserve(walked.size(), 0);
  for (auto& e : walked) {
    store->Append(*e);
    e.reset();
  }
  S->EntryList = std::make_unique<TZipEntries>(std::move(store), TZipSortMode::ByNone, dupError);

  S->EndRecord.ThisDiskNumber = 0;
  S->CurrentDisk = 0;
  S->MultiDiskMode = TMultiDiskMode::None;
  S->EndRecord.CentralDirectoryOffset = static_cast<uint32_t>(std::min<int64_t>(reached, UINT32_MAX));
  S->EndRecord.DirectoryOffset = reached;
  S->EndRecord.TotalEntries = static_cast<uint16_t>(std::min(EntryCount(), 0xFFFF));
  S->EndRecord.EntryTotal = static_cast<uint32_t>(EntryCount());
  S->ArchiveStream->SetPosition(reached);
  S->DiskCount = 1;
  return true;
}

void TUnZipper::ApplySortMode(TZipSortMode Mode) {
  S->OwnSortedEntries.reset();
  S->SortedEntries = nullptr;
  if (Mode == TZipSortMode::ByNone) {
    S->SortedEntries = S->EntryList.get();
  } else if (S->EntryList) {
    S->OwnSortedEntries = std::make_unique<TZipEntries>(*S->EntryList, Mode, dupAccept);
    S->SortedEntries = S->OwnSortedEntries.get();
  }
  SortMode = Mode;
}

// ---- Entries and comments ------------------------------------------------------------------

void TUnZipper::CheckIndex(int32_t Index) const {
  if (Index < 0 || Index >= EntryCount() || !S->SortedEntries)
    throw platform::EListError(platform::Format("Index %d is out of range", Index));
}

std::string TUnZipper::EntryFileName(int32_t Index) const {
  CheckIndex(Index);
  return S->SortedEntries->Entry(Index)->FileName;
}

std::pair<std::string_view, std::string_view> TUnZipper::EntryNames(int32_t Index) const {
  CheckIndex(Index);
  const TEntryStore& store = *S->SortedEntries->Entries();
  const uint32_t at = S->SortedEntries->StoreIndex(Index);
  const std::string_view full = store.FullName(at);
  const size_t split = store.DirectoryLength(at);
  return {full.substr(0, split), full.substr(split)};
}

int64_t TUnZipper::EntryCompressedSize(int32_t Index) const {
  CheckIndex(Index);
  return S->SortedEntries->Entries()->CompressedSize(S->SortedEntries->StoreIndex(Index));
}

const TZipHeaderInfo& TUnZipper::EntryInfo(int32_t Index) const {
  CheckIndex(Index);
  return *S->SortedEntries->Entry(Index);
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
    const TZipHeaderInfo& entry = *S->SortedEntries->Entry(Index);
    if (entry.FileCommentLength == 0) return {};
    if (entry.FileComment) return *entry.FileComment;
  }
  CloseOnExit close(*this);
  OpenArchive();
  // Opening may have read a changed archive again: look the index up anew.
  CheckIndex(Index);
  const TZipHeaderInfo& entry = *S->SortedEntries->Entry(Index);
  if (entry.FileCommentLength == 0) return {};
  if (entry.FileComment) return *entry.FileComment;
  platform::TStream& s = *S->ArchiveStream;
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
  const bool changed = S->EndRecord.CommentChanged;
  SetEntryComment(Index, text);
  S->EndRecord.CommentChanged = changed;
  return text;
}

void TUnZipper::SetEntryComment(int32_t Index, const std::string& Text) {
  CheckIndex(Index);
  const TZipHeaderInfo& entry = *S->SortedEntries->Entry(Index);
  if (entry.FileComment.value_or(std::string()) == Text) return;
  S->SortedEntries->SetComment(Index, Text.empty() ? std::nullopt : std::optional<std::string>(Text));
  S->EndRecord.CommentChanged = true;
}

std::string TUnZipper::ArchiveComment() {
  if (S->EndRecord.ArchiveCommentLength == 0) return {};
  if (S->EndRecord.CommentText) return *S->EndRecord.CommentText;
  CloseOnExit close(*this);
  OpenArchive();
  if (S->EndRecord.ArchiveCommentLength == 0) return {};
  if (S->EndRecord.CommentText) return *S->EndRecord.CommentText;
  platform::TStream& s = *S->ArchiveStream;
  const int64_t available = s.Size() - S->EndRecord.ArchiveCommentOffset;
  const int64_t length = std::clamp<int64_t>(available, 0, S->EndRecord.ArchiveCommentLength);
  std::string text(static_cast<size_t>(length), '\0');
  s.SetPosition(S->EndRecord.ArchiveCommentOffset);
  text.resize(static_cast<size_t>(std::max<int64_t>(s.Read(text.data(), length), 0)));
  const bool changed = S->EndRecord.CommentChanged;
  SetArchiveComment(text);
  S->EndRecord.CommentChanged = changed;
  return text;
}

void TUnZipper::SetArchiveComment(const std::string& Text) {
  if (S->EndRecord.CommentText.value_or(std::string()) == Text) return;
  S->EndRecord.CommentText = Text.empty() ? std::nullopt : std::optional<std::string>(Text);
  S->EndRecord.ArchiveCommentLength = static_cast<uint16_t>(std::min<size_t>(Text.size(), 0xFFFF));
  S->EndRecord.CommentChanged = true;
}

}  // namespace unzip
