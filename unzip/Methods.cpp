// The method table. Rows without a decoder are methods people meet in archives that we name
// but do not decode, so a message can say "PPMd (method 98)" instead of a bare number.
#include "Methods.h"

#include <cstdio>
#include <string>

#include "Decoders.h"
#include "ExtractState.h"
#include "ZipRecords.h"

namespace unzip {

namespace {

void DecodeStored(TExtractState& state, uint16_t) { state.ExtractStored(); }
void DecodeShrunk(TExtractState& state, uint16_t) { ExtractShrunk(state); }
void DecodeReduced(TExtractState& state, uint16_t method) { ExtractReduced(state, method - 1); }
void DecodeImploded(TExtractState& state, uint16_t) { ExtractImploded(state); }
void DecodeDeflated(TExtractState& state, uint16_t) { ExtractDeflated(state); }
void DecodeDeflated64(TExtractState& state, uint16_t) { ExtractDeflated64(state); }
void DecodeBzip2(TExtractState& state, uint16_t) { ExtractBzip2(state); }
void DecodeLzma(TExtractState& state, uint16_t) { ExtractLzma(state); }
void DecodeZstd(TExtractState& state, uint16_t) { ExtractZstd(state); }
void DecodeXz(TExtractState& state, uint16_t) { ExtractXz(state); }

constexpr TMethodInfo kMethods[] = {
    {0, "Stored", "extracting", DecodeStored, ""},
    {1, "Shrunk", "unshrinking", DecodeShrunk, ""},
    {2, "Reduce1", "expanding", DecodeReduced, ""},
    {3, "Reduce2", "expanding", DecodeReduced, ""},
    {4, "Reduce3", "expanding", DecodeReduced, ""},
    {5, "Reduce4", "expanding", DecodeReduced, ""},
    {6, "Implode", "exploding", DecodeImploded, ""},
    {7, "Tokenize", "extracting", nullptr, ""},
    {8, "Deflate", "inflating", DecodeDeflated, "", "Defl:"},
    {9, "Deflate64", "inflating", DecodeDeflated64, "", "Def64"},
    {10, "PKWARE DCL Implode", "exploding", nullptr, ""},
    {12, "BZip2", "inflating", DecodeBzip2, "libbz2"},
    {14, "LZMA", "inflating", DecodeLzma, "liblzma"},
    {18, "IBM TERSE", "extracting", nullptr, ""},
    {19, "IBM LZ77", "extracting", nullptr, ""},
    {20, "Zstd", "inflating", DecodeZstd, "libzstd"},  // the id early writers used for zstd
    {93, "Zstd", "inflating", DecodeZstd, "libzstd"},
    {94, "MP3", "extracting", nullptr, ""},
    {95, "XZ", "inflating", DecodeXz, "liblzma"},
    {96, "JPEG", "extracting", nullptr, ""},
    {97, "WavPack", "extracting", nullptr, ""},
    {98, "PPMd", "extracting", nullptr, ""},
    {99, "AES", "decrypting", nullptr, ""},
};

}  // namespace

std::span<const TMethodInfo> AllMethods() { return kMethods; }

const TMethodInfo* FindMethod(uint16_t id) {
  for (const TMethodInfo& m : kMethods)
    if (m.Id == id) return &m;
  return nullptr;
}

bool CanDecode(uint16_t id) {
  const TMethodInfo* m = FindMethod(id);
  return m && m->Decode;
}

std::string MethodDescription(uint16_t id) {
  const TMethodInfo* m = FindMethod(id);
  if (!m) return "unknown method " + std::to_string(id);
  return std::string(m->Name) + " (method " + std::to_string(id) + ")";
}

std::string MethodListName(uint16_t id, uint16_t flags) {
  const TMethodInfo* m = FindMethod(id);
  if (!m) {
    char text[16];
    std::snprintf(text, sizeof text, "Unk:%03u", static_cast<unsigned>(id));
    return text;
  }
  if (!m->LevelPrefix) return m->Name;
  static const char kLevel[] = {'N', 'X', 'F', 'S'};
  return std::string(m->LevelPrefix) + kLevel[(flags >> 1) & 3];
}

namespace {

// "AES-256" for an entry under WinZip AES, else empty.
std::string CipherName(const TZipHeaderInfo& entry) {
  if (!entry.IsAesEncrypted()) return {};
  return "AES-" + std::to_string(64 + 64 * entry.Extra.AesStrength);
}

}  // namespace

std::string EntryMethodName(const TZipHeaderInfo& entry) {
  const std::string cipher = CipherName(entry);
  if (cipher.empty()) return MethodListName(entry.CompressionMethod, entry.Flags);
  const TMethodInfo* m = FindMethod(entry.DataMethod());
  return cipher + " + " + (m ? std::string(m->Name) : MethodListName(entry.DataMethod(), 0));
}

std::string EntryMethodDescription(const TZipHeaderInfo& entry) {
  const std::string cipher = CipherName(entry);
  if (cipher.empty()) return MethodDescription(entry.CompressionMethod);
  return cipher + " + " + MethodDescription(entry.DataMethod());
}

}  // namespace unzip
