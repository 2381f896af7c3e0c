// The directory reader on arbitrary bytes taken as an archive file. The input is the whole
// file; the options come from its size, so seeds stay plain archives: size % 8 is the sort
// mode, bit 3 of the size the incomplete-archive mode (assume a bad archive, and rebuild from
// the local headers), bit 4 whether further disks are offered (the same file, three times at
// most). Every entry's name and comment and the archive comment are read as well, and the
// entries are checked to come in the order of the sort mode.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "UnZipper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzsupport::Sandbox sandbox;
  fuzzsupport::QuietUI ui;
  platform::ScopedUserInterface scoped(ui);
  const std::string zip = sandbox.Root() + "/in.zip";
  fuzzsupport::WriteWhole(zip, data, size);

  unzip::TUnZipper unzipper;
  unzipper.SortMode = static_cast<unzip::TZipSortMode>(size % 8);
  if (size & 8) unzipper.IncompleteZipMode = unzip::TIncompleteZipMode::izAssumeBad;
  int disksGiven = 0;
  if (size & 16)
    unzipper.OnGetNextDisk = [&](unzip::TSender, int32_t, std::string& name) {
      name = ++disksGiven <= 3 ? zip : std::string();
    };
  try {
    unzipper.SetZipName(zip);
    unzipper.ReadDirectory();
    const int32_t count = unzipper.EntryCount();
    REQUIRE(count >= 0);
    for (int32_t i = 0; i < count; ++i) {
      const std::string name = unzipper.EntryFileName(i);
      const unzip::TZipHeaderInfo& info = unzipper.EntryInfo(i);
      REQUIRE(name == info.FileName);
      // Names are split at their last "\\": none is left in the file name. A ":" may stay
      // (it is part of a name), but a drive at the start of the whole name is always split off.
      REQUIRE(info.FileName.find('\\') == std::string::npos);
      REQUIRE(!(info.Directory.empty() && info.FileName.size() >= 2 && info.FileName[1] == ':' &&
                std::isalpha(static_cast<unsigned char>(info.FileName[0]))));
      (void)unzipper.EntryComment(i);
      // The entries come in the order of the sort mode: none goes before the one ahead of it.
      if (i > 0) REQUIRE(unzip::CompareEntries(unzipper.SortMode, unzipper.EntryInfo(i - 1), info) <= 0);
    }
    (void)unzipper.ArchiveComment();
  } catch (const platform::Exception&) {
    // Damaged archives end in the component's own errors; anything else is a finding.
  }
  return 0;
}
