// Replay mode of the fuzz targets: a small main that runs saved inputs (files, or every
// file under the directories given) through LLVMFuzzerTestOneInput once each. Built with
// AddressSanitizer and UndefinedBehaviorSanitizer it turns the saved corpora and crash
// reproducers into a regression test that needs no fuzzing engine.
//
//   fuzz_<target> [-timeout=SECONDS] PATH...
//
// A fault aborts through the sanitizer; the input that was running is named on stderr
// first. An input that runs longer than the timeout (default 25 s) counts as a hang.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/common_interface_defs.h>)
#include <sanitizer/common_interface_defs.h>
#define QUORBIN_HAVE_SANITIZER_API 1
#endif
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// The input being run, for the messages of the death and alarm handlers (plain C string:
// the handlers may run in a signal context).
char CurrentInput[4096] = "";

void SayCurrent() {
  if (CurrentInput[0] == '\0') return;
  const char prefix[] = "\nreplay: fault while running input ";
  (void)!::write(2, prefix, sizeof prefix - 1);
  (void)!::write(2, CurrentInput, std::strlen(CurrentInput));
  (void)!::write(2, "\n", 1);
}

void OnAlarm(int) {
  const char msg[] = "\nreplay: timeout (hang)";
  (void)!::write(2, msg, sizeof msg - 1);
  SayCurrent();
  std::_Exit(70);
}

void CollectInputs(const fs::path& path, std::vector<fs::path>& inputs) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<fs::path> found;
    for (const auto& item : fs::recursive_directory_iterator(path, ec))
      if (item.is_regular_file() && item.path().filename().string()[0] != '.')
        found.push_back(item.path());
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
  } else if (fs::is_regular_file(path, ec)) {
    inputs.push_back(path);
  }
  // A path that does not exist (an empty crash folder that git did not keep) is no error.
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
#ifdef QUORBIN_HAVE_SANITIZER_API
  __sanitizer_set_death_callback(SayCurrent);
#endif
  std::set_terminate([] {
    SayCurrent();
    std::abort();
  });
  ::signal(SIGALRM, OnAlarm);

  unsigned timeout = 25;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-timeout=", 0) == 0) {
      timeout = static_cast<unsigned>(std::strtoul(arg.c_str() + 9, nullptr, 10));
      continue;
    }
    if (!arg.empty() && arg[0] == '-') continue;  // libFuzzer options are ignored here
    CollectInputs(arg, inputs);
  }

  size_t bytes = 0;
  for (const auto& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::snprintf(CurrentInput, sizeof CurrentInput, "%s", input.c_str());
    ::alarm(timeout);
    // Run from a heap block of exactly the input's size, so a read past its end faults.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size() ? data.size() : 1]);
    std::copy(data.begin(), data.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), data.size());
    ::alarm(0);
    bytes += data.size();
  }
  CurrentInput[0] = '\0';
  std::printf("replayed %zu inputs (%zu bytes)\n", inputs.size(), bytes);
  return 0;
}
