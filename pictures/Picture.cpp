#include "Picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "FileNames.h"

namespace pictures {

namespace {

constexpr std::streamoff kMaxPictureFileSize = 256ll * 1024 * 1024;

struct TFormat {
  std::string Description;
  TPictureDecoder Decoder;
};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::map<std::string, TFormat>& Formats() {
  static std::map<std::string, TFormat> formats = {
      {"bmp", {"Bitmaps", DecodeBitmap}},
  };
  return formats;
}

// The extension of a Windows-style or host name, without the dot; empty when it has none.
std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view ext = name.substr(dot + 1);
  if (ext.find_first_of("\\/:") != std::string_view::npos) return {};
  return Lower(ext);
}

}  // namespace

void TPicture::RegisterFileFormat(std::string_view extension, std::string_view description,
                                  TPictureDecoder decoder) {
  Formats()[Lower(extension)] = TFormat{std::string(description), std::move(decoder)};
}

void TPicture::UnregisterFileFormat(std::string_view extension) { Formats().erase(Lower(extension)); }

std::string TPicture::FileFormatDescription(std::string_view extension) {
  auto it = Formats().find(Lower(extension));
  return it == Formats().end() ? std::string() : it->second.Description;
}

void TPicture::LoadFromFile(std::string_view name) {
  // The extension is checked before the file is touched: an unknown kind fails the same
  // way whether or not the file can be read.
  const std::string ext = ExtensionOf(name);
  if (Formats().find(ext) == Formats().end())
    throw EInvalidGraphic(platform::Format("Unknown picture file extension (.%s): %.*s", ext.c_str(),
                                           static_cast<int>(name.size()), name.data()));
  // A regular file only, opened without waiting: a named pipe must not freeze the window.
  const int fd = platform::OpenRegularFile(platform::HostPath(name));
  if (fd < 0)
    throw platform::EFOpenError(platform::Format("Cannot open picture file %.*s",
                                                 static_cast<int>(name.size()), name.data()));
  struct Closer {
    int Fd;
    ~Closer() { ::close(Fd); }
  } closer{fd};
  // No picture the window shows comes near this; a bigger file is refused before it is read.
  struct stat st;
  const std::streamoff size = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  if (size > kMaxPictureFileSize)
    throw EInvalidGraphic(platform::Format("Cannot load picture %.*s: file too large",
                                           static_cast<int>(name.size()), name.data()));
  std::vector<unsigned char> bytes;
  bytes.reserve(size > 0 ? static_cast<size_t>(size) : 0);
  unsigned char block[65536];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || bytes.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxPictureFileSize))
      throw platform::EReadError(platform::Format("Cannot read picture file %.*s",
                                                  static_cast<int>(name.size()), name.data()));
    bytes.insert(bytes.end(), block, block + n);
  }
  LoadFromData(bytes.data(), bytes.size(), name);
}

void TPicture::LoadFromData(const unsigned char* data, size_t size, std::string_view name) {
  const std::string ext = ExtensionOf(name);
  auto it = Formats().find(ext);
  const std::string shownName(name);
  if (it == Formats().end())
    throw EInvalidGraphic(platform::Format("Unknown picture file extension (.%s): %s", ext.c_str(),
                                           shownName.c_str()));
  QImage image;
  try {
    image = it->second.Decoder(data, size);
  } catch (const platform::Exception& e) {
    throw EInvalidGraphic(platform::Format("Cannot load picture %s: %s", shownName.c_str(),
                                           e.Message.c_str()));
  }
  if (image.isNull())
    throw EInvalidGraphic(platform::Format("Cannot load picture %s", shownName.c_str()));
  Picture = std::move(image);
}

namespace {

uint32_t Le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// True when the file holds the pixel data its headers announce. Qt's reader leaves the rows
// of a file cut short uninitialised and calls that a success. Headers it cannot make sense
// of are left to it.
bool HoldsItsPixelData(const unsigned char* data, size_t size) {
  if (size < 26 || data[0] != 'B' || data[1] != 'M') return true;
  const uint64_t offset = Le32(data + 10);
  const uint32_t header = Le32(data + 14);
  uint64_t width, height, bits, compression = 0, imageSize = 0;
  if (header == 12) {
    width = Le16(data + 18);
    height = Le16(data + 20);
    bits = Le16(data + 24);
  } else if (header >= 40 && size >= 38) {
    width = static_cast<uint64_t>(std::abs(static_cast<int64_t>(static_cast<int32_t>(Le32(data + 18)))));
    height = static_cast<uint64_t>(std::abs(static_cast<int64_t>(static_cast<int32_t>(Le32(data + 22)))));
    bits = Le16(data + 28);
    compression = Le32(data + 30);
    imageSize = Le32(data + 34);
  } else {
    return true;
  }
  if (offset >= size) return false;
  // Run-length and embedded data have no fixed size: the size the header gives, if any.
  if (compression != 0 && compression != 3 && compression != 6) return imageSize <= size - offset;
  const uint64_t stride = (width * bits + 31) / 32 * 4;
  return stride == 0 || height <= (size - offset) / stride;
}

}  // namespace

QImage DecodeBitmap(const unsigned char* data, size_t size) {
  if (!HoldsItsPixelData(data, size))
    throw EInvalidGraphic("not a valid Windows bitmap (the file ends before its pixel data)");
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data),
                                             static_cast<qsizetype>(size));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "bmp");
  reader.setDecideFormatFromContent(false);
  QImage image = reader.read();
  if (image.isNull()) {
    std::string why = reader.errorString().toStdString();
    throw EInvalidGraphic("not a valid Windows bitmap (" + why + ")");
  }
  // Detach from the caller's buffer, which may go away.
  image.detach();
  return image;
}

}  // namespace pictures
