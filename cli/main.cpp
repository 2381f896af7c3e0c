// unzipper: the command-line front-end of the extraction component.
#include <stdlib.h>

#include <string>
#include <vector>

#include "Unzipper.h"

int main(int argc, char** argv) {
  // Every extracted file gets its date through the C library's local-time conversion. With TZ
  // unset the library looks at /etc/localtime again on every call (one stat per file); naming
  // the same file in TZ makes it read the zone once. The zone in force does not change.
  if (!getenv("TZ")) setenv("TZ", ":/etc/localtime", 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli::RunUnzipper(args);
}
