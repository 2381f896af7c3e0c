#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Shell.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

// A scratch directory with a private PATH (so "wine" and "xdg-open" are ours) and Wine
// prefix, restored afterwards.
class ShellTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quorbin-shell-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "prefix" / "drive_c" / "varnix");
    Save("PATH");
    Save("WINEPREFIX");
    Save("QUORBIN_RECORD");
    for (const char* locale : {"LC_ALL", "LC_CTYPE", "LANG"}) Save(locale);
    ::setenv("PATH", (dir / "bin").c_str(), 1);
    ::setenv("WINEPREFIX", (dir / "prefix").c_str(), 1);
    record = (dir / "record").string();
    ::setenv("QUORBIN_RECORD", record.c_str(), 1);
  }
  void TearDown() override {
    for (auto& [name, value] : saved) {
      if (value.second)
        ::setenv(name.c_str(), value.first.c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    fs::remove_all(dir);
  }
  void Save(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    saved.push_back({name, {v ? v : "", v != nullptr}});
  }

  // A stand-in program that records its working directory and argument vector
  // (NUL-separated) in $QUORBIN_RECORD; written to a scratch name first, so a reader never
  // sees half a record.
  std::string StandIn(const fs::path& where) {
    std::ofstream(where) << "#!/bin/sh\n"
                            "{ pwd; printf '%s\\0' \"$0\" \"$@\"; } > \"$QUORBIN_RECORD.part\"\n"
                            "/bin/mv \"$QUORBIN_RECORD.part\" \"$QUORBIN_RECORD\"\n";
    fs::permissions(where, fs::perms::owner_all);
    return where.string();
  }

  // Waits for the stand-in's record; the cap only matters when the start went wrong.
  bool WaitForRecord(std::string& cwd, std::vector<std::string>& argv) {
    for (int i = 0; i < 1000 && !fs::exists(record); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!fs::exists(record)) return false;
    std::ifstream in(record, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string all = ss.str();
    const size_t nl = all.find('\n');
    cwd = all.substr(0, nl);
    argv.clear();
    std::string cur;
    for (size_t i = nl + 1; i < all.size(); ++i) {
      if (all[i] == '\0') {
        argv.push_back(cur);
        cur.clear();
      } else {
        cur += all[i];
      }
    }
    return true;
  }

  fs::path dir;
  std::string record;
  std::vector<std::pair<std::string, std::pair<std::string, bool>>> saved;
};

}  // namespace

TEST_F(ShellTest, HostExecutableRunsDirectlyWithOneParameter) {
  const std::string exe = StandIn(dir / "prefix" / "drive_c" / "varnix" / "varnix95.exe");
  auto c = ShellCommandFor("c:\\varnix\\varnix95.exe", "pacman");
  EXPECT_EQ(c.Error, 0);
  EXPECT_EQ(c.Argv, (std::vector<std::string>{exe, "pacman"}));
  // An empty parameter is left out, not passed as "".
  c = ShellCommandFor("c:\\varnix\\varnix95.exe", "");
  EXPECT_EQ(c.Argv, (std::vector<std::string>{exe}));
}

TEST_F(ShellTest, WindowsProgramsGoToWineWhenItIsInstalled) {
  const fs::path exe = dir / "prefix" / "drive_c" / "varnix" / "varnix95.exe";
  std::ofstream(exe) << "MZ\x90\x00 not a host program";
  auto c = ShellCommandFor("c:\\varnix\\varnix95.exe", "galaxor");
  EXPECT_EQ(c.Error, ERROR_BAD_FORMAT) << "no wine on the path";
  const std::string wine = StandIn(dir / "bin" / "wine");
  c = ShellCommandFor("c:\\varnix\\varnix95.exe", "galaxor");
  EXPECT_EQ(c.Argv, (std::vector<std::string>{wine, exe.string(), "galaxor"}));
  // Wine converts the UTF-8 parameter for the program only in a UTF-8 locale.
  ::unsetenv("LC_ALL");
  ::setenv("LANG", "en_US.UTF-8", 1);
  EXPECT_TRUE(ShellCommandFor("c:\\varnix\\varnix95.exe", "caf\xC3\xA9").Environment.empty());
  ::setenv("LC_CTYPE", "POSIX", 1);
  EXPECT_EQ(ShellCommandFor("c:\\varnix\\varnix95.exe", "caf\xC3\xA9").Environment,
            std::vector<std::string>{"LC_CTYPE=C.UTF-8"});
  // A Windows image with an execute bit still cannot run on the host.
  fs::permissions(exe, fs::perms::owner_all);
  c = ShellCommandFor("C:/varnix/varnix95.exe", "");
  EXPECT_EQ(c.Argv, (std::vector<std::string>{wine, exe.string()}));
}

TEST_F(ShellTest, BrowserByNameMapsToTheUrlOpener) {
  auto c = ShellCommandFor("iexplore.exe", "https://example.org/");
  EXPECT_LE(c.Error, 32);
  EXPECT_NE(c.Error, 0) << "no opener on the path";
  const std::string opener = StandIn(dir / "bin" / "xdg-open");
  c = ShellCommandFor("IEXPLORE.EXE", "https://example.org/a b");
  EXPECT_EQ(c.Argv, (std::vector<std::string>{opener, "https://example.org/a b"}));
}

TEST_F(ShellTest, WhatCannotStartGivesAShellFailureCode) {
  EXPECT_EQ(ShellCommandFor("", "x").Error, SE_ERR_FNF);
  EXPECT_EQ(ShellCommandFor("c:\\varnix\\missing.exe", "x").Error, SE_ERR_FNF);
  EXPECT_EQ(ShellCommandFor("c:\\nowhere\\deeper\\missing.exe", "x").Error, SE_ERR_FNF);
  EXPECT_EQ(ShellCommandFor("c:\\varnix", "x").Error, SE_ERR_NOASSOC);  // a directory
  std::ofstream(dir / "notes.txt") << "text";
  EXPECT_EQ(ShellCommandFor((dir / "notes.txt").string(), "").Error, SE_ERR_NOASSOC);
  EXPECT_EQ(ShellCommandFor("no-such-program-anywhere", "").Error, SE_ERR_FNF);

  // Nothing is spawned for these: the stand-in never records.
  StandIn(dir / "bin" / "recorder");
  EXPECT_EQ(ShellExecute(nullptr, "", "c:\\varnix\\missing.exe", "x", "", SW_SHOWNORMAL), SE_ERR_FNF);
  EXPECT_EQ(ShellExecute(nullptr, "print", "recorder", "x", "", SW_SHOWNORMAL), SE_ERR_NOASSOC);
  EXPECT_FALSE(fs::exists(record));
}

TEST_F(ShellTest, ShellSyntaxArrivesAsOneUnchangedArgument) {
  const std::string exe = StandIn(dir / "prefix" / "drive_c" / "varnix" / "varnix95.exe");
  const std::string word = "a; rm -rf x $(touch pwned) `id` 'q' \"dq\" | > out & *";
  EXPECT_GT(ShellExecute(nullptr, "", "c:\\varnix\\varnix95.exe", word, "", SW_SHOWNORMAL), 32);
  std::string cwd;
  std::vector<std::string> argv;
  ASSERT_TRUE(WaitForRecord(cwd, argv));
  EXPECT_EQ(argv, (std::vector<std::string>{exe, word}));
  EXPECT_EQ(cwd, fs::current_path().string()) << "an empty directory keeps ours";
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "out"));
}

