// Extraction into a file system that runs out of room: a clear error naming the file, no
// partial file left behind, and the files extracted before it intact. Two ways to run out:
// a file size limit (RLIMIT_FSIZE, always available) and a small tmpfs mounted in a private
// mount namespace of a child process (only where mounting is allowed).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "HostileSupport.h"
#include "ZipWriter.h"

namespace {

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = static_cast<char>(seed >> 24);
  }
  return s;
}

struct Archive {
  std::string One = Noise(3000, 1), Two = Noise(5000, 2), Big = Noise(600000, 3);
  void WriteTo(const std::string& path) const {
    testzip::ZipWriter zip;
    zip.Add("one.txt", One);
    zip.AddDeflated("two.txt", Two, 6);
    zip.AddDeflated("big.bin", Big, 1);
    zip.Add("after.txt", "after");
    zip.WriteTo(path);
  }
};

// Extracts in the child and reports: the error line, then one line per file in `dest`
// with its size and CRC.
std::string ExtractAndReport(const std::string& zip, const std::string& dest) {
  const hostile::Outcome out = hostile::ExtractAll(zip, dest);
  std::ostringstream report;
  report << "error:" << (out.Error ? *out.Error : std::string("<none>")) << "\n";
  for (const std::string& name : hostile::Tree(dest)) {
    const std::string path = dest + "/" + name;
    report << name << " " << hostile::FileSize(path) << " "
           << (name.back() == '/' ? 0u : testzip::Crc32(testzip::ReadFile(path))) << "\n";
  }
  return report.str();
}

void CheckReport(const std::string& report, const Archive& a) {
  SCOPED_TRACE(report);
  const std::string firstLine = report.substr(0, report.find('\n'));
  ASSERT_NE(firstLine, "error:<none>") << "running out of room was not reported";
  EXPECT_NE(firstLine.find("big.bin"), std::string::npos) << "the error does not name the file";
  auto line = [](const std::string& name, const std::string& data) {
    return "\n" + name + " " + std::to_string(data.size()) + " " +
           std::to_string(testzip::Crc32(data)) + "\n";
  };
  EXPECT_NE(report.find(line("one.txt", a.One)), std::string::npos) << "an earlier file was harmed";
  EXPECT_NE(report.find(line("two.txt", a.Two)), std::string::npos) << "an earlier file was harmed";
  EXPECT_EQ(report.find("\nbig.bin "), std::string::npos) << "a partial file was left behind";
}

TEST(FullDisk, FileSizeLimitGivesClearErrorAndNoPartialFile) {
  testzip::TempDir dir;
  Archive a;
  a.WriteTo(dir.Path() + "/a.zip");
  const std::string dest = dir.Path() + "/out";
  int status = 0;
  const std::string report = hostile::InChild(
      [&] {
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        const rlimit limit{64 * 1024, 64 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return ExtractAndReport(dir.Path() + "/a.zip", dest);
      },
      status);
  ASSERT_EQ(status, 0) << report;
  CheckReport(report, a);
}

TEST(FullDisk, SmallTmpfsRunningOutOfSpace) {
  testzip::TempDir dir;
  Archive a;
  a.WriteTo(dir.Path() + "/a.zip");
  const std::string mountPoint = dir.Path() + "/small";
  std::filesystem::create_directories(mountPoint);
  int status = 0;
  const std::string report = hostile::InChild(
      [&] {
        // A private mount namespace: the tmpfs vanishes with the child.
        if (::unshare(CLONE_NEWNS) != 0) return std::string("skip: unshare: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
          return std::string("skip: private mounts: ") + std::strerror(errno);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
          return std::string("skip: mount tmpfs: ") + std::strerror(errno);
        std::string report = ExtractAndReport(dir.Path() + "/a.zip", mountPoint + "/out");
        ::umount(mountPoint.c_str());
        return report;
      },
      status);
  if (report.rfind("skip: ", 0) == 0) GTEST_SKIP() << "no tmpfs here (" << report << ")";
  ASSERT_EQ(status, 0) << report;
  CheckReport(report, a);
}

}  // namespace
