#include "Picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <cctype>
#include <fstream>
#include <iterator>
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
  std::ifstream in(platform::HostPath(name), std::ios::binary | std::ios::ate);
  if (!in)
    throw platform::EFOpenError(platform::Format("Cannot open picture file %.*s",
                                                 static_cast<int>(name.size()), name.data()));
  // No picture the window shows comes near this; a bigger file is refused before it is read.
  const std::streamoff size = in.tellg();
  if (size > kMaxPictureFileSize)
    throw EInvalidGraphic(platform::Format("Cannot load picture %.*s: file too large",
                                           static_cast<int>(name.size()), name.data()));
  in.seekg(0);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad())
    throw platform::EReadError(platform::Format("Cannot read picture file %.*s",
                                                static_cast<int>(name.size()), name.data()));
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

QImage DecodeBitmap(const unsigned char* data, size_t size) {
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
