#pragma once
// Traditional PKWARE encryption: a stream cipher of three 32-bit keys advanced with the CRC
// table. The keys run on continuously from the 12-byte encryption header into the entry's data.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Decryptor.h"

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

// Traditional encryption behind the decryption interface. The password is taken when the
// header's last byte equals `checkByte` (from the entry's CRC or time, as the run decides).
class TTraditionalDecryptor : public TDecryptor {
public:
  explicit TTraditionalDecryptor(uint8_t checkByte = 0) : CheckByte(checkByte) {}
  size_t HeaderSize() const override { return kCryptHeaderSize; }
  bool Start(const std::string& password, uint8_t* header) override {
    LastCheckByte = DecryptHeader(Keys, password, header);
    return LastCheckByte == CheckByte;
  }
  void Decrypt(uint8_t* buffer, size_t count) override { DecryptBuffer(Keys, buffer, count); }

  uint8_t CheckByte;
  uint8_t LastCheckByte = 0;
  TCryptKeys Keys;
};

}  // namespace unzip
