#pragma once
// Runs the built unzipper as a child process: with pipes (standard input from /dev/null, so
// it never finds a terminal), or on a pseudo-terminal for the questions it asks.
#include <string>
#include <vector>

namespace clitest {

struct TResult {
  int Code = -1;  // exit status, or 128 + signal
  std::string Out, Err;
};

// Runs `program args...` in `cwd` and collects everything it writes. `env` holds extra
// "NAME=value" settings. With `closeAfter` > 0 the reading end of standard output is closed
// once that many bytes came (a reader that stops early, as `head` does).
TResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                   const std::vector<std::string>& env = {}, size_t closeAfter = 0);

// A run on a pseudo-terminal: standard input, output and error are the terminal's slave side.
class TPtySession {
public:
  TPtySession(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);
  ~TPtySession();
  TPtySession(const TPtySession&) = delete;
  TPtySession& operator=(const TPtySession&) = delete;

  // Reads until `text` appears in the output after what earlier waits consumed; false when the
  // program ended (or 30 s went by, a safety net against a hang) before it did.
  bool WaitFor(const std::string& text);
  // Types `text` on the terminal.
  void Send(const std::string& text);
  // Reads to the end and returns the exit status (128 + signal when killed).
  int Finish();
  // Everything the terminal showed so far.
  const std::string& Output() const { return Seen; }

private:
  bool ReadSome(int timeoutMs);
  int Master = -1;
  int Pid = -1;
  bool Ended = false;
  std::string Seen;
  size_t Consumed = 0;
};

}  // namespace clitest
