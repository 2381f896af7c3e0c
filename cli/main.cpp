// unzipper: the command-line front-end of the extraction component.
#include <string>
#include <vector>

#include "Unzipper.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli::RunUnzipper(args);
}
