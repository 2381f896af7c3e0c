#pragma once
// Shared set-up of the extraction-run tests: a scratch directory, a scripted user interface
// (no test ever waits on a dialog), a component, and helpers to look at what was written.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "UnZipper.h"
#include "UserInterface.h"
#include "ZipWriter.h"

namespace extracttest {

struct TMessage {
  std::string Text;
  std::string Caption;
  platform::TMsgButtons Buttons;
};

// Answers every message box with `Answer` and records it; message processing runs `OnProcess`.
class TScriptedUI : public platform::IUserInterface {
public:
  platform::TModalResult MessageBox(const std::string& text, const std::string& caption,
                                    platform::TMsgButtons buttons) override {
    Messages.push_back({text, caption, buttons});
    return Answer;
  }
  void ProcessMessages() override {
    ++Processed;
    if (OnProcess) OnProcess();
  }
  void SetBusyCursor(bool) override {}
  bool OpenFileDialog(const platform::TOpenDialogOptions&, std::string&) override { return false; }
  bool SelectDirectory(const platform::TSelectDirOptions&, std::string& dir) override {
    if (!ChosenDirectory) return false;
    dir = *ChosenDirectory;
    return true;
  }
  void ShowError(const std::string& message) override { Errors.push_back(message); }

  platform::TModalResult Answer = platform::TModalResult::No;
  std::function<void()> OnProcess;
  std::optional<std::string> ChosenDirectory;  // none: the dialog is cancelled
  std::vector<TMessage> Messages;
  std::vector<std::string> Errors;
  int Processed = 0;
};

// Deterministic bytes that deflate only a little, so compressed sizes stay close to the
// plain ones and chunk boundaries can be placed.
inline std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// Text that deflates well.
inline std::string Text(size_t n, uint32_t seed) {
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  std::string s;
  uint32_t x = seed + 7;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 6];
  }
  s.resize(n);
  return s;
}

// An output sink that keeps what it is given: the bytes, the output paths, the verdicts.
struct TRecordingSink : unzip::TOutputSink {
  std::string Bytes;
  std::vector<std::string> Paths;
  std::vector<bool> Sound;
  void BeginEntry(int32_t, const std::string& path) override { Paths.push_back(path); }
  int64_t Write(const uint8_t* b, int64_t n) override {
    Bytes.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
    return n;
  }
  void EndEntry(int32_t, bool sound) override { Sound.push_back(sound); }
};

class ExtractTest : public ::testing::Test {
protected:
  ExtractTest() : Scope(Ui) {
    Dest = Tmp.Path() + "/out";
    StartDir = CurrentDir();
  }
  ~ExtractTest() override {
    // Whatever happened, the run gave the current directory back.
    EXPECT_EQ(CurrentDir(), StartDir);
  }

  static std::string CurrentDir() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
  }

  // Writes the archive and points the component at it (DoAll, into Dest).
  std::string Use(const testzip::ZipWriter& zip, const std::string& name = "t.zip") {
    const std::string path = Tmp.Path() + "/" + name;
    zip.WriteTo(path);
    Zip.SetZipName(path);
    Zip.SetDestDir(Dest);
    Zip.DoAll = true;
    return path;
  }
  int32_t Extract(const testzip::ZipWriter& zip) {
    Use(zip);
    return Zip.ExtractFiles();
  }

  std::string Out(const std::string& rel) const { return Dest + "/" + rel; }
  std::string Read(const std::string& rel) const { return testzip::ReadFile(Out(rel)); }
  static bool IsFile(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  static bool IsDir(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }
  // Every name below `dir`, relative, hidden ones included, sorted.
  static std::vector<std::string> Tree(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        names.push_back(prefix + n);
        if (IsDir(dir + "/" + n)) {
          auto sub = Tree(dir + "/" + n, prefix + n + "/");
          names.insert(names.end(), sub.begin(), sub.end());
        }
      }
      ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testzip::TempDir Tmp;
  TScriptedUI Ui;
  platform::ScopedUserInterface Scope;
  unzip::TUnZipper Zip;
  std::string Dest;
  std::string StartDir;
};

}  // namespace extracttest
