#include "FmxUtils.h"

#include "Shell.h"

namespace launcher {

intptr_t LaunchFile(const std::string& FileName, const std::string& Params,
                    const std::string& DefaultDir, int ShowCmd) {
  // No verb: the shell's default action. The owner window means nothing to the host's
  // program start, so none is passed.
  return platform::ShellExecute(nullptr, std::string(), FileName, Params, DefaultDir, ShowCmd);
}

}  // namespace launcher
