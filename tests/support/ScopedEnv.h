#pragma once
// Sets an environment variable for a scope and puts back what was there before (or removes
// it), so one test's Wine prefix or PATH never leaks into the next.
#include <cstdlib>
#include <optional>
#include <string>

class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::string& value) : Name(std::move(name)) {
    if (const char* old = std::getenv(Name.c_str())) Old = old;
    ::setenv(Name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (Old)
      ::setenv(Name.c_str(), Old->c_str(), 1);
    else
      ::unsetenv(Name.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string Name;
  std::optional<std::string> Old;
};

// WINEPREFIX for a scope, so that drive letters map into a test's scratch directory.
class ScopedWinePrefix : public ScopedEnv {
public:
  explicit ScopedWinePrefix(const std::string& prefix) : ScopedEnv("WINEPREFIX", prefix) {}
};
