// Extracts a whole archive with the component and nothing else around it, for the stored
// extraction and memory benchmarks (bench/stored.sh):
//   bench_extract_run ARCHIVE DESTDIR
// Prints the number of files extracted and the peak resident memory in KiB.
#include <sys/resource.h>

#include <cstdio>
#include <exception>

#include "UnZipper.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_extract_run ARCHIVE DESTDIR\n");
    return 2;
  }
  try {
    unzip::TUnZipper zip;
    zip.SetZipName(argv[1]);
    zip.SetDestDir(argv[2]);
    zip.DoAll = true;
    zip.RecreateDirs = true;
    zip.OverwriteMode = unzip::TUZOverwriteMode::Always;
    const int32_t count = zip.ExtractFiles();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("files %d\nmaxrss_kib %ld\n", count, usage.ru_maxrss);
    return count == zip.EntryCount() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_extract_run: %s\n", e.what());
    return 1;
  }
}
