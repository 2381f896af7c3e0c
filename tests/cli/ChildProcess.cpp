#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace clitest {

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int StatusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

TResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                   const std::vector<std::string>& env, size_t closeAfter) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv = Argv(program, args);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A new session: no controlling terminal either, as under a scheduler or in CI.
    ::setsid();
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  TResult r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? r.Out : r.Err).append(buffer, static_cast<size_t>(n));
        if (i == 0 && closeAfter > 0 && r.Out.size() >= closeAfter) {
          ::close(fds[0].fd);
          fds[0].fd = -1;
          --open;
        }
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.Code = StatusCode(status);
  return r;
}

TPtySession::TPtySession(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd) {
  std::vector<char*> argv = Argv(program, args);
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = 200;  // wide enough that no line the program writes is wrapped
  Pid = ::forkpty(&Master, nullptr, nullptr, &ws);
  if (Pid < 0) throw std::runtime_error("forkpty failed");
  if (Pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
}

TPtySession::~TPtySession() {
  if (!Ended && Pid > 0) {
    ::kill(Pid, SIGKILL);
    int status;
    ::waitpid(Pid, &status, 0);
  }
  if (Master >= 0) ::close(Master);
}

bool TPtySession::ReadSome(int timeoutMs) {
  pollfd fd{Master, POLLIN, 0};
  const int ready = ::poll(&fd, 1, timeoutMs);
  if (ready <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(Master, buffer, sizeof buffer);
  if (n <= 0) return false;  // EIO once the child closed the slave side
  Seen.append(buffer, static_cast<size_t>(n));
  return true;
}

bool TPtySession::WaitFor(const std::string& text) {
  for (;;) {
    const size_t at = Seen.find(text, Consumed);
    if (at != std::string::npos) {
      Consumed = at + text.size();
      return true;
    }
    if (!ReadSome(30000)) return false;
  }
}

void TPtySession::Send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(Master, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to the terminal failed");
    done += static_cast<size_t>(n);
  }
}

int TPtySession::Finish() {
  while (ReadSome(30000)) {
  }
  int status = 0;
  if (::waitpid(Pid, &status, WNOHANG) == 0) {
    // Still running after the terminal went quiet for the safety time: a hang.
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, &status, 0);
  }
  Ended = true;
  return StatusCode(status);
}

}  // namespace clitest
