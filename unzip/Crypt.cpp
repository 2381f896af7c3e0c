// Traditional PKWARE decryption.
#include "Crypt.h"

#include "Crc32.h"

namespace unzip {

void InitKeys(TCryptKeys& keys, const std::string& password) {
  keys = TCryptKeys{};
  for (char ch : password) UpdateKeys(keys, static_cast<uint8_t>(ch));
}

void UpdateKeys(TCryptKeys& keys, uint8_t ch) {
  keys.Key0 = CrcByte(ch, keys.Key0);
  keys.Key1 = (keys.Key1 + (keys.Key0 & 0xFF)) * 134775813u + 1;
  keys.Key2 = CrcByte(static_cast<uint8_t>(keys.Key1 >> 24), keys.Key2);
}

uint8_t DecryptByte(const TCryptKeys& keys) {
  uint16_t t = static_cast<uint16_t>((keys.Key2 & 0xFFFF) | 2);
  // In 32 unsigned bits: as ints the product overflows (t up to 65535), which is undefined.
  return static_cast<uint8_t>((static_cast<uint16_t>(static_cast<uint32_t>(t) * (t ^ 1u)) >> 8) & 0xFF);
}

void DecryptBuffer(TCryptKeys& keys, uint8_t* buffer, size_t count) {
  // Keys kept in locals: the loop is a serial chain anyway, but this spares the stores.
  TCryptKeys k = keys;
  for (size_t i = 0; i < count; ++i) {
    uint8_t plain = static_cast<uint8_t>(buffer[i] ^ DecryptByte(k));
    buffer[i] = plain;
    UpdateKeys(k, plain);
  }
  keys = k;
}

uint8_t DecryptHeader(TCryptKeys& keys, const std::string& password, uint8_t* header12) {
  InitKeys(keys, password);
  DecryptBuffer(keys, header12, kCryptHeaderSize);
  return header12[kCryptHeaderSize - 1];
}

}  // namespace unzip
