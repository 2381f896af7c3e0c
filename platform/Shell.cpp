#include "Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "FileNames.h"

namespace platform {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The last component of a Windows-style or host name.
std::string BaseName(const std::string& name) {
  size_t i = name.size();
  while (i > 0 && !IsPathSeparator(name[i - 1]) && name[i - 1] != ':') --i;
  return name.substr(i);
}

bool HasDirectoryPart(const std::string& name) { return BaseName(name).size() != name.size(); }

bool IsExecutableFile(const std::string& host) {
  struct stat st;
  return ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(host.c_str(), X_OK) == 0;
}

// A Windows program image starts with "MZ": such a file goes to wine even when it carries
// an execute bit (archives made on Unix often set one), since the host cannot run it.
bool LooksLikeWindowsImage(const std::string& host) {
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[2] = {0, 0};
  const bool mz = ::read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  ::close(fd);
  return mz;
}

intptr_t CodeFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return SE_ERR_FNF;
    case ENOTDIR:
      return SE_ERR_PNF;
    case EACCES:
    case EPERM:
      return SE_ERR_ACCESSDENIED;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    case ENOMEM:
      return SE_ERR_OOM;
    default:
      return SE_ERR_NOASSOC;
  }
}

TShellCommand Fail(intptr_t code) {
  TShellCommand c;
  c.Error = code;
  return c;
}

TShellCommand Run(std::vector<std::string> argv, const std::string& parameters) {
  if (!parameters.empty()) argv.push_back(parameters);
  TShellCommand c;
  c.Argv = std::move(argv);
  return c;
}

// Wine reads its arguments in the locale's character set. The parameter is UTF-8 (the game
// list's text is decoded to it), so a locale of another character set is overridden for
// the character set alone, where it is set.
std::vector<std::string> Utf8Locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    const std::string v = Lower(value);
    if (v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos) return {};
    return {std::string(name == std::string_view("LC_ALL") ? "LC_ALL" : "LC_CTYPE") + "=C.UTF-8"};
  }
  return {"LC_CTYPE=C.UTF-8"};
}

}  // namespace

std::string FindOnPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    const std::string_view dir =
        std::string_view(dirs).substr(start, end == std::string::npos ? std::string::npos : end - start);
    // An empty entry of $PATH means the current directory.
    const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

TShellCommand ShellCommandFor(const std::string& file, const std::string& parameters) {
  if (file.empty()) return Fail(SE_ERR_FNF);
  if (Lower(BaseName(file)) == "iexplore.exe") {
    // The Windows browser by name: the desktop's URL opener takes the link.
    const std::string opener = FindOnPath("xdg-open");
    if (opener.empty()) return Fail(SE_ERR_NOASSOC);
    return Run({opener}, parameters);
  }

  std::string host = HostPath(file);
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    // Like the shell, a bare name that is not in the current directory is searched on the
    // path.
    if (!HasDirectoryPart(file)) {
      const std::string found = FindOnPath(file);
      if (!found.empty()) return Run({found}, parameters);
    }
    return Fail(CodeFromErrno(errno));
  }
  if (!S_ISREG(st.st_mode)) return Fail(SE_ERR_NOASSOC);
  // execv needs a slash to run a file of the current directory rather than search for it.
  if (host.find('/') == std::string::npos) host = "./" + host;

  const bool windowsProgram = Lower(BaseName(file)).ends_with(".exe");
  if (windowsProgram && (!IsExecutableFile(host) || LooksLikeWindowsImage(host))) {
    const std::string wine = FindOnPath("wine");
    if (wine.empty()) return Fail(ERROR_BAD_FORMAT);
    TShellCommand c = Run({wine, host}, parameters);
    c.Environment = Utf8Locale();
    return c;
  }
  if (IsExecutableFile(host)) return Run({host}, parameters);
  return Fail(::access(host.c_str(), R_OK) == 0 ? SE_ERR_NOASSOC : SE_ERR_ACCESSDENIED);
}

intptr_t ShellExecute(void* /*owner*/, const std::string& verb, const std::string& file,
                      const std::string& parameters, const std::string& directory,
                      int /*showCmd*/) {
  if (!verb.empty() && Lower(verb) != "open") return SE_ERR_NOASSOC;
  const TShellCommand command = ShellCommandFor(file, parameters);
  if (command.Error != 0) return command.Error;

  // Everything the children need is prepared here: after fork only async-signal-safe calls.
  const std::string workDir = HostPath(directory);
  std::vector<char*> argv;
  for (const std::string& a : command.Argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> settings;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry = *e;
    bool replaced = false;
    for (const std::string& set : command.Environment)
      replaced = replaced || entry.substr(0, entry.find('=') + 1) == set.substr(0, set.find('=') + 1);
    if (!replaced) settings.emplace_back(entry);
  }
  settings.insert(settings.end(), command.Environment.begin(), command.Environment.end());
  std::vector<char*> envp;
  for (std::string& e : settings) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The grandchild reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return SE_ERR_OOM;

  const pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return SE_ERR_OOM;
  }
  if (child == 0) {
    // Middle process: start the program and leave at once, so the program is adopted by
    // init and nobody has to wait for it.
    ::close(report[0]);
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      const int err = errno;
      (void)!::write(report[1], &err, sizeof err);
      ::_exit(1);
    }
    if (grandchild == 0) {
      ::setsid();
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      const int devnull = ::open("/dev/null", O_RDONLY);
      if (devnull >= 0) {
        ::dup2(devnull, STDIN_FILENO);
        if (devnull != STDIN_FILENO) ::close(devnull);
      }
      if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
        const int err = errno == ENOENT ? ENOTDIR : errno;
        (void)!::write(report[1], &err, sizeof err);
        ::_exit(127);
      }
      ::execve(argv[0], argv.data(), envp.data());
      const int err = errno;
      (void)!::write(report[1], &err, sizeof err);
      ::_exit(127);
    }
    ::_exit(0);
  }

  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) return CodeFromErrno(err);
  return kShellSuccess;
}

}  // namespace platform
