#pragma once
// The run state of TUnZipper: the archive stream, its directory and end record, and what an
// extraction keeps between entries. Private to the component and its tests: programs see
// UnZipper.h only.
#include <cstdint>
#include <memory>

#include "BufferStream.h"
#include "Streams.h"
#include "UnZipper.h"
#include "ZipDirectory.h"

namespace unzip {

struct TUnZipperState {
  // Always a file opened by name (OpenArchiveFile): its handle gives the file's identity, and
  // entry data is read past its buffer (ReadThrough).
  std::unique_ptr<TLFNFileStream> ArchiveStream;
  // All entries in archive order.
  std::unique_ptr<TZipEntries> EntryList;
  // The view that entry indexes refer to: EntryList itself under ByNone, else a view of its
  // own (OwnSortedEntries) on the same entries.
  TZipEntries* SortedEntries = nullptr;
  std::unique_ptr<TZipEntries> OwnSortedEntries;
  TEndCentral EndRecord;
  int32_t CurrentDisk = 0;
  int32_t DiskCount = 1;
  TMultiDiskMode MultiDiskMode = TMultiDiskMode::None;
  bool RebuiltFromLocalHeaders = false;
  // Modification time of the archive file when its directory was read (framework date value
  // of the file's MS-DOS local date-time).
  double ArchiveDate = 0.0;
  // The file the directory was read from; another file or a change reads it again.
  TFileIdentity ArchiveIdentity;
  // Bytes in front of the archive (a self-extractor's stub): added to every offset it gives.
  int64_t ArchiveStart = 0;
  // Set by every directory read.
  TDirectoryDamage DirectoryDamage;

  TZipHeaderInfo CurrentEntry;
  uint8_t LocalHeaderBuffer[kLocalHeaderSize] = {};
  uint32_t RunningCrc = 0;
  uint32_t Keys[3] = {0, 0, 0};
  bool CancelRequested = false;
  int64_t TotalToExtract = 0;
  int64_t TotalExtracted = 0;
  // Set by ExtractEntry when a new password asks for the same entry to be extracted again.
  bool RetryEntry = false;
  TUnZipper::TExtractRun* ActiveRun = nullptr;
};

}  // namespace unzip
