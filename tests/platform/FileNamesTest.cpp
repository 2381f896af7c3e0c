#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "ScopedEnv.h"

#include "FileNames.h"

namespace fs = std::filesystem;

namespace {

// A fresh Wine prefix under a temporary directory, set as WINEPREFIX for the test.
class WinePrefixTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quorbin-prefix-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "drive_c");
    prefix.emplace(root.string());
  }
  void TearDown() override {
    prefix.reset();
    fs::remove_all(root);
  }
  fs::path root;
  std::optional<ScopedWinePrefix> prefix;
};

}  // namespace

TEST_F(WinePrefixTest, DriveLettersMapThroughDosdevicesThenDriveC) {
  EXPECT_EQ(platform::HostPath("c:\\varnix\\varnix95.exe"), root.string() + "/drive_c/varnix/varnix95.exe");
  EXPECT_EQ(platform::HostPath("C:varnix"), root.string() + "/drive_c/varnix");
  fs::create_directories(root / "dosdevices");
  fs::create_directory_symlink(root / "drive_c", root / "dosdevices" / "c:");
  EXPECT_EQ(platform::HostPath("c:\\x"), root.string() + "/dosdevices/c:/x");
  // A drive that maps nowhere does not exist.
  EXPECT_FALSE(platform::DirectoryExists("q:\\"));
  EXPECT_FALSE(platform::CreateDirectories("q:\\new\\dir"));
}

TEST_F(WinePrefixTest, ExistenceAndCreationThroughWindowsNames) {
  EXPECT_TRUE(platform::CreateDirectories("c:\\a\\b\\c\\"));
  EXPECT_TRUE(fs::is_directory(root / "drive_c/a/b/c"));
  EXPECT_TRUE(platform::DirectoryExists("c:\\a\\b"));
  EXPECT_FALSE(platform::FileExists("c:\\a\\b"));  // a directory is not a file
  { std::FILE* f = std::fopen((root / "drive_c/a/f.txt").c_str(), "w"); std::fclose(f); }
  EXPECT_TRUE(platform::FileExists("c:\\a\\f.txt"));
  EXPECT_TRUE(platform::FileExists("C:/a/f.txt"));
  EXPECT_FALSE(platform::DirectoryExists("c:\\a\\f.txt"));
}

TEST_F(WinePrefixTest, DotDotStopsAtTheDriveRoot) {
  // A prefix two levels down, so that a name escaping its drive would still land in here.
  prefix.emplace((root / "a" / "b").string());
  const std::string c = (root / "a" / "b" / "drive_c").string();
  fs::create_directories(c);
  EXPECT_EQ(platform::HostPath("c:\\..\\..\\..\\outside"), c + "/outside");
  EXPECT_TRUE(platform::CreateDirectories("c:\\varnix\\..\\..\\..\\outside\\x"));
  EXPECT_TRUE(fs::is_directory(c + "/outside/x"));
  EXPECT_FALSE(fs::exists(root / "outside"));
}

TEST_F(WinePrefixTest, EachComponentFindsAnEntryThatDiffersOnlyInLetterCase) {
  const std::string c = root.string() + "/drive_c";
  fs::create_directories(c + "/varnix/neonserp");
  fs::create_directories(c + "/Caf\xC3\xA9");
  { std::FILE* f = std::fopen((c + "/varnix/varnix95.exe").c_str(), "w"); std::fclose(f); }
  EXPECT_EQ(platform::HostPath("C:\\VARNIX\\VARNIX95.EXE"), c + "/varnix/varnix95.exe");
  EXPECT_EQ(platform::HostPath("c:\\CAF\xC3\x89\\"), c + "/Caf\xC3\xA9/");
  EXPECT_TRUE(platform::CreateDirectories("C:\\VARNIX\\Neonserp\\New"));
  EXPECT_TRUE(fs::is_directory(c + "/varnix/neonserp/New"));
  EXPECT_FALSE(fs::exists(c + "/VARNIX"));
}

TEST(HostPath, SeparatorsAndHostPathsPassThrough) {
  EXPECT_EQ(platform::HostPath(""), "");
  EXPECT_EQ(platform::HostPath("/home/u/x.zip"), "/home/u/x.zip");
  EXPECT_EQ(platform::HostPath("shots\\pac1.bmp"), "shots/pac1.bmp");
  EXPECT_EQ(platform::HostPath("a/b\\c"), "a/b/c");
}
