#pragma once
// Which entries a run works on: the masks after the archive name select (all entries when
// there are none), the masks after -x leave entries out. Both follow the component's own rule
// for FilesList (a mask with a directory separator is matched against directory and name, any
// other against the name alone), but letter case counts unless -C says otherwise, as with unzip
// on Linux; the component, which ignores case, may take more entries, and the run passes
// those over.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// A mask as the user typed it, in the component's form: "/" becomes "\".
std::string ComponentMask(const std::string& userMask);
// A name in the component's form ("dir\sub\") as the user reads it: "dir/sub/".
std::string DisplayName(const std::string& componentName);

// True when the component-form mask selects the entry with this directory and file name.
bool MaskSelects(const std::string& mask, const std::string& directory, const std::string& fileName,
                 bool ignoreCase);

// The names of entry `index`: its directory ("dir\sub\" or empty) and its file name (empty
// for a directory entry). References into the caller's directory: nothing is copied.
using TEntryNames =
    std::function<std::pair<const std::string&, const std::string&>(int32_t index)>;

struct TSelection {
  std::vector<bool> Included;        // the include masks select it (the component will take it)
  std::vector<bool> Excluded;        // included, but an exclude mask leaves it out (a bit an entry each)
  std::vector<std::string> UnmatchedMasks;  // include masks (as typed) that selected nothing
  int32_t Count = 0;                 // included and not excluded
};

// The selection over `count` entries; masks as the user typed them.
TSelection SelectEntries(int32_t count, const TEntryNames& names,
                         const std::vector<std::string>& includes,
                         const std::vector<std::string>& excludes, bool ignoreCase);

}  // namespace cli
