// WinZip AES decryption on Nettle.
#include "AesCrypt.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/pbkdf2.h>

#include <algorithm>
#include <cstring>

namespace unzip {

namespace {

// Counter blocks encrypted per library call: enough to keep AES-NI busy, small enough to
// stay on the stack.
constexpr size_t kStreamBlocks = 256;

}  // namespace

struct TAesDecryptor::TCipher {
  union {
    aes128_ctx Aes128;
    aes192_ctx Aes192;
    aes256_ctx Aes256;
  };
  hmac_sha1_ctx Hmac;
  bool Started = false;
};

TAesDecryptor::TAesDecryptor(int strength, int version)
    : Strength(AesKeySize(strength) ? strength : 3), Version(version), Cipher(new TCipher) {}

TAesDecryptor::~TAesDecryptor() {
  // The keys do not outlive the entry in memory.
  std::memset(static_cast<void*>(Cipher.get()), 0, sizeof(TCipher));
}

bool TAesDecryptor::Start(const std::string& password, uint8_t* header) {
  const size_t keySize = AesKeySize(Strength), saltSize = AesSaltSize(Strength);
  // Encryption key, authentication key and verifier, in this order.
  uint8_t derived[2 * 32 + kAesVerifierSize];
  const size_t derivedSize = 2 * keySize + kAesVerifierSize;
  pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const uint8_t*>(password.data()), kAesIterations,
                   saltSize, header, derivedSize, derived);
  const bool verified = std::memcmp(derived + 2 * keySize, header + saltSize, kAesVerifierSize) == 0;
  if (verified) {
    TCipher& c = *Cipher;
    switch (Strength) {
      case 1: aes128_set_encrypt_key(&c.Aes128, derived); break;
      case 2: aes192_set_encrypt_key(&c.Aes192, derived); break;
      default: aes256_set_encrypt_key(&c.Aes256, derived); break;
    }
    hmac_sha1_set_key(&c.Hmac, keySize, derived + keySize);
    c.Started = true;
    Counter = 1;
    PadUsed = sizeof Pad;
  }
  std::memset(derived, 0, sizeof derived);
  return verified;
}

void TAesDecryptor::KeyStream(uint8_t* out, size_t blocks) {
  // The counter is a little-endian 128-bit number; no entry reaches 2^64 blocks.
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* b = out + 16 * i;
    uint64_t n = Counter++;
    for (int k = 0; k < 8; ++k, n >>= 8) b[k] = static_cast<uint8_t>(n);
    std::memset(b + 8, 0, 8);
  }
  TCipher& c = *Cipher;
  switch (Strength) {
    case 1: aes128_encrypt(&c.Aes128, 16 * blocks, out, out); break;
    case 2: aes192_encrypt(&c.Aes192, 16 * blocks, out, out); break;
    default: aes256_encrypt(&c.Aes256, 16 * blocks, out, out); break;
  }
}

void TAesDecryptor::Decrypt(uint8_t* buffer, size_t count) {
  // Never started (no password taken): there is nothing to decrypt with, and Finish fails.
  if (count == 0 || !Cipher->Started) return;
  // The code authenticates the encrypted bytes, so they go to the HMAC before decryption.
  hmac_sha1_update(&Cipher->Hmac, count, buffer);
  // What is left of the last block's key stream first.
  while (count > 0 && PadUsed < sizeof Pad) {
    *buffer++ ^= Pad[PadUsed++];
    --count;
  }
  alignas(16) uint8_t stream[16 * kStreamBlocks];
  while (count >= 16) {
    const size_t blocks = std::min(count / 16, kStreamBlocks);
    KeyStream(stream, blocks);
    const size_t n = 16 * blocks;
    for (size_t i = 0; i < n; ++i) buffer[i] ^= stream[i];
    buffer += n;
    count -= n;
  }
  if (count > 0) {
    KeyStream(Pad, 1);
    for (PadUsed = 0; PadUsed < count; ++PadUsed) buffer[PadUsed] ^= Pad[PadUsed];
  }
}

bool TAesDecryptor::Finish(const uint8_t* trailer) {
  if (!Cipher->Started) return false;
  uint8_t mac[SHA1_DIGEST_SIZE];
  hmac_sha1_digest(&Cipher->Hmac, sizeof mac, mac);
  return memeql_sec(mac, trailer, kAesAuthCodeSize) != 0;
}

}  // namespace unzip
