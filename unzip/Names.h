#pragma once
// Wildcards, percentages and the string, path and directory helpers of the component. Names
// are Windows-style ("c:\dir\file"); the file-system functions map them through the
// platform layer. No state is kept.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace unzip {

// True when the whole `text` fits `mask`, ignoring the case of A-Z unless `ignoreCase` is
// false. "?" one character,
// "*" any run, "[set]" one character of a set ("!" or "^" negates, "a-c" ranges either way
// round); every other character, "\" included, matches itself. A malformed set never
// matches. Time grows with mask length times text length, whatever the mask.
bool IsMatch(std::string_view mask, std::string_view text, bool ignoreCase = true);

// done * 100 / total rounded to the nearest (halves to even), at most 100; 0 when
// total <= 0 and for a negative done.
int32_t PercentDone(int32_t total, int32_t done);
int32_t PercentDone64(int64_t total, int64_t done);

inline int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }

// Replaces every "/" by "\" in place; returns `text`. Null stays null.
char* ForwardToBackSlash(char* text);
void ForwardToBackSlash(std::string& text);

// The first / last n characters; the whole string when shorter; empty for n <= 0.
std::string LeftPart(std::string_view s, int32_t n);
std::string RightPart(std::string_view s, int32_t n);

// Creates the directory and every missing parent. An empty path raises EInOutError
// "Unable to create directory"; a directory that cannot be made is not reported here (the
// file created in it fails later).
void ForceDirs(const std::string& path);

bool FileExists(const std::string& name);
bool DirectoryExists(const std::string& name);
// The process's current directory (host form, which every function here accepts back).
std::string GetCurrentDir();
// Raises the runtime's EInOutError when the directory cannot be entered.
void SetCurrentDir(const std::string& path);

// Zero-terminated texts: a copy up to the terminator (null gives empty); a new copy that
// the receiver owns; the string's own characters, valid while the string lives unchanged.
using TZString = std::unique_ptr<char[]>;
std::string StringFromZ(const char* z);
TZString NewZCopy(std::string_view s);
inline const char* ZView(const std::string& s) { return s.c_str(); }

// The volume label of a drive root such as "C:\", at most 13 characters; empty when the
// platform has none to give.
std::string VolumeLabel(const std::string& driveRoot);

// The select-directory dialog ("Select Directory"): the user may type a directory that
// does not exist, which is created after asking "The specified directory does not exist.
// Create it?". True and the directory, or false when cancelled.
bool SelectDirectory(std::string& directory);

}  // namespace unzip
