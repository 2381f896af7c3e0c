#include "FileNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

std::string ToForwardSlashes(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool IsDir(const std::string& host) {
  struct stat st;
  return !host.empty() && ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string WinePrefix() {
  if (const char* p = std::getenv("WINEPREFIX"); p && *p) {
    std::string s(p);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "") + "/.wine";
}

std::string HostPath(std::string_view name) {
  if (name.empty()) return {};
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
    std::string rest = ToForwardSlashes(name.substr(2));
    if (rest.empty() || rest[0] != '/') rest.insert(rest.begin(), '/');
    const std::string prefix = WinePrefix();
    std::string device = prefix + "/dosdevices/" + drive + ":";
    if (IsDir(device)) return device + rest;
    if (drive == 'c') return prefix + "/drive_c" + rest;
    // Maps nowhere: a name under the missing device, so every operation on it fails.
    return device + rest;
  }
  return ToForwardSlashes(name);
}

bool FileExists(std::string_view name) {
  const std::string host = HostPath(name);
  struct stat st;
  return !host.empty() && ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(std::string_view name) { return IsDir(HostPath(name)); }

bool CreateDirectory(std::string_view name) {
  const std::string host = HostPath(name);
  if (host.empty()) return false;
  if (::mkdir(host.c_str(), 0777) == 0) return true;
  return errno == EEXIST && IsDir(host);
}

bool CreateDirectories(std::string_view name) {
  std::string host = HostPath(name);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (host.empty()) return false;
  if (IsDir(host)) return true;
  size_t start = 1;
  if (name.size() >= 2 && name[1] == ':') {
    // Only below the drive's root: a drive that maps nowhere is never made.
    std::string root = HostPath(name.substr(0, 2));
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!IsDir(root)) return false;
    start = root.size();
  }
  for (size_t i = start; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '/') {
      if (host[i - 1] == '/') continue;
      std::string part = host.substr(0, i);
      if (!IsDir(part) && ::mkdir(part.c_str(), 0777) != 0 && !(errno == EEXIST && IsDir(part)))
        return false;
    }
  }
  return IsDir(host);
}

std::string GetCurrentDirectory() {
  std::vector<char> buf(PATH_MAX + 1);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data());
}

bool SetCurrentDirectory(std::string_view name) {
  const std::string host = HostPath(name);
  return !host.empty() && ::chdir(host.c_str()) == 0;
}

bool DeleteFile(std::string_view name) {
  const std::string host = HostPath(name);
  return !host.empty() && ::unlink(host.c_str()) == 0;
}

std::string ExecutablePath() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace platform
