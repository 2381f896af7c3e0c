#include "Options.h"

namespace cli {

namespace {

const char* CommandLetter(TCommand c) {
  switch (c) {
    case TCommand::List: return "-l";
    case TCommand::Verbose: return "-v";
    case TCommand::Test: return "-t";
    case TCommand::Pipe: return "-p";
    case TCommand::Names: return "-Z1";
    default: return "";
  }
}

}  // namespace

TParseResult ParseOptions(const std::vector<std::string>& args) {
  TParseResult r;
  TOptions& o = r.Options;
  if (args.empty()) {
    o.Command = TCommand::Help;
    r.Ok = true;
    return r;
  }
  bool help = false, version = false;
  bool excluding = false, plainOnly = false;
  bool overwriteSet = false, neverSet = false;
  auto fail = [&r](std::string message) {
    r.Ok = false;
    r.Error = std::move(message);
    return r;
  };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (plainOnly || a.size() < 2 || a[0] != '-') {
      if (o.Archive.empty())
        o.Archive = a;
      else if (excluding)
        o.Excludes.push_back(a);
      else
        o.Includes.push_back(a);
      continue;
    }
    if (a == "--") {
      plainOnly = true;
      continue;
    }
    if (a[1] == '-') {
      if (a == "--help")
        help = true;
      else if (a == "--version")
        version = true;
      else if (a == "--jobs" || a.rfind("--jobs=", 0) == 0) {
        std::string value;
        if (a.size() > 6) {
          value = a.substr(7);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        }
        // A count of 1 to 1024, in plain digits.
        int jobs = 0;
        for (const char d : value) {
          if (d < '0' || d > '9' || jobs > 1024) {
            jobs = -1;
            break;
          }
          jobs = jobs * 10 + (d - '0');
        }
        if (value.empty() || jobs < 1 || jobs > 1024) return fail("option --jobs needs a number from 1 to 1024");
        o.Jobs = jobs;
      } else
        return fail("unknown option " + a);
      continue;
    }
    for (size_t k = 1; k < a.size(); ++k) {
      const char c = a[k];
      TCommand command = TCommand::Extract;
      switch (c) {
        case 'l': command = TCommand::List; break;
        case 'v': command = TCommand::Verbose; break;
        case 't': command = TCommand::Test; break;
        case 'p': command = TCommand::Pipe; break;
        case 'j': o.JunkPaths = true; break;
        case 'o': overwriteSet = true; break;
        case 'n': neverSet = true; break;
        case 'q': ++o.Quiet; break;
        case 'x': excluding = true; break;
        case 'h': help = true; break;
        case 'C': o.IgnoreCase = true; break;
        case 'u': o.Update = true; break;
        case 'f': o.Freshen = true; break;
        case 'Z':
          // Of the listing modes behind -Z only the names alone: "-Z1" as one argument.
          if (a != "-Z1") return fail("of the -Z listings only -Z1 is supported");
          command = TCommand::Names;
          k = a.size();
          break;
        case 'd':
        case 'O':
        case 'P': {
          std::string value;
          if (k + 1 < a.size()) {
            value = a.substr(k + 1);
          } else if (i + 1 < args.size()) {
            value = args[++i];
          } else {
            return fail(c == 'd'   ? "option -d needs a directory"
                        : c == 'O' ? "option -O needs a character set"
                                   : "option -P needs a password");
          }
          if (c == 'd') {
            if (value.empty()) return fail("option -d needs a directory");
            o.DestDir = value;
          } else if (c == 'O') {
            if (value.empty()) return fail("option -O needs a character set");
            o.Charset = value;
          } else {
            o.HasPassword = true;
            o.Password = value;
          }
          k = a.size();  // the value took the rest of the argument
          break;
        }
        default:
          return fail(std::string("unknown option -") + c);
      }
      if (command != TCommand::Extract) {
        if (o.Command != TCommand::Extract && o.Command != command)
          return fail(std::string("options ") + CommandLetter(o.Command) + " and " +
                      CommandLetter(command) + " cannot be used together");
        o.Command = command;
      }
    }
  }

  if (help) {
    o.Command = TCommand::Help;
    r.Ok = true;
    return r;
  }
  if (version) {
    o.Command = TCommand::Version;
    r.Ok = true;
    return r;
  }
  if (overwriteSet && neverSet) return fail("options -o and -n cannot be used together");
  if (overwriteSet) o.Overwrite = TOverwrite::Always;
  if (neverSet) o.Overwrite = TOverwrite::Never;
  if (o.Update && o.Freshen) return fail("options -u and -f cannot be used together");
  if (o.Archive.empty()) return fail("no archive named");
  r.Ok = true;
  return r;
}

std::string UsageText() {
  return "Usage: unzipper [options] ARCHIVE [MASK ...] [-x MASK ...] [-d DIR]\n"
         "Extracts the entries of a ZIP archive (all of them, or those that a MASK selects).\n"
         "\n"
         "  -l           list the entries: size, date, time, name (as unzip -l)\n"
         "  -v           list verbosely: adds method, packed size, saving, CRC (as unzip -v)\n"
         "  -Z1          list the names alone, one a line\n"
         "  -t           test the entries: decode and check their CRC, write nothing\n"
         "  -p           extract to standard output, nothing else printed there\n"
         "  -d DIR       extract under DIR (default: the current directory)\n"
         "  -j           junk the stored directories: every file goes straight into DIR\n"
         "  -o           overwrite existing files without asking\n"
         "  -n           never overwrite existing files\n"
         "  -u           update: only files newer than those on disk, or not on disk yet\n"
         "  -f           freshen: only files newer than those on disk, no new ones\n"
         "  -P PASSWORD  password of encrypted entries (else asked for on the terminal)\n"
         "  -q, -qq      quiet, quieter\n"
         "  -x MASK ...  leave out the entries that these masks select\n"
         "  -C           masks match whatever the letter case\n"
         "  -O CHARSET   names stored without the UTF-8 flag are in CHARSET (CP866, SHIFT_JIS...)\n"
         "  --jobs N     extract N entries at a time (default: one per core; 1: one after another)\n"
         "  -h, --help   this text\n"
         "  --version    the version\n"
         "\n"
         "Masks: '*' any run of characters, '?' one character, '[a-z]' and '[!a-z]' sets,\n"
         "letter case counting unless -C. A mask without '/' is matched against the file name\n"
         "alone, one with '/' against directory and name. Quote masks so the shell leaves them.\n"
         "\n"
         "Exit codes: 0 success, 1 warnings (files skipped), 2 damaged archive or entry,\n"
         "9 archive not found or no archive, 10 bad command line, 11 no matching entries,\n"
         "80 interrupted, 81 unsupported method, 82 no correct password.\n";
}

}  // namespace cli