TEST_F(ShellTest, StartedProgramIsDetachedAndRunsInTheGivenDirectory) {
  StandIn(dir / "bin" / "recorder");
  fs::create_directories(dir / "prefix" / "drive_c" / "work");
  EXPECT_EQ(ShellExecute(nullptr, "open", "recorder", "", "c:\\work", SW_SHOWNORMAL), kShellSuccess);
  std::string cwd;
  std::vector<std::string> argv;
  ASSERT_TRUE(WaitForRecord(cwd, argv));
  EXPECT_EQ(argv.size(), 1u) << "no parameter when it is empty";
  EXPECT_EQ(fs::canonical(cwd), fs::canonical(dir / "prefix" / "drive_c" / "work"));
  // The middle process has been waited for and the program belongs to init: we have no
  // child left, running or dead.
  int status;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // A working directory that does not exist fails the start.
  EXPECT_EQ(ShellExecute(nullptr, "", "recorder", "", "c:\\no\\such", SW_SHOWNORMAL), SE_ERR_PNF);
}

TEST_F(ShellTest, ExecFailureIsReportedNotSwallowed) {
  // Executable bit, but no program the kernel can run.
  const fs::path bad = dir / "bin" / "garbage";
  std::ofstream(bad) << "\x01\x02\x03 not a program";
  fs::permissions(bad, fs::perms::owner_all);
  EXPECT_EQ(ShellExecute(nullptr, "", bad.string(), "x", "", SW_SHOWNORMAL), ERROR_BAD_FORMAT);
}
