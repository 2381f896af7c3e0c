#pragma once
// Decryption of an entry's data, whatever the cipher. The extraction state calls only this
// interface: traditional PKWARE encryption (Crypt.h) and WinZip AES (AesCrypt.h) are two
// implementations of it, chosen per entry by MakeDecryptor.
//
// The encrypted data of an entry is laid out as
//   header (HeaderSize bytes) | encrypted compressed data | trailer (TrailerSize bytes)
// and the entry's compressed size counts all three.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace unzip {

class TZipHeaderInfo;

class TDecryptor {
public:
  virtual ~TDecryptor() = default;

  // Bytes in front of the data: what the password is checked against.
  virtual size_t HeaderSize() const = 0;
  // Bytes behind the data: an authentication code, or none.
  virtual size_t TrailerSize() const { return 0; }
  // Sets the cipher up from the password and the header (which it may change in place);
  // false when the header shows at once that the password is wrong.
  virtual bool Start(const std::string& password, uint8_t* header) = 0;
  // Decrypts the next count bytes of the data in place; called on every byte of the data,
  // in order, also on those no decoder needed.
  virtual void Decrypt(uint8_t* buffer, size_t count) = 0;
  // Given the trailer, true when it proves the data passed through Decrypt.
  virtual bool Finish(const uint8_t* /*trailer*/) { return true; }
  // False when the stored CRC-32 means nothing and the trailer alone proves the data.
  virtual bool CrcIsStored() const { return true; }
};

// The decryptor an encrypted entry needs: WinZip AES for method 99 with its extra field,
// traditional encryption otherwise; none for an entry that is not encrypted.
std::unique_ptr<TDecryptor> MakeDecryptor(const TZipHeaderInfo& entry);

}  // namespace unzip
