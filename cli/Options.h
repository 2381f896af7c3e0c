#pragma once
// The command line of unzipper, in the option letters that Info-ZIP unzip users know:
//
//   unzipper [options] ARCHIVE [MASK ...] [-x MASK ...] [-d DIR]
//
// Parsing needs nothing of the component, so it is tested on its own.
#include <string>
#include <vector>

namespace cli {

// What the run does with the selected entries.
enum class TCommand {
  Extract,  // (default) write them under the destination
  List,     // -l
  Verbose,  // -v
  Names,    // -Z1: the names alone, one a line
  Test,     // -t: decode and check the CRC, write nothing
  Pipe,     // -p: decode to standard output
  Help,     // -h, --help, or no argument at all
  Version,  // --version
};

// What to do with a file that exists already.
enum class TOverwrite { Ask, Always, Never };

struct TOptions {
  TCommand Command = TCommand::Extract;
  std::string Archive;
  std::vector<std::string> Includes;  // masks after the archive name; none: every entry
  std::vector<std::string> Excludes;  // masks after -x
  std::string DestDir;                // -d; empty: the current directory
  bool JunkPaths = false;             // -j
  TOverwrite Overwrite = TOverwrite::Ask;
  bool HasPassword = false;           // -P given (an empty password counts as given)
  std::string Password;
  int Quiet = 0;                      // number of -q (2 or more: -qq)
  bool IgnoreCase = false;            // -C: masks match whatever the letter case
  bool Update = false;                // -u: only entries newer than their file, or without one
  bool Freshen = false;               // -f: only entries newer than their existing file
  std::string Charset;                // -O: code page of names stored without the UTF-8 flag
  int Jobs = 0;                       // --jobs: entries extracted at a time; 0: one per core
};

struct TParseResult {
  bool Ok = false;
  std::string Error;  // when !Ok: what was wrong, without the program name
  TOptions Options;
};

// Parses the arguments after the program name. Options may be bundled ("-oqq", "-qqo") and
// may stand anywhere ("ARCHIVE -d DIR" works as unzip users expect); "-d" and "-P" take the
// rest of their argument or the next one, and so does "-O"; "-x" switches the following plain arguments to
// exclusion masks; after "--" every argument is plain.
TParseResult ParseOptions(const std::vector<std::string>& args);

// The usage text of -h.
std::string UsageText();

}  // namespace cli
