#pragma once
// The compression methods the component knows: one row per method, read by the extraction
// run (which decoder), the listings (which name) and every message that names a method.
// Adding a method means a row here and the decoder's own file; nothing else keeps a list.
#include <cstdint>
#include <span>
#include <string>

namespace unzip {

class TExtractState;
class TZipHeaderInfo;

// Decodes the entry prepared in the state (see TExtractState::BeginDecoding). Gets the
// method id, for decoders that serve several (reduce's factor).
using TDecodeMethod = void (*)(TExtractState& state, uint16_t method);

struct TMethodInfo {
  uint16_t Id;
  const char* Name;            // in words, as listings and messages show it ("BZip2")
  const char* Verb;            // what an extraction says it does ("inflating")
  TDecodeMethod Decode;        // nullptr: known by name, not decoded here
  const char* Needs;           // what the decoder is built on: "" our own code, else the library
  // Methods whose general-purpose bits 1 and 2 give the compression level: the short listing
  // name is this prefix and the level letter (N, X, F, S); nullptr for the others.
  const char* LevelPrefix = nullptr;
};

// Every row, in the order of the ids.
std::span<const TMethodInfo> AllMethods();
// The row of a method id; nullptr for an id the component has never heard of.
const TMethodInfo* FindMethod(uint16_t id);
// True when the component decodes the method.
bool CanDecode(uint16_t id);
// For messages: "Deflate64 (method 9)"; "unknown method 77" for an id without a row.
std::string MethodDescription(uint16_t id);
// For listings: the name, with the level letter where the method has one ("Defl:N"), and
// "Unk:077" for an id without a row.
std::string MethodListName(uint16_t id, uint16_t flags);

// What the entry's data is, as listings and messages name it. Today the method of the
// record; a wrapper method (encryption that names the real method in an extra field) names
// both here, so no caller needs to know.
std::string EntryMethodName(const TZipHeaderInfo& entry);
std::string EntryMethodDescription(const TZipHeaderInfo& entry);

}  // namespace unzip
