// A program of its own that uses Quorbin's extraction component from the installed library:
// lists an archive, then extracts it under a folder, replacing nothing that exists, with a
// line of progress per entry.
//
//   unzip_example ARCHIVE.zip DESTINATION
//
// Build it with CMake (CMakeLists.txt beside this file) or with pkg-config:
//   c++ unzip_example.cpp $(pkg-config --cflags --libs quorbin-unzip) -o unzip_example
#include <cstdio>
#include <string>

#include <quorbin/UnZipper.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE.zip DESTINATION\n", argv[0]);
    return 2;
  }
  unzip::TUnZipper zip;
  try {
    zip.SetZipName(argv[1]);
    zip.ReadDirectory();
    for (int32_t i = 0; i < zip.EntryCount(); ++i) {
      const unzip::TZipHeaderInfo& e = zip.EntryInfo(i);
      std::printf("%10lld  %s\n", static_cast<long long>(e.UncompressedSize),
                  e.FullName().c_str());
    }

    zip.SetDestDir(argv[2]);
    zip.RecreateDirs = true;
    zip.DoAll = true;
    zip.OverwriteMode = unzip::TUZOverwriteMode::Never;  // existing files stay as they are
    zip.OnEndUnZip = [](unzip::TSender, int32_t index, const std::string& fileName) {
      std::printf("extracted %d: %s\n", index, fileName.c_str());
    };
    zip.OnTotalPercentDone = [](unzip::TSender, int32_t percent) {
      std::printf("%d%% done\n", percent);
    };
    const int32_t count = zip.ExtractFiles();
    std::printf("%d entries extracted\n", count);
  } catch (const platform::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.Message.c_str());
    return 1;
  }
  return 0;
}
