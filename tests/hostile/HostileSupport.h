#pragma once
// Helpers of the hostile-input tests: a user interface that never blocks, one whole
// extraction with its events recorded, and listings of what landed on disk.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "FileNames.h"
#include "UnZipper.h"
#include "UserInterface.h"

namespace hostile {

// Answers every question No and every message OK, and counts the messages.
class QuietUI : public platform::IUserInterface {
public:
  platform::TModalResult MessageBox(const std::string& text, const std::string&,
                                    platform::TMsgButtons buttons) override {
    Messages.push_back(text);
    return buttons == platform::TMsgButtons::YesNo ? platform::TModalResult::No
                                                   : platform::TModalResult::Ok;
  }
  void ProcessMessages() override {}
  void SetBusyCursor(bool) override {}
  bool OpenFileDialog(const platform::TOpenDialogOptions&, std::string&) override { return false; }
  bool SelectDirectory(const platform::TSelectDirOptions&, std::string&) override { return false; }
  void ShowError(const std::string& message) override { Messages.push_back(message); }
  std::vector<std::string> Messages;
};

// What one extraction did.
struct Outcome {
  int32_t Count = -1;                  // ExtractFiles' result (-1 when it raised)
  std::optional<std::string> Error;    // the message of an exception that left the run
  std::vector<int32_t> BadCrc;         // indexes reported by OnBadCRC
  std::vector<int64_t> SizeAtBadCrc;   // largest file in the destination when OnBadCRC fired
  std::vector<int32_t> Ended;          // indexes reported by OnEndUnZip
};

inline int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Reads the directory of `zip` and extracts every entry into `dest` (overwrite Always).
// The OnBadCRC handler looks at what is on disk before the component removes the entry's file.
inline Outcome ExtractAll(const std::string& zip, const std::string& dest, bool recreateDirs = true,
                          const std::string& password = "") {
  QuietUI ui;
  platform::ScopedUserInterface scoped(ui);
  Outcome out;
  unzip::TUnZipper unzipper;
  unzipper.DoAll = true;
  unzipper.RecreateDirs = recreateDirs;
  unzipper.OverwriteMode = unzip::TUZOverwriteMode::Always;
  unzipper.Password = password;
  unzipper.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t index) {
    out.BadCrc.push_back(index);
    // The entry may be written under a temporary name next to its output path: take the
    // largest file in the destination.
    int64_t largest = -1;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(platform::HostPath(dest), ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_regular_file(ec)) largest = std::max<int64_t>(largest, FileSize(it->path().string()));
    out.SizeAtBadCrc.push_back(largest);
  };
  unzipper.OnEndUnZip = [&](unzip::TSender, int32_t index, const std::string&) {
    out.Ended.push_back(index);
  };
  try {
    unzipper.SetZipName(zip);
    unzipper.ReadDirectory();
    unzipper.SetDestDir(dest);
    out.Count = unzipper.ExtractFiles();
  } catch (const platform::Exception& e) {
    out.Error = e.Message;
  }
  return out;
}

// Every path under `root`, relative to it, directories with a trailing "/".
inline std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), root, ec).string();
    if (it->is_directory(ec)) rel += "/";
    found.insert(rel);
  }
  return found;
}

// Runs `work` in a child process (for limits and mounts that must not touch the test
// process) and returns what it printed into the report; `status` gets the child's exit code
// (or 128 + signal). The child never returns into the test framework.
inline std::string InChild(const std::function<std::string()>& work, int& status) {
  int fds[2];
  if (::pipe(fds) != 0) {
    status = -1;
    return "pipe failed";
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string report;
    int code = 0;
    try {
      report = work();
    } catch (const std::exception& e) {
      report = std::string("child exception: ") + e.what();
      code = 3;
    }
    const char* p = report.data();
    size_t left = report.size();
    while (left > 0) {
      const ssize_t n = ::write(fds[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    ::_exit(code);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return report;
}

}  // namespace hostile
