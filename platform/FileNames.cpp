#include "FileNames.h"

#include "CodePage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
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

// Letter case folded the way Windows names compare: ASCII, the Latin letters of the Western
// code pages, Greek and Cyrillic. Bytes that are no UTF-8 stay as they are.
std::string FoldCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    if (n == 0 || i + n > s.size()) {
      out += s[i++];
      continue;
    }
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : c & 0x0F;
    bool ok = true;
    for (size_t k = 1; k < n; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      ok = ok && (t & 0xC0) == 0x80;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok) {
      out += s[i++];
      continue;
    }
    i += n;
    if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) ||
        (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) || (cp >= 0x410 && cp <= 0x42F))
      cp += 0x20;
    else if (cp >= 0x400 && cp <= 0x40F)
      cp += 0x50;
    else if (cp == 0x178)
      cp = 0xFF;
    else if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177))
      cp |= 1;
    else if (((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) && (cp & 1))
      cp += 1;
    AppendUtf8(out, cp);
  }
  return out;
}

// The names of one directory by their folded form, kept while the directory is unchanged:
// checking the games of a long list against one folder reads that folder once.
struct TFoldedListing {
  std::string Dir;
  dev_t Dev = 0;
  ino_t Ino = 0;
  timespec Changed{};
  std::map<std::string, std::string> Names;  // folded -> the first such name in byte order
};

// The entry of the directory `dir` called `name` exactly, else one whose name differs only
// in letter case, as Wine finds it; empty when there is none.
std::string MatchEntry(const std::string& dir, const std::string& name) {
  struct stat st;
  if (::lstat((dir + "/" + name).c_str(), &st) == 0) return name;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  static std::mutex guard;
  static TFoldedListing cache;
  const std::lock_guard<std::mutex> lock(guard);
  if (cache.Dir != dir || cache.Dev != st.st_dev || cache.Ino != st.st_ino ||
      cache.Changed.tv_sec != st.st_mtim.tv_sec || cache.Changed.tv_nsec != st.st_mtim.tv_nsec) {
    cache = TFoldedListing{dir, st.st_dev, st.st_ino, st.st_mtim, {}};
    if (DIR* d = ::opendir(dir.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        const std::string_view entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        auto [it, added] = cache.Names.emplace(FoldCase(entry), entry);
        if (!added && entry < it->second) it->second = entry;
      }
      ::closedir(d);
    } else {
      cache.Dir.clear();
    }
  }
  auto it = cache.Names.find(FoldCase(name));
  return it == cache.Names.end() ? std::string() : it->second;
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
    // A drive that maps nowhere gives a name under the missing device, so every operation on
    // it fails.
    std::string out = DriveFolder(drive);
    // As on Windows, ".." stops at the root of the drive: no name leaves its drive.
    std::vector<std::string_view> parts;
    const std::string_view rest = name.substr(2);
    for (size_t i = 0; i <= rest.size();) {
      size_t end = i;
      while (end < rest.size() && !IsPathSeparator(rest[end])) ++end;
      const std::string_view part = rest.substr(i, end - i);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      i = end + 1;
    }
    // Each component is the existing entry of that name, else one that differs only in
    // letter case; what does not exist yet keeps its name as written.
    bool exists = IsDir(out);
    for (const std::string_view part : parts) {
      std::string entry(part);
      if (exists) {
        const std::string match = MatchEntry(out, entry);
        exists = !match.empty();
        if (exists) entry = match;
      }
      out += "/" + entry;
    }
    if (parts.empty() || IsPathSeparator(name.back())) out += '/';
    return out;
  }
  return ToForwardSlashes(name);
}

std::string DriveFolder(char drive) {
  drive = static_cast<char>(std::tolower(static_cast<unsigned char>(drive)));
  const std::string prefix = WinePrefix();
  std::string device = prefix + "/dosdevices/" + drive + ":";
  if (drive == 'c' && !IsDir(device)) return prefix + "/drive_c";
  return device;
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

int OpenRegularFile(const std::string& host) {
  int fd;
  do {
    fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  if (!known || !S_ISREG(st.st_mode)) {
    const int err = known ? EACCES : errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string ExecutablePath() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace platform
