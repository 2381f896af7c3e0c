#pragma once
// An extraction host that lives in memory, for decoder tests, benchmarks and fuzzers: the
// archive is a list of byte buffers (one per disk), the output file a byte vector. It records
// every write size and every event in order, so tests can compare whole event sequences.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ExtractState.h"
#include "UnzipErrors.h"

namespace unzip::testing {

class TMemoryExtractHost : public TExtractHost {
public:
  // Each event as a line: "refill", "write 16000", "file 42", "total 7", "disk 2", "skip".
  std::vector<std::string> Events;
  std::vector<int64_t> WriteSizes;
  std::vector<uint8_t> Output;

  std::vector<std::vector<uint8_t>> Disks{{}};  // Disks[0] is the first disk
  size_t CurrentDisk = 0;
  size_t Position = 0;

  bool DoProcessMessages = true;
  bool CancelRequested = false;
  bool MultiDisk = false;           // ThisDiskNumber above 0
  bool NextDiskHandler = false;     // OnGetNextDisk assigned
  bool GiveNoStream = false;        // RequestDisk yields no stream
  bool FileEventAssigned = true;
  bool TotalEventAssigned = true;
  bool RecordEvents = true;         // benchmarks switch the log off
  int64_t WriteLimit = -1;          // >= 0: the output "disk" takes at most this many bytes
  int Refills = 0;
  int EntriesSkipped = 0;
  std::function<void()> OnProcessMessages;  // runs inside message processing (may set cancel)

  explicit TMemoryExtractHost(std::vector<uint8_t> archive = {}) { Disks[0] = std::move(archive); }

  const std::vector<uint8_t>& Disk() const { return Disks[CurrentDisk]; }

  bool ProcessMessagesAndCheckCancel() override {
    ++Refills;
    if (RecordEvents) Events.push_back("refill");
    if (!DoProcessMessages) return false;
    if (OnProcessMessages) OnProcessMessages();
    if (!CancelRequested) return false;
    CancelRequested = false;
    return true;
  }
  int64_t ReadArchive(uint8_t* buffer, int64_t count) override {
    const auto& d = Disk();
    size_t n = std::min<size_t>(static_cast<size_t>(count), d.size() - std::min(Position, d.size()));
    if (n) std::memcpy(buffer, d.data() + Position, n);
    Position += n;
    return static_cast<int64_t>(n);
  }
  void SkipArchive(int64_t count) override { Position += static_cast<size_t>(count); }
  bool CanRequestNextDisk() override { return MultiDisk && NextDiskHandler; }
  bool RequestNextDisk() override {
    if (GiveNoStream || CurrentDisk + 1 >= Disks.size()) return false;
    ++CurrentDisk;
    Position = 0;
    if (RecordEvents) Events.push_back("disk " + std::to_string(CurrentDisk + 1));
    return true;
  }
  int64_t WriteOutput(const uint8_t* buffer, int64_t count) override {
    int64_t n = count;
    if (WriteLimit >= 0) n = std::min<int64_t>(count, WriteLimit - static_cast<int64_t>(Output.size()));
    if (n < 0) n = 0;
    Output.insert(Output.end(), buffer, buffer + n);
    if (RecordEvents) {
      WriteSizes.push_back(count);
      Events.push_back("write " + std::to_string(count));
    }
    return n;
  }
  std::string OutputName() override { return "memory:output.bin"; }
  bool FilePercentDoneAssigned() override { return FileEventAssigned; }
  void FilePercentDone(int percent) override {
    if (RecordEvents) Events.push_back("file " + std::to_string(percent));
  }
  bool TotalPercentDoneAssigned() override { return TotalEventAssigned; }
  void TotalPercentDone(int percent) override {
    if (RecordEvents) Events.push_back("total " + std::to_string(percent));
  }
  void EntrySkipped() override {
    ++EntriesSkipped;
    if (RecordEvents) Events.push_back("skip");
  }
};

// Prepares a state for one entry of the host's archive starting at its current position.
inline void BeginMemoryEntry(TExtractState& state, int64_t compressedSize,
                             int64_t uncompressedSize, uint16_t flags = 0) {
  state.SetEntry(flags, compressedSize, uncompressedSize);
  state.BeginDecoding();
}

}  // namespace unzip::testing
