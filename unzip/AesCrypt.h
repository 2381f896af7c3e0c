#pragma once
// WinZip AES encryption (method 99 with the 0x9901 extra field): keys derived from the
// password and a per-entry salt with PBKDF2-HMAC-SHA1 (1000 rounds), a 2-byte password
// verifier, AES in counter mode with a little-endian counter that starts at 1, and the
// first 10 bytes of an HMAC-SHA1 of the encrypted data behind it. The cipher and hash come
// from Nettle.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Decryptor.h"

namespace unzip {

inline constexpr uint16_t kAesExtraId = 0x9901;
inline constexpr uint16_t kAesMethod = 99;
inline constexpr size_t kAesVerifierSize = 2;
inline constexpr size_t kAesAuthCodeSize = 10;
inline constexpr int kAesIterations = 1000;

// Key length in bytes of strength 1, 2, 3 (AES-128, -192, -256); 0 for any other value.
inline constexpr size_t AesKeySize(int strength) {
  return strength >= 1 && strength <= 3 ? static_cast<size_t>(8 + 8 * strength) : 0;
}
// The salt is half the key.
inline constexpr size_t AesSaltSize(int strength) { return AesKeySize(strength) / 2; }

class TAesDecryptor : public TDecryptor {
public:
  // strength 1..3; version 1 (AE-1: the CRC is stored too) or 2 (AE-2: it is not).
  TAesDecryptor(int strength, int version);
  ~TAesDecryptor() override;
  TAesDecryptor(const TAesDecryptor&) = delete;
  TAesDecryptor& operator=(const TAesDecryptor&) = delete;

  size_t HeaderSize() const override { return AesSaltSize(Strength) + kAesVerifierSize; }
  size_t TrailerSize() const override { return kAesAuthCodeSize; }
  bool Start(const std::string& password, uint8_t* header) override;
  void Decrypt(uint8_t* buffer, size_t count) override;
  bool Finish(const uint8_t* trailer) override;
  bool CrcIsStored() const override { return Version != 2; }

private:
  struct TCipher;
  // Fills `out` with `blocks` key-stream blocks, advancing the counter.
  void KeyStream(uint8_t* out, size_t blocks);

  int Strength;
  int Version;
  std::unique_ptr<TCipher> Cipher;
  uint64_t Counter = 1;
  uint8_t Pad[16] = {};
  size_t PadUsed = 16;  // key-stream bytes of Pad already spent
};

}  // namespace unzip
