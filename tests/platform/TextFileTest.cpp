#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "ScopedEnv.h"
#include "TextFile.h"

namespace fs = std::filesystem;
using platform::EInOutError;
using platform::TTextFile;

namespace {

class TextFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quorbin-text-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string Write(const std::string& bytes, const std::string& name = "list.rom") {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }

  // Every line the way the game list readers take them: read, skip, until the end test.
  std::vector<std::string> Lines(const std::string& bytes) {
    TTextFile f;
    f.Reset(Write(bytes));
    std::vector<std::string> out;
    std::string line;
    while (!f.Eof()) {
      f.ReadLn(line);
      out.push_back(line);
    }
    f.Close();
    return out;
  }

  fs::path dir;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(TextFileTest, LineEndsFollowTheRuntimeRule) {
  EXPECT_EQ(Lines("a\r\nb\r\n"), (Texts{"a", "b"}));
  EXPECT_EQ(Lines("a\r\nb"), (Texts{"a", "b"}));              // no final line end
  EXPECT_EQ(Lines("a\rb\r"), (Texts{"a", "b"}));               // CR alone ends a line too
  EXPECT_EQ(Lines("a\nb\nc\n"), (Texts{"a\nb\nc\n"}));         // LF-only: one single line
  EXPECT_EQ(Lines("a\n\r\nb"), (Texts{"a\n", "b"}));           // LF before CR is text
  EXPECT_EQ(Lines("a\r\r\nb"), (Texts{"a", "", "b"}));         // only one LF after a CR goes
  EXPECT_EQ(Lines("a\r\n\n"), (Texts{"a", "\n"}));             // a second LF is text
  EXPECT_EQ(Lines("  padded \t\r\n"), (Texts{"  padded \t"}));  // nothing trimmed
  EXPECT_EQ(Lines(""), Texts{});
  EXPECT_EQ(Lines("\r\n"), (Texts{""}));
}

TEST_F(TextFileTest, CtrlZEndsTheFileAndNothingAfterItIsRead) {
  EXPECT_EQ(Lines("a\r\nb\x1A" "c\r\nd\r\n"), (Texts{"a", "b"}));
  EXPECT_EQ(Lines("\x1A" "abc"), Texts{});
  EXPECT_EQ(Lines("a\r\n\x1A\r\nb"), (Texts{"a"}));

  TTextFile f;
  f.Reset(Write("one\x1Atwo\r\nthree"));
  std::string s = "old";
  f.ReadLn(s);
  EXPECT_EQ(s, "one");
  EXPECT_TRUE(f.Eof());
  // Reading and skipping past the end is no error and gives empty strings.
  for (int i = 0; i < 3; ++i) {
    s = "old";
    f.ReadLn(s);
    EXPECT_EQ(s, "");
  }
  EXPECT_TRUE(f.Eof());
  f.Close();
}

TEST_F(TextFileTest, LongLinesAndLineEndsAcrossBufferBoundaries) {
  // Lines far longer than any buffer, and CR / LF pairs split at every nearby offset.
  const std::string big(100000, 'x');
  EXPECT_EQ(Lines(big + "\r\n" + big), (Texts{big, big}));
  for (size_t n = 4090; n <= 4100; ++n) {
    const std::string first(n, 'a');
    EXPECT_EQ(Lines(first + "\r\nsecond\r\n"), (Texts{first, "second"})) << n;
    EXPECT_EQ(Lines(first + "\x1Atail"), (Texts{first})) << n;
  }
}

TEST_F(TextFileTest, ReadLineAloneStaysOnTheLine) {
  TTextFile f;
  f.Reset(Write("first\r\nsecond\r\n"));
  std::string s;
  f.ReadLine(s);
  EXPECT_EQ(s, "first");
  f.ReadLine(s);  // not moved on: the CR stops it again
  EXPECT_EQ(s, "");
  f.SkipLine();
  f.ReadLine(s);
  EXPECT_EQ(s, "second");
  f.SkipLine();
  EXPECT_TRUE(f.Eof());
  f.Close();
}

TEST_F(TextFileTest, ErrorsCarryTheRuntimeTexts) {
  TTextFile f;
  try {
    f.Reset((dir / "missing.rom").string());
    FAIL() << "opened a missing file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_EQ(e.Message, "File not found");
  }
  try {
    f.Reset(dir.string());
    FAIL() << "opened a directory";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
    EXPECT_EQ(e.Message, "File access denied");
  }
  EXPECT_THROW(f.Reset(""), EInOutError);
  // Operations on a file that is not open.
  std::string s;
  try {
    f.ReadLn(s);
    FAIL() << "read a closed file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "I/O error 103");
  }
  EXPECT_THROW(f.Eof(), EInOutError);
  EXPECT_THROW(f.Close(), EInOutError);
}

TEST_F(TextFileTest, UnreadableFileIsAccessDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not apply";
  const std::string p = Write("x");
  ::chmod(p.c_str(), 0);
  TTextFile f;
  try {
    f.Reset(p);
    FAIL() << "opened an unreadable file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "File access denied");
  }
}

TEST_F(TextFileTest, WindowsNamesResolveThroughTheWinePrefix) {
  fs::create_directories(dir / "drive_c" / "games");
  std::ofstream(dir / "drive_c" / "games" / "LIST.ROM", std::ios::binary) << "Title\r\n";
  std::string s;
  {
    ScopedWinePrefix prefix(dir.string());
    TTextFile f;
    f.Reset("c:\\games\\LIST.ROM");
    f.ReadLn(s);
    f.Close();
  }
  EXPECT_EQ(s, "Title");
}
