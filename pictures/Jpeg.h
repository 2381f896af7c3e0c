#pragma once
// JPEG pictures through libjpeg, called directly. libjpeg's own error exit would end the
// process; here every error (and a file cut short) comes back as EInvalidGraphic.
#include <QImage>
#include <cstddef>

namespace pictures {

inline constexpr const char* kJpegDescription = "JPEG Image File";

// Decodes a baseline or progressive JPEG (grey, YCbCr/RGB or CMYK) into an image.
QImage DecodeJpeg(const unsigned char* data, size_t size);

// Registers the decoder for "jpeg" and "jpg" under "JPEG Image File". The program calls it
// before any window is created, so the stored background picture can be read.
void RegisterJpeg();

}  // namespace pictures
