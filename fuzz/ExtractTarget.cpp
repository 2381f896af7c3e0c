// A whole extraction of arbitrary bytes into a fresh directory. Input layout:
//
//   byte 0   bit 0 RecreateDirs; bits 1-2 overwrite mode (0 Prompt with the message box,
//            1 Always, 2 Never, 3 Prompt through an OnPromptForOverwrite handler); bits 3-4
//            the password ("", "secret", "legacy", "test"); bit 5 questions are answered Yes;
//            bit 6 DoAll (else the masks "*" and "*\*"); bit 7 RetainAttributes
//   byte 1   bit 0 a file "keep" already exists in the destination; bit 1 KeepZipOpen;
//            bit 2 sort by name; bit 3 links are not made (CreateLinks false)
//   rest     the archive file
//
// Checked besides crashes, leaks and hangs: nothing is created outside the destination
// (it sits nine levels below the sandbox, so a climb out by ".." is seen too); a file that
// must not be replaced keeps its content; every entry reported extracted is on disk with the
// entry's CRC and no more than its declared size (a link: its target, which leads to a place
// inside the destination).
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "FileNames.h"
#include "FuzzSupport.h"
#include "UnZipper.h"

namespace fs = std::filesystem;

namespace {

const char* const kPasswords[4] = {"", "secret", "legacy", "test"};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// True when `path` is `dir` or lies below it (both lexically normal, absolute).
bool Within(const fs::path& path, const fs::path& dir) {
  auto p = path.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++p)
    if (p == path.end() || *p != *d) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static fuzzsupport::Sandbox sandbox;
  const uint8_t options = data[0], more = data[1];

  const fs::path run = fs::path(sandbox.Root()) / "run";
  const fs::path dest = run / "1/2/3/4/5/6/7/8/dest";
  fs::remove_all(run);
  fs::create_directories(dest);
  const std::string zip = (run / "in.zip").string();
  fuzzsupport::WriteWhole(zip, data + 2, size - 2);
  const bool hasKeep = more & 1;
  if (hasKeep) fuzzsupport::WriteWhole((dest / "keep").string(), reinterpret_cast<const uint8_t*>("keep"), 4);

  fuzzsupport::QuietUI ui;
  ui.AnswerYes = options & 0x20;
  platform::ScopedUserInterface scoped(ui);

  unzip::TUnZipper unzipper;
  unzipper.RecreateDirs = options & 1;
  const unsigned mode = (options >> 1) & 3;
  unzipper.OverwriteMode = mode == 3 ? unzip::TUZOverwriteMode::Prompt
                                     : static_cast<unzip::TUZOverwriteMode>(mode);
  if (mode == 3)
    unzipper.OnPromptForOverwrite = [&](unzip::TSender, bool& overwrite, int32_t, std::string&) {
      overwrite = ui.AnswerYes;
    };
  unzipper.Password = kPasswords[(options >> 3) & 3];
  unzipper.DoAll = options & 0x40;
  if (!unzipper.DoAll) unzipper.FilesList = {"*", "*\\*"};
  unzipper.RetainAttributes = options & 0x80;
  unzipper.KeepZipOpen = more & 2;
  if (more & 4) unzipper.SortMode = unzip::TZipSortMode::ByName;
  unzipper.CreateLinks = !(more & 8);
  // A wrong password is answered with the others in turn, twice at most per run.
  int offered = 0;
  unzipper.OnBadPassword = [&](unzip::TSender, int32_t, std::string& password) {
    if (offered < 2) password = kPasswords[1 + (offered++ + ((options >> 3) & 3)) % 3];
  };
  struct Done {
    int32_t Index;
    std::string Name;
  };
  std::vector<Done> done;
  // Each entry reported extracted is checked at once (a later entry of the same name may
  // replace it): on disk, inside the destination, with its CRC and at most its declared size.
  unzipper.OnEndUnZip = [&](unzip::TSender, int32_t index, const std::string& name) {
    done.push_back({index, name});
    const unzip::TZipHeaderInfo& info = unzipper.EntryInfo(index);
    const std::string host = platform::HostPath(name);
    REQUIRE(Within(fs::path(host).lexically_normal(), dest));
    std::string content;
    if (fs::is_symlink(host)) {
      const fs::path target = fs::read_symlink(host);
      REQUIRE(target.is_relative() && Within((fs::path(host).parent_path() / target).lexically_normal(), dest));
      content = target.string();
    } else {
      content = ReadAll(host);
    }
    REQUIRE(static_cast<int64_t>(content.size()) <= info.UncompressedSize);
    // AE-2 stores no CRC: its authentication code proved the data instead.
    if (!(info.IsAesEncrypted() && info.Extra.AesVersion == 2))
      REQUIRE(crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())) ==
              info.Crc32);
  };

  try {
    unzipper.SetZipName(zip);
    unzipper.ReadDirectory();
    // Unreduce and explode write their declared size whatever the data (an open finding, see
    // docs/fuzzing.md): an entry of theirs declaring gigabytes would only time out here.
    for (int32_t i = 0; i < unzipper.EntryCount(); ++i) {
      const unzip::TZipHeaderInfo& info = unzipper.EntryInfo(i);
      if (info.CompressionMethod >= 2 && info.CompressionMethod <= 6 && info.UncompressedSize > (1 << 20))
        return 0;
    }
    unzipper.SetDestDir(dest.string());
    const int32_t count = unzipper.ExtractFiles();
    REQUIRE(count <= unzipper.EntryCount());
  } catch (const platform::Exception&) {
    // Damaged archives end in the component's own errors; anything else is a finding.
  }

  // Nothing outside the destination: the sandbox holds only the path down to it and the
  // archive itself.
  for (auto it = fs::recursive_directory_iterator(run); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path p = it->path();
    if (p == run / "in.zip" || Within(p, dest)) continue;
    REQUIRE(it->is_directory() && Within(dest, p));
  }
  for (auto it = fs::recursive_directory_iterator(sandbox.Root() + "/wine");
       it != fs::recursive_directory_iterator(); ++it)
    REQUIRE(it->path() == fs::path(sandbox.Root() + "/wine/drive_c"));
  // What is left in the destination is what was reported extracted (and "keep"): no
  // temporary or partial file of a failed entry stays behind.
  std::vector<fs::path> reported;
  for (const Done& d : done) reported.push_back(fs::path(platform::HostPath(d.Name)).lexically_normal());
  for (auto it = fs::recursive_directory_iterator(dest); it != fs::recursive_directory_iterator(); ++it) {
    if ((it->is_directory() && !it->is_symlink()) || (hasKeep && it->path() == dest / "keep")) continue;
    const bool wasReported =
        std::find(reported.begin(), reported.end(), it->path().lexically_normal()) != reported.end();
    if (!wasReported) std::fprintf(stderr, "left in the destination, not reported: %s\n", it->path().c_str());
    REQUIRE(wasReported);
  }
  // A file that was not to be replaced keeps its content.
  const bool mayReplace = unzipper.OverwriteMode == unzip::TUZOverwriteMode::Always ||
                          (unzipper.OverwriteMode == unzip::TUZOverwriteMode::Prompt && ui.AnswerYes);
  if (hasKeep && !mayReplace) REQUIRE(ReadAll((dest / "keep").string()) == "keep");
  return 0;
}
