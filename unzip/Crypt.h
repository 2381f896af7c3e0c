#pragma once
// Traditional PKWARE encryption: a stream cipher of three 32-bit keys advanced with the CRC
// table. The keys run on continuously from the 12-byte encryption header into the entry's data.
#include <cstddef>
#include <cstdint>
#include <string>

namespace unzip {

struct TCryptKeys {
  uint32_t Key0 = 0x12345678u;
  uint32_t Key1 = 0x23456789u;
  uint32_t Key2 = 0x34567890u;
};

inline constexpr size_t kCryptHeaderSize = 12;

void InitKeys(TCryptKeys& keys, const std::string& password);
void UpdateKeys(TCryptKeys& keys, uint8_t ch);
uint8_t DecryptByte(const TCryptKeys& keys);
// Decrypts in place, advancing the keys with each plain byte.
void DecryptBuffer(TCryptKeys& keys, uint8_t* buffer, size_t count);
// Initialises the keys from the password and decrypts the 12 header bytes in place; returns the
// last one, the check byte. The keys stay where the header left them, ready for the data.
uint8_t DecryptHeader(TCryptKeys& keys, const std::string& password, uint8_t* header12);

}  // namespace unzip
