#pragma once
// The picture facility: a picture is loaded from a file by the decoder registered for the
// file's extension. Windows bitmaps ("bmp") are known from the start; the JPEG decoder is
// registered by the program at start-up (see Jpeg.h). A file that cannot be decoded, or an
// extension nobody registered, raises EInvalidGraphic with a message that names the file.
#include <QImage>
#include <functional>
#include <string>
#include <string_view>

#include "Exceptions.h"

namespace pictures {

class EInvalidGraphic : public platform::Exception {
public:
  using Exception::Exception;
};

// Decodes a whole file's bytes; raises EInvalidGraphic (without the file's name, which the
// caller adds) when the bytes are no picture of its kind.
using TPictureDecoder = std::function<QImage(const unsigned char* data, size_t size)>;

class TPicture {
public:
  // Registers `decoder` for files ending in "." + `extension` (compared without case).
  // A later registration of the same extension replaces the earlier one.
  static void RegisterFileFormat(std::string_view extension, std::string_view description,
                                 TPictureDecoder decoder);
  static void UnregisterFileFormat(std::string_view extension);
  // The description registered for an extension; empty when none is.
  static std::string FileFormatDescription(std::string_view extension);

  // Loads the file named `name` (Windows-style or host name). On any failure the picture
  // keeps what it held before.
  void LoadFromFile(std::string_view name);
  // Loads bytes held in memory as if they came from a file named `name` (the extension
  // chooses the decoder; the name appears in messages).
  void LoadFromData(const unsigned char* data, size_t size, std::string_view name);

  const QImage& Image() const { return Picture; }
  bool Empty() const { return Picture.isNull(); }
  int Width() const { return Picture.width(); }
  int Height() const { return Picture.height(); }

private:
  QImage Picture;
};

// The decoder registered for "bmp": Qt's image reader with the format forced, so the
// extension and not the content decides.
QImage DecodeBitmap(const unsigned char* data, size_t size);

}  // namespace pictures
