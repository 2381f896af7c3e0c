// Placeholder translation unit so the library target always has a source.
namespace unzip {
const char* LibraryName() { return "unzip"; }
}  // namespace unzip
