#pragma once
// Shared pieces of the fuzz targets: a scratch directory per process, a user interface that
// never blocks, and the one way a target says "this result is wrong".
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "UserInterface.h"

namespace fuzzsupport {

// A wrong result: say which check failed, then abort, so the engine keeps the input as a
// crash. Use through REQUIRE(condition).
inline void RequireAt(bool condition, const char* text, int line) {
  if (condition) return;
  std::fprintf(stderr, "\ncheck failed at line %d: %s\n", line, text);
  std::abort();
}
#define REQUIRE(condition) ::fuzzsupport::RequireAt((condition), #condition, __LINE__)

// A scratch directory for the whole process, in memory where /dev/shm exists (files are
// written and removed for every input). WINEPREFIX points inside it, so a drive-letter name
// can never reach the real ~/.wine.
class Sandbox {
public:
  Sandbox() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    Dir = std::string(base) + "/quorbin-fuzz-" + std::to_string(::getpid());
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir + "/wine/drive_c");
    ::setenv("WINEPREFIX", (Dir + "/wine").c_str(), 1);
  }
  ~Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
  const std::string& Root() const { return Dir; }

private:
  std::string Dir;
};

inline void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  REQUIRE(fd >= 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    REQUIRE(n > 0);
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Answers questions with a fixed choice and every message OK; never blocks.
class QuietUI : public platform::IUserInterface {
public:
  bool AnswerYes = false;
  platform::TModalResult MessageBox(const std::string&, const std::string&,
                                    platform::TMsgButtons buttons) override {
    if (buttons == platform::TMsgButtons::Ok) return platform::TModalResult::Ok;
    return AnswerYes ? platform::TModalResult::Yes : platform::TModalResult::No;
  }
  void ProcessMessages() override {}
  void SetBusyCursor(bool) override {}
  bool OpenFileDialog(const platform::TOpenDialogOptions&, std::string&) override { return false; }
  bool SelectDirectory(const platform::TSelectDirOptions&, std::string&) override { return false; }
  void ShowError(const std::string&) override {}
};

}  // namespace fuzzsupport
