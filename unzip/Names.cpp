#include "Names.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

#include "Exceptions.h"
#include "FileNames.h"
#include "UserInterface.h"

namespace unzip {

// ---- Wildcards --------------------------------------------------------------------------
//
// The matcher's rules are those of a plain recursive walk: a literal segment is matched
// element by element, and at a "*" every later text position whose character equals the
// next mask character (any position when that is a "[") is tried in turn. Tried that way
// it is exponential in the number of stars. It need not be: whether the rest of the mask
// (from a star on) can match depends only on where in the text it starts, and starting
// earlier never hurts, since a star may always swallow more. So after each star it is
// enough to place the following segment (up to the next star) at its leftmost fitting
// position and go on from there, never returning to an earlier star. Each segment costs at
// most one pass over the text, times its own length.

namespace {

enum class SetResult { Accept, Reject, Malformed };

// The match ignores the case of A-Z only (when it ignores case at all); every other byte
// compares by its code.
inline unsigned char Fold(char c, bool ignoreCase) {
  const auto u = static_cast<unsigned char>(c);
  return ignoreCase && u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// Reads the set at mask[p] == '['; on Accept or Reject `end` is past its "]".
SetResult MatchSet(std::string_view mask, size_t p, unsigned char ch, bool ignoreCase, size_t& end) {
  const size_t m = mask.size();
  ++p;
  bool negated = false;
  if (p < m && (mask[p] == '!' || mask[p] == '^')) {
    negated = true;
    ++p;
  }
  if (p >= m || mask[p] == ']') return SetResult::Malformed;
  bool accepted = false;
  for (;;) {
    if (p >= m) return SetResult::Malformed;
    if (mask[p] == ']') break;
    const unsigned char s = Fold(mask[p], ignoreCase);
    ++p;
    if (p >= m) return SetResult::Malformed;
    unsigned char e = s;
    if (mask[p] == '-') {
      ++p;
      if (p >= m || mask[p] == ']') return SetResult::Malformed;
      e = Fold(mask[p], ignoreCase);
      ++p;
      if (p >= m) return SetResult::Malformed;
    }
    const unsigned char lo = s < e ? s : e, hi = s < e ? e : s;
    if (ch >= lo && ch <= hi) {
      accepted = true;
      break;
    }
  }
  if (accepted == negated) return SetResult::Reject;
  if (accepted) {
    while (p < m && mask[p] != ']') ++p;
    if (p >= m) return SetResult::Malformed;
  }
  end = p + 1;
  return SetResult::Accept;
}

class Matcher {
public:
  Matcher(std::string_view mask, std::string_view text, bool ignoreCase)
      : Mask(mask), Text(text), M(mask.size()), N(text.size()), IgnoreCase(ignoreCase) {}

  bool Run() {
    size_t p = 0, t = 0;
    for (Outcome r = Segment(p, t);; ) {
      if (r != Outcome::AtStar) return r == Outcome::Match;
      // At a star with text left: skip the run of stars and "?", each "?" taking one
      // character.
      size_t q = p;
      while (q < M && (Mask[q] == '*' || Mask[q] == '?')) {
        if (Mask[q] == '?') {
          if (t >= N) return false;
          ++t;
        }
        ++q;
      }
      if (q >= M) return true;
      const unsigned char key = Fold(Mask[q], IgnoreCase);
      r = Outcome::NoMatch;
      for (size_t i = t; i < N; ++i) {
        if (key != '[' && Fold(Text[i], IgnoreCase) != key) continue;
        p = q;
        t = i;
        const Outcome tried = Segment(p, t);
        if (tried == Outcome::NoMatchAtEnd) break;  // every later start runs out too
        if (tried != Outcome::NoMatch) {
          r = tried;
          break;
        }
      }
      if (r == Outcome::NoMatch) return false;
    }
  }

private:
  enum class Outcome { Match, NoMatch, NoMatchAtEnd, AtStar };

  // Walks mask p and text t through the elements before the next star. AtStar leaves p at
  // the star and t at the text still to match (never empty there).
  Outcome Segment(size_t& p, size_t& t) {
    while (p < M) {
      if (t >= N) return p + 1 == M && Mask[p] == '*' ? Outcome::Match : Outcome::NoMatchAtEnd;
      const char c = Mask[p];
      if (c == '*') return Outcome::AtStar;
      if (c == '?') {
        ++p;
      } else if (c == '[') {
        size_t end = 0;
        if (MatchSet(Mask, p, Fold(Text[t], IgnoreCase), IgnoreCase, end) != SetResult::Accept)
          return Outcome::NoMatch;
        p = end;
      } else {
        if (Fold(c, IgnoreCase) != Fold(Text[t], IgnoreCase)) return Outcome::NoMatch;
        ++p;
      }
      ++t;
    }
    return t >= N ? Outcome::Match : Outcome::NoMatch;
  }

  std::string_view Mask, Text;
  size_t M, N;
  bool IgnoreCase;
};

}  // namespace

bool IsMatch(std::string_view mask, std::string_view text, bool ignoreCase) {
  return Matcher(mask, text, ignoreCase).Run();
}

// ---- Percentages ------------------------------------------------------------------------

namespace {

int32_t RoundPercent(long double value) {
  if (!(value > 0)) return 0;  // also a negative done
  if (value >= 100) return 100;
  // The default rounding mode sends halves to the even neighbour.
  return static_cast<int32_t>(std::nearbyintl(value));
}

}  // namespace

int32_t PercentDone(int32_t total, int32_t done) {
  if (total <= 0) return 0;
  return RoundPercent(static_cast<long double>(static_cast<double>(done) * 100.0 / total));
}

int32_t PercentDone64(int64_t total, int64_t done) {
  if (total <= 0) return 0;
  return RoundPercent(static_cast<long double>(done) * 100.0L / static_cast<long double>(total));
}

// ---- Strings ----------------------------------------------------------------------------

char* ForwardToBackSlash(char* text) {
  if (text)
    for (char* p = text; *p; ++p)
      if (*p == '/') *p = '\\';
  return text;
}

void ForwardToBackSlash(std::string& text) {
  for (char& c : text)
    if (c == '/') c = '\\';
}

std::string LeftPart(std::string_view s, int32_t n) {
  if (n <= 0) return {};
  return std::string(s.substr(0, static_cast<size_t>(n)));
}

std::string RightPart(std::string_view s, int32_t n) {
  if (n <= 0) return {};
  if (static_cast<size_t>(n) >= s.size()) return std::string(s);
  return std::string(s.substr(s.size() - static_cast<size_t>(n)));
}

std::string StringFromZ(const char* z) { return z ? std::string(z) : std::string(); }

TZString NewZCopy(std::string_view s) {
  TZString copy(new char[s.size() + 1]);
  if (!s.empty()) std::memcpy(copy.get(), s.data(), s.size());
  copy[s.size()] = '\0';
  return copy;
}

// ---- Directories ------------------------------------------------------------------------

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsBareDrive(const std::string& s) {
  return s.size() == 2 && s[1] == ':' &&
         ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'));
}

// Everything up to and including the last separator or ":"; empty when there is none.
std::string ParentPart(const std::string& s) {
  for (size_t i = s.size(); i-- > 0;)
    if (IsSeparator(s[i]) || s[i] == ':') return s.substr(0, i + 1);
  return {};
}

std::string DropTrailingSeparators(std::string s) {
  while (!s.empty() && IsSeparator(s.back())) s.pop_back();
  return s;
}

}  // namespace

void ForceDirs(const std::string& path) {
  if (path.empty()) throw platform::EInOutError(0, "Unable to create directory");
  // From the path up to the first ancestor that exists (or a root or bare drive), then
  // made from the top down. A loop rather than recursion: names from archives can be long.
  std::vector<std::string> missing;
  std::string dir = DropTrailingSeparators(path);
  while (!dir.empty() && !IsBareDrive(dir) && !platform::DirectoryExists(dir)) {
    const std::string parent = ParentPart(dir);
    missing.push_back(dir);
    if (parent == dir || parent.empty()) break;
    dir = DropTrailingSeparators(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) platform::CreateDirectory(*it);
}

bool FileExists(const std::string& name) { return platform::FileExists(name); }

bool DirectoryExists(const std::string& name) { return platform::DirectoryExists(name); }

std::string GetCurrentDir() { return platform::GetCurrentDirectory(); }

void SetCurrentDir(const std::string& path) {
  errno = 0;
  if (platform::SetCurrentDirectory(path)) return;
  if (errno == 0) platform::RaiseInOutError(platform::kPathNotFound);
  platform::RaiseLastInOutError();
}

// ---- Volumes and dialogs ----------------------------------------------------------------

std::string VolumeLabel(const std::string& driveRoot) {
  // The host keeps a drive's label where Wine does: a ".windows-label" file at its root.
  constexpr size_t kLabelBuffer = 14;  // characters, the terminator included
  std::string root = platform::HostPath(driveRoot);
  if (root.empty()) return {};
  if (root.back() != '/') root += '/';
  std::ifstream in(root + ".windows-label", std::ios::binary);
  if (!in) return {};
  std::string label;
  std::getline(in, label);
  while (!label.empty() && (label.back() == '\r' || label.back() == '\n')) label.pop_back();
  // A label that does not fit the buffer is not read at all, as with the platform call.
  if (label.size() >= kLabelBuffer) return {};
  return label;
}

bool SelectDirectory(std::string& directory) {
  platform::TSelectDirOptions options;
  options.Caption = "Select Directory";
  options.AllowCreate = true;
  options.PromptBeforeCreate = true;
  return platform::UI().SelectDirectory(options, directory);
}

}  // namespace unzip
