#pragma once
// Starting other programs (the emulator, the web browser) through the shell.
#include <cstdint>
#include <string>

namespace launcher {

// Starts `FileName` with `Params` as its one parameter, in `DefaultDir` (empty: ours), and
// returns the shell's result (> 32 on success). Strings are passed whole, however long:
// cutting an emulator path or a command word short would start the wrong thing.
intptr_t LaunchFile(const std::string& FileName, const std::string& Params,
                    const std::string& DefaultDir, int ShowCmd);

}  // namespace launcher
