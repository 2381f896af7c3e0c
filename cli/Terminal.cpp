#include "Terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace cli {

namespace {

// Atomic, not merely volatile: the workers of a parallel run all read it.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void HandleInterrupt(int) { g_interrupted = 1; }

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

void WriteAll(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    s.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

TOverwriteAnswer ParseOverwriteAnswer(std::string_view line) {
  const std::string_view s = Trim(line);
  if (s == "n") return TOverwriteAnswer::No;
  if (s == "N") return TOverwriteAnswer::None;
  if (s == "y" || s == "Y" || EqualsNoCase(s, "yes")) return TOverwriteAnswer::Yes;
  if (EqualsNoCase(s, "no")) return TOverwriteAnswer::No;
  if (s == "A" || s == "a" || EqualsNoCase(s, "all")) return TOverwriteAnswer::All;
  if (EqualsNoCase(s, "none")) return TOverwriteAnswer::None;
  return TOverwriteAnswer::Invalid;
}

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = HandleInterrupt;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a question being read is cut short. The handler stays for every signal
  // that follows, so that the cleanup of the run (removing the file being written) is never
  // cut short by a second Ctrl-C.
  sa.sa_flags = 0;
  for (int sig : kInterruptSignals) sigaction(sig, &sa, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

bool InputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool AskLine(const std::string& prompt, bool echo, std::string& line) {
  // Echo goes off before the question appears, so that nothing typed in answer to it is ever
  // shown; and nothing typed ahead is thrown away (TCSANOW, not TCSAFLUSH).
  termios saved{};
  bool restore = false;
  if (!echo && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    restore = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
  }
  WriteAll(STDERR_FILENO, prompt);
  line.clear();
  bool ok = false;
  // The signals stay blocked except inside ppoll, which unblocks them atomically: one that
  // comes between the check of the flag and the wait still ends the wait.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int sig : kInterruptSignals) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  for (;;) {
    if (g_interrupted) break;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = ::ppoll(&in, 1, nullptr, &previous);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) {
      if (c == '\n') {
        ok = true;
        break;
      }
      line += c;
      continue;
    }
    // End of input with something typed still counts as an answer; a signal never does.
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) ok = !line.empty();
    break;
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (g_interrupted) ok = false;
  if (restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!echo) WriteAll(STDERR_FILENO, "\n");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}

}  // namespace cli
