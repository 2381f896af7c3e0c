#pragma once
// The unzipper program: one run of the command line against the component.
#include <string>
#include <vector>

namespace cli {

// Runs the command line `args` (without the program name) and returns the exit code.
// Output goes to standard output and standard error; questions are read from standard input
// when it is a terminal.
int RunUnzipper(const std::vector<std::string>& args);

}  // namespace cli
