#pragma once
// Windows-style names meet the host file system here and nowhere else. Inside the product
// names keep their Windows form ("c:\varnix\", "shots\x1.bmp"); these functions map them:
//  - "\" and "/" both separate; host absolute paths ("/home/...") pass through;
//  - a drive letter "x:" maps to $WINEPREFIX/dosdevices/x: (WINEPREFIX defaults to ~/.wine),
//    and "c:" falls back to $WINEPREFIX/drive_c; a drive that maps nowhere does not exist;
//  - below a drive's root, ".." stops at the root, and each component is the existing entry
//    of that name, else one that differs only in letter case (as Wine finds it); what does
//    not exist yet keeps the name as written.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The host path for a Windows-style or host name. Empty stays empty.
std::string HostPath(std::string_view name);

// The host folder that drive `drive` maps to (whether it exists or not): the prefix's
// dosdevices entry, for "c" its drive_c when that entry is missing.
std::string DriveFolder(char drive);

// The Wine prefix in force: $WINEPREFIX, else $HOME/.wine.
std::string WinePrefix();

// True when `name` is an existing regular file (or a link to one).
bool FileExists(std::string_view name);
// True when `name` is an existing directory (or a link to one).
bool DirectoryExists(std::string_view name);
// Creates the directory and any missing parents; true when it exists afterwards.
bool CreateDirectories(std::string_view name);
// Creates one directory; true on success or when it already exists as a directory.
bool CreateDirectory(std::string_view name);

// The process's current directory as a host path (no trailing separator, "/" for root).
std::string GetCurrentDirectory();
// Makes `name` the current directory; false when that fails.
bool SetCurrentDirectory(std::string_view name);

// Deletes a file; false when that fails.
bool DeleteFile(std::string_view name);

// Opens an existing regular file (a host path) for reading: a descriptor, or -1 with errno
// set. Nothing else is opened (a named pipe, a device or a directory gives EACCES), and the
// open itself never waits: a pipe with no writer must not freeze the window.
int OpenRegularFile(const std::string& host);

// Full path of the running executable (host form).
std::string ExecutablePath();

// True for "\" or "/".
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace platform
