// The choice of decryptor for an entry.
#include "Decryptor.h"

#include "AesCrypt.h"
#include "Crypt.h"
#include "ZipRecords.h"

namespace unzip {

std::unique_ptr<TDecryptor> MakeDecryptor(const TZipHeaderInfo& entry) {
  if (!entry.IsEncrypted()) return nullptr;
  if (entry.IsAesEncrypted())
    return std::make_unique<TAesDecryptor>(entry.Extra.AesStrength, entry.Extra.AesVersion);
  // The header's last byte repeats the high byte of the time when sizes and CRC follow the
  // data, else the high byte of the CRC.
  const uint8_t check = entry.HasDataDescriptor() ? static_cast<uint8_t>((entry.FileDateTime >> 8) & 0xFF)
                                                  : static_cast<uint8_t>(entry.Crc32 >> 24);
  return std::make_unique<TTraditionalDecryptor>(check);
}

}  // namespace unzip
