#pragma once
// Starting other programs, in place of the Windows shell's ShellExecute. A program is always
// spawned directly with an argument vector, never through a command interpreter, so no text
// (a command word from a game list, a link) is ever interpreted; it is detached from us and
// leaves no zombie behind.
//  - a host executable runs as {program, parameter};
//  - a Windows program (".exe" that is no host executable) runs as {wine, program, parameter}
//    when wine is installed, in a UTF-8 locale: the parameter is UTF-8 text, which Wine
//    converts to the program's code page;
//  - the Windows web browser "iexplore.exe" maps to the desktop's URL opener (xdg-open);
//  - an empty parameter is left out of the vector.
// Like the shell, the result is greater than 32 on success and a code <= 32 otherwise.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Show commands (only recorded: the host has no say over the started program's window).
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;

// The shell's failure codes.
inline constexpr intptr_t SE_ERR_OOM = 8;
inline constexpr intptr_t SE_ERR_FNF = 2;
inline constexpr intptr_t SE_ERR_PNF = 3;
inline constexpr intptr_t SE_ERR_ACCESSDENIED = 5;
inline constexpr intptr_t ERROR_BAD_FORMAT = 11;
inline constexpr intptr_t SE_ERR_NOASSOC = 31;
// What a successful start returns (any value above 32 means success).
inline constexpr intptr_t kShellSuccess = 42;

// How a file would be started: the argument vector, or the failure code (<= 32) when it
// cannot be. Decided before anything is spawned, so it can be checked on its own.
struct TShellCommand {
  std::vector<std::string> Argv;  // host paths; empty when Error is set
  std::vector<std::string> Environment;  // "NAME=value" settings the program gets besides ours
  intptr_t Error = 0;
};
TShellCommand ShellCommandFor(const std::string& file, const std::string& parameters);

// Starts `file` with `parameters` as its one argument, in `directory` (empty: ours).
// `owner` and `showCmd` are accepted for the callers' sake and otherwise unused; `verb` must
// be empty or "open". Returns kShellSuccess, or the failure code (<= 32).
intptr_t ShellExecute(void* owner, const std::string& verb, const std::string& file,
                      const std::string& parameters, const std::string& directory, int showCmd);

// The full path of `name` found in the directories of $PATH; empty when it is not there.
std::string FindOnPath(const std::string& name);

}  // namespace platform
